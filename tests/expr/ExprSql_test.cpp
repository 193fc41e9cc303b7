// Named result sets of expressions against a real SQLite site holding the sample product.
#include <gtest/gtest.h>

#include <functional>

#include "PgSite.h"
#include "SiteDb.h"
#include "TestSupport.h"
#include "UParse.h"
#include "uDBManager.h"

namespace {

using v7::TEVAL;

class ExprSql : public ::testing::Test {
 protected:
  void SetUp() override {
    site_ = std::make_unique<v7test::SiteDb>(dir_.path());
    site_->ApplyScript("sample_product.sql");
    mgr_ = site_->Connect();
    eval_.DBManager = mgr_.get();
  }

  // Evaluates and answers the value; a failed evaluation fails the test.
  std::string Eval(const std::string& expr) {
    EXPECT_TRUE(eval_.Evaluate(expr)) << expr;
    return eval_.ResultValue;
  }
  static std::string MessageOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(no error)";
  }

  v7test::TempDir dir_;
  std::unique_ptr<v7test::SiteDb> site_;
  std::unique_ptr<v7::TDBManager> mgr_;
  TEVAL eval_;
};

TEST_F(ExprSql, FiresASelectAndReadsItsValuesByNameInLaterExpressions) {
  eval_.SetVar("code", 'n', "102");
  EXPECT_EQ(Eval("firesql({cust}, {select custname, city from customer where customerid = :code})"),
            "");
  EXPECT_EQ(Eval("sqlget({cust}, {custname})"), "O'Brien Traders");
  EXPECT_EQ(Eval("Upper(sqlget({cust}, {city}))"), "GOA");
  EXPECT_EQ(Eval("sqlget({cust}, {nosuchfield})"), "");
  EXPECT_EQ(Eval("sqlget({neverfired}, {custname})"), "");

  // The same name runs a new statement on the same query object.
  eval_.SetVar("code", 'n', "103");
  Eval("firesql({cust}, {select custname from customer where customerid = :code})");
  EXPECT_EQ(Eval("sqlget({cust}, {custname})"), "Zenith Mart");
  EXPECT_EQ(eval_.ExprQueries.size(), 1u);

  // Closing keeps the objects for the next firesql.
  eval_.CloseExprQueries();
  EXPECT_EQ(Eval("sqlget({cust}, {custname})"), "");
  Eval("firesql({cust}, {select custname from customer where customerid = 101})");
  EXPECT_EQ(Eval("sqlget({cust}, {custname})"), "Acme Stores");
}

TEST_F(ExprSql, ParametersTakeTheValueAndTypeOfTheVariableOfTheirNameInAnyStatement) {
  // An empty number variable is sent as 0 (every balance is 0).
  eval_.SetVar("bal", 'n', "");
  Eval("firesql({c}, {select count(*) as cnt from customer where balance = :bal})");
  EXPECT_EQ(Eval("sqlget({c}, {cnt})"), "3");

  // Number, text and date parameters write a row that reads back the same.
  eval_.SetVar("id", 'n', "9001");
  eval_.SetVar("invno", 'c', "INV/0001");
  eval_.SetVar("invdate", 'd', "05/03/2024");
  Eval(
      "firesql({ins}, {insert into salesinv (salesinvid, invno, invdate) "
      "values (:id, :invno, :invdate)})");
  EXPECT_EQ(site_->Scalar("select invno from salesinv where salesinvid = 9001"), "INV/0001");
  Eval("firesql({inv}, {select invno, invdate from salesinv where invdate = :invdate})");
  EXPECT_EQ(Eval("sqlget({inv}, {invno})"), "INV/0001");
  EXPECT_EQ(Eval("DTOC(sqlget({inv}, {invdate}))"), "05/03/2024");

  // A parameter without a variable of its name is sent as an empty text.
  Eval("firesql({none}, {select count(*) as cnt from customer where city = :unknownvar})");
  EXPECT_EQ(Eval("sqlget({none}, {cnt})"), "0");

  // Any statement but a select is executed; a select in capitals after blanks is opened.
  eval_.SetVar("city", 'c', "Mumbai");
  Eval("firesql({upd}, {update customer set city = :city where customerid = 101})");
  EXPECT_EQ(site_->Scalar("select city from customer where customerid = 101"), "Mumbai");
  Eval("firesql({sel}, {   SELECT city FROM customer WHERE customerid = 101})");
  EXPECT_EQ(Eval("sqlget({sel}, {city})"), "Mumbai");
}

