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
};

// The sample's own definitions are run end to end by the update-map posting tests; here only
// what they do not reach: a type's definitions appended after another's, decimals from the
// fields of each type and of the currency, and an update type without an operator.
TEST_F(MDMapDefs, DefinitionsOfEachTypeAreAppendedWithTheirOwnDecimals) {
  int saved = v7::CurrDecimal;
  v7::CurrDecimal = 4;
  map.LoadUpdateDetails("MapDemo", &def);
  map.LoadScriptMaps(def.ExprSet);
  v7::CurrDecimal = saved;
  v7::TStructDef jv(s.mgr.get(), ":jv");
  map.LoadUpdateDetails("jv", &jv);
  ASSERT_EQ(map.Maps.size(), 6u);
  std::string all;
  for (const auto& d : map.Maps) {
    all += d->transid + " " + d->tablename + " " + std::to_string(d->sourceframe) + " " +
           d->FieldTypes + (d->treeupdate ? " tree " : " ") + (d->initondel ? "initondel " : "") +
           (d->append ? "append " : "");
    for (size_t i = 0; i < d->MasterExprs.size(); ++i)
      all += d->MasterExprs[i] + "=" + d->DetailFields[i] + "," + d->DecimalPlaces[i] + " ";
    all += "\n";
  }
  // clang-format off
  EXPECT_EQ(all,
      "mapdemo account 1 nn tree @accountid=account,2 +balance=total,2 \n"
      "mapdemo item 2 nn @itemid=item,3 -stockqty=qty,3 \n"
      "mapdemo itemstat 2 nnnn @itemstatid=item,0 >maxrate=rate,0 <minrate=rate,0 "
      "+activeqty=qty,3 \n"
      "mapdemo itemstat 2 nnnncd initondel @itemstatid=item,0 +linecount=__autoinc,0 "
      "+opencount=__autodec,0 *lastrate=rate,0 *lastnote=note,0 lastdate=qty,0 \n"
      "mapdemo itemacct 2 nnnn append @item=item,0 @account=account,0 +qty=qty,3 "
      "+amount=amount,4 \n"
      "jv account 2 nn tree @accountid=mid,2 +balance=amount,2 \n");
  // clang-format on
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
