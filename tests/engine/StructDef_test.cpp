// The transaction-type definition read from the sample product's metadata on a real site.
#include <gtest/gtest.h>

#include <stdexcept>

#include "SampleProduct.h"
#include "uStructDef.h"

namespace {

using v7::TStructDef;

// The column of every row of a list query, "|" after each.
std::string Rows(v7::TXDS& q, const std::string& column) {
  std::string out;
  for (q.Open(); !q.Eof(); q.Next()) out += q.FieldByName(column).Value + "|";
  q.Close();
  return out;
}

// The message of the E that loading the type raises, or "(no error)".
template <class E>
std::string LoadFailure(v7::TDBManager* mgr, const std::string& type) {
  try {
    TStructDef def(mgr, type);
  } catch (const E& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(StructDef, LoadsTypesByIdOrDescriptionWithFieldsLowerCased) {
  v7test::SampleSite s(false);
  TStructDef def(s.mgr.get(), ":salesinv");
  EXPECT_EQ(def.TransDesc + "|" + def.TableNames + "|" + def.AsGrids,
            "Sales Invoice|salesinv,salesinvdet|ft");
  EXPECT_EQ(def.TableCount, 2);
  // Names, tables, types and entry modes are lower-cased as they are read; look-ups ignore case.
  const v7::TFld* invno = def.GetField("INVNO");
  ASSERT_NE(invno, nullptr);
  EXPECT_EQ(invno->savetablename + invno->type + invno->modeofentry, "salesinvcautogenerate");
  EXPECT_EQ(def.IndexOfField("Amount"), def.IndexOfField("amount"));
  EXPECT_EQ(def.GetField("nosuchfield"), nullptr);
  EXPECT_EQ(def.IndexOfField("nosuchfield"), -1);
  EXPECT_TRUE(def.GetField("customer")->sourcekey);
  EXPECT_EQ(def.GetField("custcity")->LinkField, "customer");
  // A field without a caption shows its name.
  EXPECT_EQ(def.GetField("remarks")->DisplayCaption + "|" + def.GetField("price")->DisplayCaption,
            "remarks|Price");
  // Only a field with an expression has an expression id.
  EXPECT_EQ(def.GetField("amount")->ExprnText, "qty*price");
  EXPECT_EQ(std::to_string(def.GetField("amount")->ExprnId) + " " + std::to_string(invno->ExprnId),
            "1 -1");
  EXPECT_TRUE(def.GetField("remarks")->Empty);
  // The event text: headers in lower case, every line trimmed, script lines keep case.
  EXPECT_EQ(def.ExprSet, (std::vector<std::string>{"{aftersave}", "aftersavestatus := {T}"}));

  // Metadata integers are the number the value begins with; an empty value is 0.
  const std::pair<const char*, int> widths[] = {{"3,0", 3},   {"3,00", 3}, {"3;", 3}, {"1,000", 1},
                                                {" 7.9 ", 7}, {"", 0},     {"x3", 0}};
  for (const auto& [text, width] : widths) {
    s.site.Exec(std::string("update prms set width = '") + text +
                "' where transid = 'salesinv' and name = 'remarks'");
    EXPECT_EQ(TStructDef(s.mgr.get(), ":salesinv").GetField("remarks")->width, width) << text;
  }

  TStructDef sf(s.mgr.get(), "Sales Invoice with Batches");
  EXPECT_EQ(sf.TransId + "|" + sf.AsGrids, "salesinvsf|ftt");
  EXPECT_EQ(sf.TableCount, 3);
  for (const char* missing : {":nosuch", "No Such Type"})
    EXPECT_EQ(LoadFailure<std::runtime_error>(s.mgr.get(), missing),
              std::string("TStruct not found ") + (missing[0] == ':' ? missing + 1 : missing));
}

TEST(StructDef, BuildsListQueriesFromInputSqlAndFromListValues) {
  v7test::SampleSite s(false);
  TStructDef def(s.mgr.get(), ":salesinv");

  v7::TFld* customer = def.GetField("customer");
  ASSERT_TRUE(customer->ListQuery);
  EXPECT_FALSE(customer->ListDependent);
  EXPECT_EQ(Rows(*customer->ListQuery, "custname"), "Acme Stores|O'Brien Traders|Zenith Mart|");

  // The inputsql row's field name is matched in lower case.
  v7::TFld* item = def.GetField("item");
  ASSERT_TRUE(item->ListQuery);
  EXPECT_TRUE(item->autoselect);
  EXPECT_TRUE(item->refreshonsave);
  EXPECT_FALSE(customer->autoselect);

  // A "from list" field without inputsql lists its FROMLISTVALUES rows, in any case.
  v7::TFld* paymode = def.GetField("paymode");
  ASSERT_TRUE(paymode->ListQuery);
  EXPECT_EQ(Rows(*paymode->ListQuery, "FromListValue"), "Cash|Credit|Banker's Draft|");
  EXPECT_EQ(def.GetField("remarks")->ListQuery, nullptr);

  // A fill-grid option with a plain parameter is dependent without a template.
  ASSERT_EQ(def.GridMaps.size(), 1u);
  const v7::TFg& g = *def.GridMaps[0];
  EXPECT_TRUE(g.Dependent);
  EXPECT_EQ(g.DependentSQL, "");
  EXPECT_EQ(g.FieldMap, (std::vector<std::string>{"item=itemname", "price=price"}));

  // A list query that depends on other values of the document keeps its text.
  TStructDef sf(s.mgr.get(), ":salesinvsf");
  const v7::TFld* batch = sf.GetField("batchno");
  EXPECT_TRUE(batch->ListDependent);
  EXPECT_NE(batch->DependentSQL.find(":item"), std::string::npos);
}

TEST(StructDef, QuoteInTypeNameIsHarmlessAndBrokenMetadataFailsTheLoad) {
  v7test::SampleSite s(false);
  s.site.Exec(
      "insert into transdefmaster (transdefmasterid, transid, transdesc, tablename, asgrids) "
      "values (90, 'cash''memo', 'Cash Memo', 'cashmemo', 'F')");
  s.site.Exec(
      "insert into prms (prmsid, transid, name, savetablename, type, modeofentry, frameno, "
      "orders) values (90, 'cash''memo', 'paymode', 'cashmemo', 'c', 'from list', 1, 1)");
  s.site.Exec(
      "insert into fromlistvalues (fromlistvalueid, transtype, name, fromlistvalue) "
      "values (90, 'Cash''Memo', 'paymode', 'Cash')");
  TStructDef def(s.mgr.get(), ":cash'memo");
  ASSERT_TRUE(def.GetField("paymode")->ListQuery);
  EXPECT_EQ(Rows(*def.GetField("paymode")->ListQuery, "FromListValue"), "Cash|");

  // Counting tables stops at the first empty item; broken metadata fails the whole load.
  s.site.Exec(
      "update transdefmaster set tablename = 'SalesInv,SalesInvDet,,extra' "
      "where transid = 'salesinv'");
  {
    TStructDef def(s.mgr.get(), ":salesinv");
    EXPECT_EQ(def.TableCount, 2);
    EXPECT_EQ(def.TableNames, "salesinv,salesinvdet,,extra");
  }
  s.site.Exec("update prms set exprn = 99 where prmsid = 12");
  EXPECT_EQ(LoadFailure<v7::EDatabaseError>(s.mgr.get(), ":salesinv"),
            "Unable to find expression99");
  s.site.Exec("update prms set exprn = 1 where prmsid = 12");
  s.site.Exec("delete from inputsql where fieldname = 'itemlist'");
  EXPECT_EQ(LoadFailure<std::runtime_error>(s.mgr.get(), ":salesinv"),
            "SQL related to ItemList not found");
}

}  // namespace