// Ids of 16 digits above 2^53 in a number variable find their own row, not the neighbour a
// double makes of them, through firesql and through the rule of every access layer.
void IdsBeyondADoubleFindTheirOwnRows(v7::TDBManager& mgr,
                                      const std::function<void(const std::string&)>& exec) {
  exec("insert into customer (customerid, custname) values (9010001000000004, 'Two')");
  exec("insert into customer (customerid, custname) values (9010001000000003, 'One')");
  const std::pair<const char*, const char*> rows[] = {
      {"9010001000000004", "Two"},     {"9010001000000003", "One"}, {"9010001000000004", "Two"},
      {"9.010001000000003E15", "One"}, {"103.0", "Zenith Mart"},    {"0", ""}};
  TEVAL eval;
  eval.DBManager = &mgr;
  auto project = mgr.NewQuery();
  for (const char* driver : {"dbx", "ado", "bde"}) {
    v7::TXDS q(driver, project->Connection(), {}, project->DbType());
    q.GetSQL().SetText("select custname from customer where customerid = :big");
    for (const auto& [value, name] : rows) {
      eval.SetVar("big", 'n', value);
      eval.Evaluate("firesql({c}, {select custname from customer where customerid = :big})");
      eval.Evaluate("sqlget({c}, {custname})");
      q.SetParamValue(0, value, "n");
      q.Open();
      EXPECT_EQ(eval.ResultValue + "|" + (q.IsEmpty() ? "" : q.FieldByName("custname").Value),
                std::string(name) + "|" + name)
          << driver << " " << value;
    }
  }
}

TEST_F(ExprSql, IdsBeyondADoubleFindTheirOwnRows) {
  IdsBeyondADoubleFindTheirOwnRows(*mgr_, [&](const std::string& sql) { site_->Exec(sql); });
}

TEST(ExprSqlPg, IdsBeyondADoubleFindTheirOwnRowsOnPostgreSQL) {
  v7test::PgSite pg(v7test::PgSite::Content::Product);
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  auto mgr = pg.Site().NewManager();
  ASSERT_TRUE(mgr->Connect(v7test::PgSite::kProject)) << mgr->ErrorText;
  IdsBeyondADoubleFindTheirOwnRows(*mgr, [&](const std::string& sql) { pg.db.Execute(sql); });
}

// A macro inside a quoted literal of the statement stays inside it, its value's quotes
// doubled; outside quotes the value is inserted as it is, and macros it brings expand too.
TEST_F(ExprSql, MacroValuesStayInsideTheLiteralTheyStandInAndFragmentsOutsideAreKept) {
  eval_.SetVar("item", 'c', "Men's Shirt");
  Eval("firesql({it}, {select itemid from item where itemname = '{item}'})");
  EXPECT_EQ(Eval("sqlget({it}, {itemid})"), "202");
  eval_.SetVar("cond", 'c', "itemname = '{item}'");
  Eval("firesql({it}, {select price from item where {cond}})");
  EXPECT_EQ(Eval("sqlget({it}, {price})"), "450");
  // A value that would close the literal and widen the statement touches no row.
  eval_.SetVar("item", 'c', "x' or '1'='1");
  Eval("firesql({upd}, {update item set price = 0 where itemname = '{item}'})");
  EXPECT_EQ(site_->Scalar("select count(*) from item where price = 0"), "0");

  eval_.SetVar("frag", 'c', "a = 'b'");
  const std::pair<const char*, const char*> texts[] = {
      {"select '}' as b, '{item}' as a", "select '}' as b, 'x'' or ''1''=''1' as a"},
      {"select 'it''s {item}'", "select 'it''s x'' or ''1''=''1'"},
      {"where {frag} and n = '{frag}'", "where a = 'b' and n = 'a = ''b'''"},
      {"select '{nosuchvar}'", "select ''"},
  };
  for (const auto& [text, expanded] : texts) EXPECT_EQ(eval_.ExpandSqlMacros(text), expanded);
}

