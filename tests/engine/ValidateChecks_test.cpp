// The checks of one value: validation expression, uniqueness in the table and in the
// document, empty values, width and decimals.
#include <gtest/gtest.h>

#include "ValidateFixture.h"

namespace {

using v7test::ValidatorSite;

// Makes a field current with a value, as ValidateField does before the checks.
bool Check(ValidatorSite& t, const std::string& field, const std::string& value, int row = 1) {
  t.v.CurrentField = t.def.GetField(field);
  t.v.CurrentValue = value;
  t.v.CurrentValueId = 0;
  return t.v.CheckField(row);
}

TEST(ValidateChecks, WidthCountsDigitsAfterRoundingAndCharactersOfTexts) {
  ValidatorSite t("salesord");
  v7::TFld* price = t.def.GetField("price");
  price->width = 5;  // 2 decimals
  EXPECT_TRUE(Check(t, "price", "12345.67"));
  EXPECT_FALSE(Check(t, "price", "123456.7"));
  EXPECT_EQ(t.v.ErrorText, "Price [price] : value exceeds defined width");
  EXPECT_TRUE(Check(t, "price", "1.234"));

  v7::TFld* row = t.def.GetField("salesorddetrow");
  row->width = 3;  // no decimals
  row->Empty = true;
  EXPECT_TRUE(Check(t, "salesorddetrow", "999"));
  EXPECT_FALSE(Check(t, "salesorddetrow", "1000"));
  EXPECT_FALSE(Check(t, "salesorddetrow", "12.5"));

  t.def.GetField("remarks")->ValidateExprId = -1;  // width 20
  std::string accented;
  for (int i = 0; i < 20; ++i) accented += "\xc3\xa9";  // 20 letters in 40 bytes
  EXPECT_TRUE(Check(t, "remarks", accented));
  EXPECT_FALSE(Check(t, "remarks", std::string(21, 'x')));

  // Rounding is half up by magnitude; a field without decimals keeps the text as given.
  t.v.CurrentField = price;
  EXPECT_EQ(t.v.RoundToDecimals("-2.675"), "-2.68");
  t.v.CurrentField = row;
  EXPECT_EQ(t.v.RoundToDecimals("1,012.5"), "1,012.5");
}

TEST(ValidateChecks, ValidationExpressionThenEmptyValuesWhereTheFieldMayNotBeEmpty) {
  ValidatorSite t("salesord");
  t.def.GetField("qty")->ValidateExprId = -1;
  EXPECT_FALSE(Check(t, "qty", "0"));
  EXPECT_EQ(t.v.ErrorText, "Quantity [qty] cannot be left empty.");
  EXPECT_FALSE(Check(t, "qty", ""));
  EXPECT_FALSE(Check(t, "orddate", " "));
  EXPECT_EQ(t.v.ErrorText, "Date [orddate] cannot be left empty.");
  EXPECT_TRUE(Check(t, "remarks", ""));  // may be empty
  t.v.ChecksOn = false;                  // loading: everything passes
  EXPECT_TRUE(Check(t, "qty", ""));

  // The validation expression decides first.
  t.v.ChecksOn = true;
  v7::TFld* qty = t.def.GetField("qty");
  qty->ValidateExprId = t.v.Eval->Compile("{_fine as it is}");
  EXPECT_TRUE(Check(t, "qty", ""));  // passes without the empty check
  qty->ValidateExprId = t.v.Eval->Compile("{f}");
  EXPECT_FALSE(Check(t, "qty", "3"));
  EXPECT_EQ(t.v.ErrorText, "Invalid input Quantity [qty]");
  qty->ValidateExprId = t.v.Eval->Compile("{not in stock}");
  EXPECT_FALSE(Check(t, "qty", "3", 2));
  EXPECT_EQ(t.v.ErrorText, "Quantity Row 2 : not in stock");
}

TEST(ValidateChecks, HeaderValueNewToTheTableExceptItsOwnRecordAndGridValueToItsParentsRows) {
  ValidatorSite t("salesord");
  t.s.site.Exec("insert into salesord (salesordid, ordno, cancel) values (55, 'SO000009', 'F')");
  v7::TFld* ordno = t.def.GetField("ordno");
  // A generated number not yet taken from its series is never a duplicate.
  EXPECT_TRUE(Check(t, "ordno", "SO000009"));

  ordno->modeofentry = "to be entered";
  EXPECT_FALSE(Check(t, "ordno", "so000009"));
  EXPECT_EQ(t.v.ErrorText, "Duplicate values are not allowed for Order No [ordno]");
  EXPECT_TRUE(Check(t, "ordno", "SO000010"));

  t.store.DocumentRecordId = 55;  // the stored order itself
  t.store.RowIds.push_back(v7::TRowId{1, 1, 55, "SALESORD"});
  EXPECT_TRUE(Check(t, "ordno", "SO000009"));

  // A grid value must be new among the rows of the same parent.
  t.Set("item", 1, "Blue Pen");
  t.Set("item", 2, "Notebook");
  t.Set("item", 3, "blue pen ");
  t.v.ParentRow = 0;
  EXPECT_FALSE(Check(t, "item", "Blue Pen", 3));
  EXPECT_EQ(t.v.ErrorText, "Duplicate values are not allowed for Item [item]");
  EXPECT_TRUE(Check(t, "item", "Notebook", 2));

  t.store.Values[size_t(t.store.IndexOfValue("item", 1))].ParentRow = 1;
  t.store.Values[size_t(t.store.IndexOfValue("item", 3))].ParentRow = 2;
  t.v.ParentRow = 2;
  EXPECT_TRUE(Check(t, "item", "Blue Pen", 3));
}

}  // namespace
