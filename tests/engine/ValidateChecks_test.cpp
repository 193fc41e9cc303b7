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

// Numbers at the edges of width and precision: what passes is stored rounded, in plain
// digits, with the value it came with; what the width or the engine's 18 exact digits
// cannot hold is refused with the field's message.
TEST(ValidateChecks, NumbersAreStoredExactlyOrRefusedAtTheEdgesOfWidthAndPrecision) {
  struct Case {
    int width, decimals;
    const char* input;
    const char* stored;  // nullptr: refused
    const char* refusal;
  };
  const char* kWidth = "Price [price] : value exceeds defined width";
  const char* kEmpty = "Price [price] cannot be left empty.";
  const Case cases[] = {
      {5, 2, "12345.67", "12345.67", ""},
      {5, 2, "123456.7", nullptr, kWidth},
      {5, 2, "1.234", "1.23", ""},    // measured after rounding
      {5, 2, "-2.675", "-2.68", ""},  // half up by magnitude
      {5, 2, "1,234.5", "1234.50", ""},
      {5, 2, "0.004", nullptr, kEmpty},  // rounds to the stored 0.00
      {5, 2, "0.005", "0.01", ""},
      {15, 2, "9999999999999.99", "9999999999999.99", ""},
      {15, 2, "1.5E3", "1500.00", ""},
      {15, 2, "1.5E-2", "0.02", ""},
      {15, 2, "1234567890123456", nullptr, kWidth},
      {15, 2, "1000000000000000", nullptr, kWidth},
      {15, 2, "1E15", nullptr, kWidth},
      {15, 2, "99999999999999.5", "99999999999999.50", ""},
      {20, 2, "12345678901234567.5", nullptr, kWidth},  // fits the width, not the engine
      {3, 0, "999", "999", ""},
      {3, 0, "1000", nullptr, kWidth},
      {3, 0, "12.5", nullptr, kWidth},
      {3, 0, "12.0", "12.0", ""},  // the number, 12, is measured
      {15, 0, "1.5E2", "150", ""},
      {15, -2, "1250", "1300", ""},  // to hundreds
      {15, 0, "999999999999999", "999999999999999", ""},
      {20, 0, "9010001000000001", "9010001000000001", ""},  // a record id of site 901
      {20, 0, "1E18", nullptr, kWidth},
  };
  ValidatorSite t("salesord");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.input) + " width " + std::to_string(c.width) + "." +
                 std::to_string(c.decimals));
    v7::TFld* price = t.def.GetField("price");
    price->width = c.width;
    price->Decimals = c.decimals;
    const bool passed = t.v.ValidateField("price", 1, 0, c.input);
    EXPECT_EQ(passed, c.stored != nullptr) << t.v.ErrorText;
    if (c.stored)
      EXPECT_EQ(t.Value("price", 1), c.stored);
    else
      EXPECT_EQ(t.v.ErrorText, c.refusal);
  }

  // A computed number beyond the engine's digits is refused, never cut to its first digits.
  t.v.Eval->SetVar("qty", 'n', "999999");
  t.v.Eval->SetVar("price", 'n', "9999999999");
  ASSERT_TRUE(t.v.FillField("amount", 1)) << t.v.ErrorText;
  const std::string computed = t.Value("amount", 1);
  EXPECT_EQ(computed.find_first_of("eE"), std::string::npos) << computed;
  EXPECT_GT(std::stold(computed), 9.99998e15L) << computed;
  EXPECT_FALSE(t.v.ValidateField("amount", 1, 0, computed));
  EXPECT_EQ(t.v.ErrorText, "Amount [amount] : value exceeds defined width");

  // Texts are measured in characters.
  t.def.GetField("remarks")->ValidateExprId = -1;  // width 20
  std::string accented;
  for (int i = 0; i < 20; ++i) accented += "\xc3\xa9";  // 20 letters in 40 bytes
  EXPECT_TRUE(Check(t, "remarks", accented));
  EXPECT_FALSE(Check(t, "remarks", std::string(21, 'x')));
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