TEST_F(ExprSql, MacrosThatNeverEndAndDatabaseErrorsFailTheEvaluation) {
  EXPECT_EQ(MessageOf([&] { eval_.ExpandSqlMacros("select * from item where name = '{item'"); }),
            "Invalid sql select * from item where name = '{item'");
  EXPECT_EQ(MessageOf([&] { eval_.ExpandSqlMacros("select '}' from dual where '{a' = ''"); }),
            "Invalid sql select '}' from dual where '{a' = ''");
  // A value holding its own macro, even a long one, fails soon instead of growing for ever.
  eval_.SetVar("loop", 'c', std::string(5000, 'x') + "{loop}");
  EXPECT_EQ(MessageOf([&] {
              eval_.ExpandSqlMacros("select '{loop}' from dual");
            }).rfind("Invalid sql select '{loop}' from dual", 0),
            0u);
  EXPECT_FALSE(eval_.Evaluate("firesql({x}, {select '{loop}' from dual})"));

  // Database and naming errors fail the evaluation.
  EXPECT_FALSE(eval_.Evaluate("firesql({bad}, {select * from nosuchtable})"));
  EXPECT_FALSE(eval_.Evaluate("firesql({bad name}, {select 1 from dual})"));
  EXPECT_THROW(eval_.FireSql("bad name", "select 1 from dual"), std::exception);
  TEVAL noDatabase;
  EXPECT_FALSE(noDatabase.Evaluate("firesql({x}, {select 1 from dual})"));
}

TEST_F(ExprSql, FindRecordAndGetDelimitedStrWalkTheRowsOfASet) {
  Eval("firesql({items}, {select itemid, itemname, price from item order by itemid})");
  EXPECT_EQ(Eval("findrecord({items}, {itemid}, {202.0})"), "T");
  EXPECT_EQ(Eval("findrecord({items}, {price}, {40.0})"), "T");
  EXPECT_EQ(Eval("sqlget({items}, {itemname})"), "Notebook");
  EXPECT_EQ(Eval("findrecord({items}, {itemname}, {Blue Pen})"), "T");
  EXPECT_EQ(Eval("sqlget({items}, {price})"), "12.5");
  EXPECT_EQ(Eval("findrecord({items}, {itemname}, {blue pen})"), "F");
  EXPECT_EQ(Eval("findrecord({items}, {itemname}, {Blue})"), "F");
  EXPECT_EQ(Eval("findrecord({nosuchset}, {itemname}, {x})"), "");
  // An id of 16 digits above 2^53 finds its own row, not the neighbour a double would.
  Eval(
      "firesql({big}, {select 9010001000000004 as id, 'two' as n union all "
      "select 9010001000000003, 'one'})");
  EXPECT_EQ(Eval("findrecord({big}, {id}, {9010001000000003})"), "T");
  EXPECT_EQ(Eval("sqlget({big}, {n})"), "one");

  std::string answer;
  EXPECT_EQ(MessageOf([&] { eval_.FindRecord("items", "nosuch", "x", answer); }),
            "Unable to Evaluate an expression : SQLGetnosuch");
  EXPECT_FALSE(eval_.Evaluate("findrecord({items}, {price}, {forty})"));

  // getdelimitedstr drops one trailing character whatever the delimiter's length.
  EXPECT_EQ(Eval("getdelimitedstr({items}, {itemname}, {})"), "Blue Pen,Men's Shirt,Notebook");
  EXPECT_EQ(Eval("getdelimitedstr({items}, {itemname}, {; })"), "Blue Pen; Men's Shirt; Notebook;");
  Eval("firesql({empty}, {select itemname from item where itemid = 0})");
  EXPECT_EQ(Eval("getdelimitedstr({empty}, {itemname}, {,})"), "");
}

}  // namespace
