// Update-map definitions read from updatedetails and from "{mdmap" blocks of the sample
// product (type mapdemo and jv), on a real SQLite site.
#include <gtest/gtest.h>

#include <algorithm>

#include "SampleProduct.h"
#include "uMDMap.h"

namespace {

using v7::TDef;
using v7::TMDMap;

struct MDMapDefs : ::testing::Test {
  v7test::SampleSite s{false};
  v7::TStructDef def{s.mgr.get(), ":mapdemo"};
  TMDMap map;

  // The definition of a table, with or without a control field.
  TDef* Find(const std::string& table, const std::string& control) {
    for (auto& d : map.Maps)
      if (d->tablename == table && d->controlfield == control) return d.get();
    return nullptr;
  }
  static int Entry(const TDef& d, const std::string& expr) {
    for (size_t i = 0; i < d.MasterExprs.size(); ++i)
      if (d.MasterExprs[i] == expr) return static_cast<int>(i);
    return -1;
  }
};

TEST_F(MDMapDefs, RowsWithOneKeyShareADefinitionAndAnotherControlFieldStartsANewOne) {
  map.LoadUpdateDetails("MapDemo", &def);
  ASSERT_EQ(map.Maps.size(), 4u);
  TDef* rates = Find("itemstat", "active");
  TDef* stats = Find("itemstat", "");
  ASSERT_TRUE(rates && stats);
  // One key entry ("default" names the table's own id column), then the field entries.
  EXPECT_EQ(rates->MasterExprs,
            (std::vector<std::string>{"@itemstatid", ">maxrate", "<minrate", "+activeqty"}));
  EXPECT_EQ(rates->DetailFields, (std::vector<std::string>{"item", "rate", "rate", "qty"}));
  EXPECT_EQ(rates->FieldTypes, "nnnn");
  // Decimals of the master column in the master's own type.
  EXPECT_EQ(rates->DecimalPlaces[3], "3");
  EXPECT_EQ(rates->transid, "mapdemo");
  // The first grid field among detail, link and control field gives the frame.
  EXPECT_EQ(rates->sourceframe, 2);
  EXPECT_EQ(stats->sourceframe, 2);
  EXPECT_EQ(std::count(stats->MasterExprs.begin(), stats->MasterExprs.end(), "@itemstatid"), 1);
  EXPECT_TRUE(stats->initondel);
  EXPECT_FALSE(rates->treeupdate);

  TDef* account = Find("account", "");
  ASSERT_TRUE(account);
  EXPECT_TRUE(account->treeupdate);
  EXPECT_EQ(account->sourceframe, 1);  // header total into the header account
  EXPECT_EQ(account->MasterExprs, (std::vector<std::string>{"@accountid", "+balance"}));
}

TEST_F(MDMapDefs, CountsBecomeSumsOfPseudoFieldsAndUnknownTypesHaveNoOperator) {
  map.LoadUpdateDetails("mapdemo", &def);
  TDef* stats = Find("itemstat", "");
  ASSERT_TRUE(stats);
  int inc = Entry(*stats, "+linecount"), dec = Entry(*stats, "+opencount");
  ASSERT_GE(inc, 0);
  ASSERT_GE(dec, 0);
  EXPECT_EQ(stats->DetailFields[inc], "__autoinc");
  EXPECT_EQ(stats->DetailFields[dec], "__autodec");
  int assign = Entry(*stats, "*lastnote");
  ASSERT_GE(assign, 0);
  EXPECT_EQ(stats->FieldTypes[assign], 'c');
  // updatetype 9: the entry stays in the lists without an operator (a date column).
  int none = Entry(*stats, "lastdate");
  ASSERT_GE(none, 0);
  EXPECT_EQ(stats->FieldTypes[none], 'd');
  EXPECT_EQ(stats->DetailFields[none], "qty");
}

TEST_F(MDMapDefs, DefinitionsOfAnotherTypeAreAppendedAndDecimalsComeFromItsFields) {
  map.LoadUpdateDetails("mapdemo", &def);
  v7::TStructDef jv(s.mgr.get(), ":jv");
  map.LoadUpdateDetails("jv", &jv);
  ASSERT_EQ(map.Maps.size(), 5u);
  EXPECT_EQ(map.Maps.back()->transid, "jv");
  EXPECT_EQ(map.Maps.back()->MasterExprs[0], "@accountid");
  EXPECT_EQ(map.Maps.back()->sourceframe, 2);
  EXPECT_EQ(map.Maps.back()->DecimalPlaces[1], "2");
}

TEST_F(MDMapDefs, MapBlockOfTheEventTextGivesAnAppendingDefinition) {
  int saved = v7::CurrDecimal;
  v7::CurrDecimal = 4;
  map.LoadUpdateDetails("mapdemo", &def);
  map.LoadScriptMaps(def.ExprSet);
  v7::CurrDecimal = saved;
  ASSERT_EQ(map.Maps.size(), 5u);
  const TDef& b = *map.Maps.back();
  EXPECT_EQ(b.transid, "mapdemo");
  EXPECT_EQ(b.tablename, "itemacct");
  EXPECT_EQ(b.sourceframe, 2);
  EXPECT_TRUE(b.append);
  EXPECT_EQ(b.MasterExprs, (std::vector<std::string>{"@item", "@account", "+qty", "+amount"}));
  EXPECT_EQ(b.DetailFields, (std::vector<std::string>{"item", "account", "qty", "amount"}));
  // qty: decimals of mapdemo's qty field (the last mastertransid); amount: "_currdecimal".
  EXPECT_EQ(b.DecimalPlaces[2], "3");
  EXPECT_EQ(b.DecimalPlaces[3], "4");
  EXPECT_EQ(b.FieldTypes, "nnnn");
  EXPECT_EQ(map.MasterTransId, "mapdemo");
}

TEST_F(MDMapDefs, BlocksEndAtAnyBraceLineOrAtTheEndAndSkipComments) {
  map.StructDef = &def;
  map.LoadScriptMaps({"{aftersave}", "x := 1", "{mdmap", "transid=SalesInv", "sourceframe=1",
                      "tablename=customer", "// a comment = not an entry", "@customerid=customer",
                      "^custname=invno,2", "*city = remarks , _CurrDecimal", "{AfterSave}", "y=2",
                      "{mdmap second", "tablename=item", "@itemid=item", "", "treeupdate=TRUE",
                      "initondel=yes"});
  ASSERT_EQ(map.Maps.size(), 2u);
  const TDef& first = *map.Maps[0];
  EXPECT_EQ(first.transid, "salesinv");
  EXPECT_EQ(first.MasterExprs, (std::vector<std::string>{"@customerid", "+custname", "*city"}));
  EXPECT_EQ(first.DetailFields, (std::vector<std::string>{"customer", "__autoinc", "remarks"}));
  // No mastertransid line: 0 decimals without a decimals item.
  EXPECT_EQ(first.DecimalPlaces,
            (std::vector<std::string>{"0", "2", std::to_string(v7::CurrDecimal)}));
  EXPECT_EQ(first.FieldTypes, "ncc");
  const TDef& second = *map.Maps[1];
  EXPECT_EQ(second.MasterExprs, (std::vector<std::string>{"@itemid"}));
  EXPECT_TRUE(second.treeupdate);
  EXPECT_FALSE(second.initondel);
  EXPECT_EQ(second.FieldTypes, "n");  // closed at the end of the text
}

TEST_F(MDMapDefs, ALineWithoutEqualsSignStopsLoading) {
  map.StructDef = &def;
  try {
    map.LoadScriptMaps({"{mdmap", "tablename=customer", "@customerid"});
    FAIL() << "no error";
  } catch (const v7::EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Improper Map definition@customerid");
  }
  EXPECT_THROW(map.LoadScriptMaps({"{mdmap", "sourceframe=two"}), v7::EConvertError);
}

}  // namespace
