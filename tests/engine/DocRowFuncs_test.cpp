// The document-row functions of the business evaluator, run as expressions over the
// document store of a sample-product type on a real SQLite site.
#include <tuple>

#include "QuorexDoc.h"

namespace {

using Doc = v7test::QuorexDoc;
using v7::TStoreData;

// Adds a value per row (from row 1) to the store.
void Fill(TStoreData& st, const std::string& field, std::initializer_list<const char*> values) {
  int row = 0;
  for (const char* v : values) st.AddValueByName(field, ++row, v);
}

TEST(DocRowFuncs, TotalsAndSumsStopAtTheFirstGapAndPassOverTextsThatAreNoNumbers) {
  Doc d;
  TStoreData& st = d.store;
  Fill(st, "qty", {"1", "1", "1", "1"});
  const char* qty[] = {"10", "", "x", "2.5"};
  for (int row = 1; row <= 4; ++row) d.SetText("qty", row, qty[row - 1]);
  // discount: rows 1, 2 and 4; the scan never sees row 4.
  Fill(st, "discount", {"1.5", "2"});
  st.AddValueByName("discount", 4, "100");
  Fill(st, "item", {"Cash", "cash", "Cash", "Cash"});
  // qty row 3 is "x": skipped; the key must match exactly; discount has no row 3, so the
  // sum stops there.
  ExpectRuns(
      d,
      {"Total({ qty }) => 12.5", "Total({discount}) => 3.5", "Sum({ item }, {Cash}, {qty}) => 12.5",
       "Sum({item}, {CASH}, {qty}) => 0", "Sum({item}, {Cash}, {discount}) => 1.5",
       "SumTill({item}, {Cash}, {qty}, 1) => 10", "SumTill({item}, {Cash}, {qty}, 4) => 12.5"});
}

TEST(DocRowFuncs, ExtremesCompareNumbersAsNumbersAndTextsByteWiseKeepingTheEarlierRow) {
  Doc d;
  TStoreData& st = d.store;
  Fill(st, "qty", {"5", "9", "9", "10"});  // 10 > 9 as numbers, not as texts
  Fill(st, "price", {"3", "1", "1"});
  st.AddValueByName("discount", 2, "4");
  Fill(st, "item", {"apple", "Pear", "pear"});
  ExpectRuns(d, {"GetMax({qty}) => 4", "GetMin({price}) => 2", "GetMax({discount}) => -1",
                 "GetMax({item}) => 3", "GetMin({item}) => 2", "GetRow({item}, {pear}) => 3",
                 "GetRow({item}, {plum}) => -1", "GetRowCount({item}) => 3",
                 "GetRowCount({remarks}) => 0"});
}

TEST(DocRowFuncs, ValuesIdsAndOldValuesByFieldAndRow) {
  Doc d;
  TStoreData& st = d.store;
  st.AddValueByName("qty", 1, "3");
  d.SetText("qty", 1, "");
  st.AddValueByName("remarks", 1, "");
  st.AddValueByName("customer", 1, "O'Brien Traders", "Old Co", 9007199254740993.0L, 102);
  // Sixteen-digit ids keep every digit.
  ExpectRuns(d, {"GetValue({qty}, 1) => 0", "GetValue({remarks}, 1) => ",
                 "GetValue({customer}, 0-1) => ", "GetValue({Customer}, 1) => O'Brien Traders",
                 "GetId({customer}, 1) => 9007199254740993", "getold({customer}, 1) => Old Co",
                 "getoldid({customer}, 1) => 102", "getoldid({customer}, 2) => 0"});

  st.AddValueByName("item", 1, "sourcerecordid");  // stands for the source document's id
  st.SourceRecordId = 700010000000101.0L;
  ExpectRuns(d, {"GetId({item}, 1) => 700010000000101"});

  // Without the store (and no host) the functions answer their fixed values.
  d.eval.UseStoreData = 0;
  ExpectRuns(d, {"GetValue({customer}, 1) => ", "Total({qty}) => 0", "GetMax({qty}) => -1",
                 "GetId({customer}, 1) => 0"});
}

TEST(DocRowFuncs, SetValueAddsAMissingValueButAnswersTrueOnlyForAnExistingOne) {
  Doc d;
  TStoreData& st = d.store;
  std::vector<std::string> told;
  d.eval.OnSetFieldValue = [&](const std::string& f, int row, const std::string& v) {
    told.push_back(f + std::to_string(row) + v);
  };
  for (auto [call, answer, value] : {std::tuple{"setvalue({remarks}, 1, {first})", "F", "first"},
                                     {"setvalue({remarks}, 1, {second})", "T", "second"},
                                     {"setvalue({remarks}, 0, {third})", "F", "second"}}) {
    EXPECT_EQ(d.Run(call), answer) << call;
    EXPECT_EQ(st.GetValue("remarks", 1), value) << call;
  }
  EXPECT_EQ(told, std::vector<std::string>{"remarks1second"});
  // A row that is not an integer fails the call, which is traced, not raised.
  EXPECT_EQ(d.Run("setvalue({remarks}, {one}, {x})"), "");
  EXPECT_TRUE(d.AnyError());
}

TEST(DocRowFuncs, FieldChangedAndCellReadTheLoadedValues) {
  Doc d("salesinv", true);
  d.store.LoadTransaction(v7test::kSalesInvId);
  ASSERT_EQ(d.store.GetValue("totalamt", 1), "1150");
  for (auto [name, value, changed] : {std::tuple{"totalamt", "1150.00", "F"},
                                      {"totalamt", "1150.01", "T"},
                                      {"paymode", "Cash", "T"}}) {
    d.eval.SetVar(name, name[0] == 't' ? 'n' : 'c', value);
    EXPECT_EQ(d.Run(std::string("FieldChanged({") + name + "}, 1)"), changed) << value;
  }
  // Amounts beyond a 64-bit count of ten-thousandths (9.2E14) compare as exactly.
  d.store.Values[size_t(d.store.IndexOfValue("totalamt", 1))].OldValue = "950000000000000";
  for (auto [value, changed] : {std::pair{"950000000000000.00", "F"},
                                {"9.5E14", "F"},
                                {"950000000000000.00004", "F"},
                                {"950000000000000.0001", "T"},
                                {"960000000000000", "T"},
                                {"1950000000000000", "T"},
                                {"-950000000000000", "T"},
                                {"123456789012345678", "T"}}) {
    d.eval.SetVar("totalamt", 'n', value);
    EXPECT_EQ(d.Run("FieldChanged({totalamt}, 1)"), changed) << value;
  }
  // cell reads the loaded column of the active frame (qty is column 4; row 2 holds 2).
  ExpectRuns(d, {"FieldChanged({remarks}, 1) => F", "cell(4, 2) => 0"});  // no variables yet
  d.eval.SetVar("ActiveFrame", 'n', "2");
  ExpectRuns(d, {"cell(4, 2) => 2", "cell(3, 1) => 12.5", "cell(99, 1) => 0"});

  // A value that was never loaded has not changed, whatever its variable says.
  d.store.AddValueByName("discount", 9, "5");
  d.eval.SetVar("discount", 'n', "7");
  EXPECT_EQ(d.Run("FieldChanged({discount}, 9)"), "F");
}

TEST(DocRowFuncs, RowChangesNeedAKnownFrameNameAndNeverTouchTheTableIds) {
  Doc d;
  TStoreData& st = d.store;
  st.AddValueByName("salesinvid", 1, "700010000000101");
  Fill(st, "item", {"I1", "I2", "I3"});

  auto state = [&] {
    return st.GetValue("salesinvid", 1) + " " + st.GetValue("item", 1) + " " +
           std::to_string(st.GetMaxRow(2));
  };
  // Without frame names the frame is 0, which holds the table ids: nothing is removed.
  ExpectRuns(d, {"deleterow({items}, 1) => T", "addrow({items}) => T"});
  EXPECT_EQ(state(), "700010000000101 I1 3");
  d.eval.FrameNames = "Header,Items";
  ExpectRuns(d, {"deleterow({ITEMS}, 1) => T"});
  EXPECT_EQ(state(), "700010000000101 I2 2");
  ExpectRuns(d, {"addrow({items}) => T"});
  EXPECT_EQ(state(), "700010000000101 I2 3");
  ExpectRuns(d, {"SetGroupid({item}, {A}) => 0", "SetGroupid({item}, {B}) => 0"});
  EXPECT_EQ(st.GroupValues, std::vector<std::string>{"A"});
}

TEST(DocRowFuncs, RoundOffAndSubRowTotals) {
  Doc d;
  TStoreData& st = d.store;
  Fill(st, "amount", {"10.25", "10.30", "7"});
  Fill(st, "remarks", {"T", "t", "f"});
  ExpectRuns(d, {"getroundoff({amount}, {remarks}, 0, 100) => 0.45",
                 "getroundoff({amount}, {remarks}, 1, 100) => -0.25",
                 "getroundoff({amount}, {remarks}, 0, 0) => "});
  EXPECT_TRUE(d.AnyError());

  Doc sf("salesinvsf", true);
  sf.store.LoadTransaction(v7test::kSalesInvSfId);
  ExpectRuns(sf, {"getsubtotal({batchqty}, 1) => 4", "getsubtotal({BatchQty}, 2) => 2"});
  EXPECT_EQ(sf.eval.GetStrFromSub("batchno", ", ", 1), "B-01, B-02,");
  EXPECT_EQ(sf.eval.GetStrFromSub("batchno", "\u2192", 2), "S-01");  // a UTF-8 separator
  EXPECT_EQ(sf.eval.GetStrFromSub("batchno", ";", 7), "");
}

}  // namespace
