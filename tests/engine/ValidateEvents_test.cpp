// The database functions of expressions as the validator serves them: named queries
// (firesql, sqlget, findrecord), getsqlvalue and setsequence.
#include <gtest/gtest.h>

#include "ValidateFixture.h"

namespace {

using v7test::ValidatorSite;

std::string Eval(ValidatorSite& t, const std::string& expr) {
  EXPECT_TRUE(t.v.Eval->Evaluate(expr)) << expr;
  return t.v.Eval->ResultValue;
}

TEST(ValidateEvents, NamedQueriesAreMadeOnceAndReadByLaterCalls) {
  ValidatorSite t("salesord");
  EXPECT_EQ(Eval(t, "sqlget({c}, {custname})"), "");  // no firesql yet: no result, no error
  Eval(t, "firesql({c}, { select customerid, custname from customer order by customerid})");
  ASSERT_EQ(t.v.ExprQueries.size(), 1u);
  EXPECT_EQ(t.v.ExprQueries[0]->Name, "Expr_c");
  EXPECT_EQ(Eval(t, "sqlget({c}, {custname})"), "Acme Stores");
  EXPECT_EQ(Eval(t, "findrecord({c}, {customerid}, {103.0})"), "T");
  EXPECT_EQ(Eval(t, "sqlget({c}, {custname})"), "Zenith Mart");
  EXPECT_EQ(Eval(t, "findrecord({c}, {custname}, {o'brien traders})"), "T");
  EXPECT_EQ(Eval(t, "findrecord({c}, {custname}, {Nobody})"), "F");

  // The same name again: the query is reused with its new text.
  Eval(t, "firesql({c}, {select city from customer where customerid = 102})");
  EXPECT_EQ(t.v.ExprQueries.size(), 1u);
  EXPECT_EQ(Eval(t, "sqlget({c}, {city})"), "Goa");

  // An unknown column is an error of the call, which the business evaluator traps.
  std::vector<std::string> trace;
  t.v.Eval->SetTraceHandler([&](const std::string& line) { trace.push_back(line); });
  t.v.Eval->Evaluate("sqlget({c}, {nosuch})");
  EXPECT_NE(std::find(trace.begin(), trace.end(), "# 1#Unable to Evaluate an expression : SQLGet"),
            trace.end());
}

TEST(ValidateEvents, StatementsRunOnceWithParametersFromTheDocument) {
  ValidatorSite t("salesord");
  t.Set("customer", 1, "Acme Stores", 101);
  t.Set("remarks", 1, "Goa");
  std::vector<std::string> trace;
  t.v.OnTrace = [&](const std::string& line) { trace.push_back(line); };
  const std::string update =
      "update customer set balance = balance + 5 where customerid = :id__customer";
  Eval(t, "firesql({u}, {" + update + "})");
  EXPECT_EQ(t.s.site.Scalar("select balance from customer where customerid = 101"), "5");
  // The statement's line is written, not dropped with the held lines of an open query.
  EXPECT_EQ(trace,
            (std::vector<std::string>{"#savelevel#", "#startcache#", "# 1#Firing SQL : " + update,
                                      "#endcache#", "#resetlevel#"}));
  Eval(t, "firesql({q}, {select custname from customer where city = :remarks})");
  EXPECT_EQ(Eval(t, "sqlget({q}, {custname})"), "O'Brien Traders");
}

TEST(ValidateEvents, GetSqlValueLeavesTheFieldsListQueryAlone) {
  ValidatorSite t("salesord");
  t.Set("customer", 1, "Zenith Mart");
  ASSERT_TRUE(t.v.FillField("customer", 1));
  v7::TXDS* list = t.def.GetField("customer")->ListQuery.get();
  ASSERT_EQ(t.v.CurrentQuery, list);
  const std::string listSql = list->GetSQL().Text();

  // The list's own statement answers on the selected row.
  EXPECT_EQ(Eval(t, "getsqlvalue({" + listSql + "}, {city})"), "Pune");
  EXPECT_EQ(Eval(t, "getsqlvalue({select city from customer where customerid = 102}, {city})"),
            "Goa");
  EXPECT_EQ(list->GetSQL().Text(), listSql);
  EXPECT_EQ(list->FieldByName("custname").GetAsString(), "Zenith Mart");
}

TEST(ValidateEvents, SetSequenceChoosesTheSeriesOfTheNextNumber) {
  ValidatorSite t("salesinv");
  Eval(t, "setsequence({}, {CSH})");  // no field: nothing happens
  std::string number;
  t.store.GetNextNumber("invno", true, number);
  EXPECT_EQ(number, "INV000042");
  Eval(t, "setsequence({invno}, {CSH})");
  t.store.GetNextNumber("invno", true, number);
  EXPECT_EQ(number, "CSH000007");
}

}  // namespace
