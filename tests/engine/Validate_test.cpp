// Filling and checking whole documents of the sample product: every mode of entry, row
// removal on save, loading without checks, number series, list templates and rounding.
#include <gtest/gtest.h>

#include "ValidateFixture.h"

namespace {

using v7test::ValidatorSite;

// A new sales order as a packet gives it: texts only, ids where the sender had them.
void FillOrder(ValidatorSite& t) {
  t.Set("orddate", 1, "20/06/2026");
  t.Set("customer", 1, "acme stores");
  t.Set("paymode", 1, "credit");
  t.Set("shipvia", 1, "By sea");
  t.Set("remarks", 1, "urgent");
  t.Set("item", 1, "Blue Pen");
  t.Set("qty", 1, "2");
  t.Set("amount", 1, "25");
  t.Set("validrow2", 1, "");
  t.Set("item", 2, "");  // an empty row between two others
  t.Set("qty", 2, "");
  t.Set("item", 3, "", 203);  // the id alone names the item
  t.Set("qty", 3, "1,000.5");
  t.Set("amount", 3, "40020");
  t.Set("validrow2", 3, "");
}

TEST(Validate, FillsEveryModeOfEntryOfANewDocument) {
  ValidatorSite t("salesord");
  FillOrder(t);
  ASSERT_TRUE(t.v.Validate(true)) << t.v.ErrorText;

  // A series number is shown, not taken: the series stays where it was.
  EXPECT_EQ(t.Value("ordno", 1), "SO000001");
  EXPECT_EQ(t.s.site.Scalar("select lastno from sequence where sequenceid = 7"), "1");
  // Look-up by text finds the id; the derived field follows its link field's row.
  EXPECT_EQ(t.Id("customer", 1), 101);
  EXPECT_EQ(t.Value("custcity", 1), "Pune");
  EXPECT_EQ(t.Value("paymode", 1), "credit");
  EXPECT_EQ(t.Value("shipvia", 1), "By sea");  // a suggestion list does not overrule

  // The empty row went; the third row took its number.
  EXPECT_EQ(t.store.GetMaxRow(2), 2);
  EXPECT_EQ(t.Value("price", 1), "12.50");
  EXPECT_EQ(t.Value("amount", 1), "25.00");
  EXPECT_EQ(t.Value("item", 2), "Notebook");
  EXPECT_EQ(t.Value("qty", 2), "1000.500");
  EXPECT_EQ(t.Value("amount", 2), "40020.00");
  // The header total is calculated again once the rows stand: it is their sum.
  EXPECT_EQ(t.Value("totalamt", 1), "40045.00");
  EXPECT_TRUE(t.Logged("# 2#Frame No 2, Row 2"));
  EXPECT_FALSE(t.Logged("# 2#Frame No 2, Row 3"));
}

TEST(Validate, FailedSelectionStopsTheWalkWithItsMessage) {
  ValidatorSite t("salesord");
  FillOrder(t);
  t.Set("customer", 1, "Nobody");
  EXPECT_FALSE(t.v.Validate(true));
  EXPECT_EQ(t.v.ErrorText, "Invalid selection \"Nobody\" in field Customer [customer]");
  EXPECT_TRUE(t.Logged("# 3#Invalid selection \"Nobody\" in field Customer [customer]"));
  EXPECT_EQ(t.store.IndexOfValue("custcity", 1), -1);  // later fields untouched
  EXPECT_EQ(t.store.GetMaxRow(2), 3);

  t.Set("paymode", 1, "Cheque");  // a plain list
  EXPECT_FALSE(t.v.FillField("paymode", 1));
  EXPECT_EQ(t.v.ErrorText, "Invalid selection \"Cheque\" in field Payment [paymode]");
  t.Set("customer", 1, "", 999);  // an id the look-up does not know
  EXPECT_FALSE(t.v.FillField("customer", 1));
  EXPECT_EQ(t.v.ErrorText, "Invalid selection \"\" in field Customer [customer]");
}

TEST(Validate, RowsMarkedInvalidGoOnSaveButNotOnLoad) {
  // Checks off: the quantity 0 itself passes, and validrow2 ("F" for it) removes the row.
  ValidatorSite t("salesord");
  FillOrder(t);
  t.Set("qty", 1, "0");
  t.v.ChecksOn = false;
  ASSERT_TRUE(t.v.Validate(true)) << t.v.ErrorText;
  EXPECT_EQ(t.store.GetMaxRow(2), 1);
  EXPECT_EQ(t.Value("item", 1), "Notebook");

  // A loaded document keeps every row, empty or not, and nothing is checked.
  ValidatorSite l("salesord", "l");
  FillOrder(l);
  l.Set("qty", 1, "0");
  l.Set("remarks", 1, "a remark far longer than twenty letters");
  l.v.ChecksOn = false;
  ASSERT_TRUE(l.v.Validate(false));
  EXPECT_EQ(l.store.GetMaxRow(2), 3);
  EXPECT_EQ(l.Value("validrow2", 1), "F");
}

TEST(Validate, ShortAutogenerateValueNamesTheSeries) {
  ValidatorSite t("salesinv");
  t.Set("invno", 1, "CSH");
  ASSERT_TRUE(t.v.FillField("invno", 1));
  EXPECT_EQ(t.Value("invno", 1), "CSH000007");
  EXPECT_EQ(t.s.site.Scalar("select lastno from sequence where sequenceid = 2"), "7");

  t.Set("invno", 1, "MANUAL");  // five letters and more are a number already
  ASSERT_TRUE(t.v.FillField("invno", 1));
  EXPECT_EQ(t.Value("invno", 1), "MANUAL");
}

// A list-query template takes the document's values; a value inside a quoted literal stays
// inside it, a number field's value outside one is a number or a literal, a date is quoted.
TEST(Validate, ListTemplatesTakeTheDocumentsValuesAsValues) {
  struct Case {
    const char* sql;
    const char* remarks;
    const char* totalamt;
    const char* rows;  // the first column of every row, joined by ","
  };
  const char* kIn =
      "select custname from customer where customerid > {totalamt} and city in (:remarks) "
      "order by custname";
  const char* kCity = "select custname from customer where city = '{remarks}' order by custname";
  const char* kId = "select custname from customer where customerid = {totalamt}";
  const Case cases[] = {
      {kIn, "", "", ""},  // an empty number is 0, an empty group (' ')
      {kIn, "Goa", "", "O'Brien Traders"},
      {kCity, "Pune", "", "Acme Stores,Zenith Mart"},
      {kCity, "x' or 'a' = 'a", "", ""},
      {kCity, "Bob's order", "", ""},
      {"select custname from customer where custname <> 'it''s {remarks}' and city = "
       "'{remarks}' order by custname",
       "Pune", "", "Acme Stores,Zenith Mart"},
      {kId, "", "101", "Acme Stores"},
      {kId, "", "101 or 1 = 1", ""},
      {"select (:orddate) from customer where customerid = 101", "", "", "20/06/2026"},
  };
  ValidatorSite t("salesord");
  t.Set("orddate", 1, "20/06/2026");
  v7::TFld* f = t.def.GetField("shipvia");
  v7::TXDS& q = *f->ListQuery;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sql) + " / " + c.remarks + " / " + c.totalamt);
    f->DependentSQL = c.sql;
    t.Set("remarks", 1, c.remarks);
    t.Set("totalamt", 1, c.totalamt);
    t.v.RunFieldSQL(q, 1);
    std::string rows;
    for (q.First(); !q.Eof(); q.Next())
      rows += (rows.empty() ? "" : ",") + q.FieldByName(q.GetFields()[0].Name).GetAsString();
    EXPECT_EQ(rows, c.rows);
  }

  t.log.clear();  // the same expanded text: the open result stands, its lines are dropped
  t.v.RunFieldSQL(q, 1);
  EXPECT_TRUE(t.Logged("#clearcache#"));

  f->DependentSQL = "select city from customer where city = {remarks";
  EXPECT_THROW(t.v.RunFieldSQL(q, 1), v7::EDatabaseError);
}

TEST(Validate, SubFrameRowsSeeTheirParentRowsValues) {
  // The batch list of a batch row names the item of its parent item row.
  ValidatorSite t("salesinvsf", "l",
                  "update inputsql set sqltext = 'select batchno, batchno as batchname from "
                  "itembatch where itemid in (select itemid from item where itemname in "
                  "(:item))' where inputsqlid = 6");
  t.store.LoadTransaction(v7test::kSalesInvSfId);
  t.v.ChecksOn = false;
  ASSERT_TRUE(t.v.Validate(false)) << t.v.ErrorText;
  EXPECT_TRUE(t.Logged("# 3#Parent Row = 2"));
  EXPECT_TRUE(t.Logged("# 4#item = ('Blue Pen')"));
  EXPECT_TRUE(t.Logged("# 4#item = ('Men''s Shirt')"));
  EXPECT_EQ(t.Value("batchno", 3), "S-01");
  EXPECT_EQ(t.store.GetParentRow(3, 3), 2);
  std::string item;
  t.v.Eval->GetVar("item", item);
  EXPECT_EQ(item, "202");  // a parent's look-up value is published as its id

  // On save, a batch that the parent's item does not have is refused.
  t.Set("batchno", 3, "B-01");
  t.v.Eval->SetVar("onsave", 'c', "s");
  t.v.ChecksOn = true;
  EXPECT_FALSE(t.v.Validate(true));
  EXPECT_EQ(t.v.ErrorText, "Invalid selection \"B-01\" in field Batch [batchno]");
}

}  // namespace
