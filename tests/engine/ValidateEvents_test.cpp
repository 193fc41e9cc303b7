// The database functions of expressions as the validator serves them: named queries
// (firesql, sqlget, findrecord), getsqlvalue and setsequence.
#include <gtest/gtest.h>

#include "PgSite.h"
#include "TestSupport.h"
#include "ValidateFixture.h"
#include "uDbCall.h"
#include "uDbDates.h"

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

  // Ids of 16 digits above 2^53 find their own row, not a neighbour a double cannot tell apart.
  t.s.site.Exec("insert into customer (customerid, custname) values (9010001000000004, 'Two')");
  t.s.site.Exec("insert into customer (customerid, custname) values (9010001000000003, 'One')");
  Eval(t,
       "firesql({big}, {select customerid, custname from customer where customerid > 9E15 "
       "order by custname desc})");
  EXPECT_EQ(Eval(t, "findrecord({big}, {customerid}, {9010001000000003})"), "T");
  EXPECT_EQ(Eval(t, "sqlget({big}, {custname})"), "One");

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

// Values computed from date columns come back as dates, on SQLite (whose result columns of
// expressions have no declared type) as on PostgreSQL; differences and counts stay numbers.
void ComputedDatesReadAsDates(v7::TDBManager* mgr, const char* auxSchema) {
  auto q = mgr->NewQuery();
  q->GetSQL().SetText(
      "insert into salesinv (salesinvid, invno, invdate, totalamt, modifiedon, approval) "
      "values (:id, :no, :d, 2500000, :t, 2)");
  for (auto [id, no, day] : {std::tuple{9001, "D1", 10}, {9002, "D2", 15}}) {
    q->ParamByName("id").SetAsInteger(id);
    q->ParamByName("no").SetAsString(no);
    q->ParamByName("d").SetAsDateTime(v7test::Date(2026, 6, day));
    q->ParamByName("t").SetAsDateTime(v7test::Date(2026, 6, day + 1, 6));
    q->ExecSQL();
  }
  v7::TDbCall c;
  c.DBManager = mgr;
  c.SetTransType("salesinv");
  const auto eval = [&](const std::string& expr) {
    EXPECT_TRUE(c.Eval->Evaluate(expr)) << expr;
    return c.Eval->ResultValue;
  };
  const auto value = [&](const std::string& select) {
    return eval("getsqlvalue({select " + select +
                " as v from salesinv where salesinvid > 9000}, {v})");
  };
  for (auto [select, want] :
       {std::pair{"max(invdate)", "15/06/2026"},
        {"min(invdate)", "10/06/2026"},
        {"max(modifiedon)", "16/06/2026 06:00:00"},
        {"coalesce(max(invdate), null)", "15/06/2026"},
        {"case when count(*) > 1 then max(invdate) else null end", "15/06/2026"},
        {"(select min(s.invdate) from salesinv s where s.salesinvid > 9001)", "15/06/2026"},
        {"max(invdate) - min(invdate)", "5"},
        {"count(invdate)", "2"}})
    EXPECT_EQ(value(select), want) << select;

  // A name is followed to its own table or sub-select: a number in a column named like a
  // date column of another table stays a number, as the server gives it. Names in comments
  // and texts, and numbers with a point, qualify nothing.
  q->GetSQL().SetText("create table dateclash (salesinvid integer, invdate integer)");
  q->ExecSQL();
  q->GetSQL().SetText("insert into dateclash values (9001, 2460500), (9002, 2460400)");
  q->ExecSQL();
  // A view is typed by its own select; "*" brings the columns of its sources; the columns
  // of a table-valued function are no dates.
  for (const char* view :
       {"create view v_inv as select * from salesinv",
        "create view v_last (n, lastd) as select count(*), max(invdate) from salesinv",
        "create view v_clash as select u.invdate as clash, u.salesinvid from dateclash u",
        "create view v_with as with w as (select max(invdate) m from salesinv where salesinvid "
        "> 9000) select m as lastd, (with x (d) as (select invdate from salesinv) select min(d) "
        "from x) firstd from w",
        "create view v_n1 as select max(invdate) d from salesinv where salesinvid > 9000",
        "create view v_n2 as select d from v_n1", "create view v_n3 as select * from v_n2",
        "create view v_n4 as select d from v_n3", "create view v_n5 as select d from v_n4",
        "create view v_n6 as select d from v_n5", "create view v_n7 as select d from v_n6",
        "create view v_n8 as select d from v_n7", "create view v_n9 as select d from v_n8",
        "create view v_n10 as select d from v_n9", "create view v_n11 as select d from v_n10"}) {
    q->GetSQL().SetText(view);
    q->ExecSQL();
  }
  // A table of another schema whose column of a date's name holds numbers.
  q->GetSQL().SetText(auxSchema);
  q->ExecSQL();
  q->GetSQL().SetText("create table aux.salesinv (salesinvid integer, invdate integer)");
  q->ExecSQL();
  q->GetSQL().SetText("insert into aux.salesinv values (9001, 2460500)");
  q->ExecSQL();
  const std::string join = " from salesinv t join dateclash u on u.salesinvid = t.salesinvid";
  for (auto [sql, want] : std::initializer_list<std::pair<std::string, std::string>>{
           {"select max(u.invdate) v" + join, "2460500"},
           {"select max(u.invdate) + 1 v" + join, "2460501"},
           {"select (max(/* u.invdate */ t.invdate))as v from (salesinv t join dateclash u on "
            "u.salesinvid = t.salesinvid)",
            "15/06/2026"},
           {"select case when 'it''s' <> 'u.invdate' then max(t.invdate) end v" + join,
            "15/06/2026"},
           {"select coalesce(max(t.invdate), (select max(invdate) from salesinv where "
            "salesinvid = 0)) v" +
                join,
            "15/06/2026"},
           {"select max(dateclash.invdate) v from salesinv, dateclash where dateclash.salesinvid "
            "= salesinv.salesinvid and salesinv.invno <> 'salesinv.invdate'",
            "2460500"},
           {"select max(salesinv.invdate) -- , dateclash.invdate\n v from salesinv, dateclash",
            "15/06/2026"},
           {"select max(s.invdate) v from (select totalamt as invdate from salesinv) s", "2500000"},
           {"select max(s.invdate) v from (select t.invdate from salesinv t union all select "
            "null from dateclash) s",
            "15/06/2026"},
           {"select max(s.\"d\") v from (select 1.5 x, invdate d from salesinv t) as s",
            "15/06/2026"},
           {"select (select max(invdate) from dateclash) v from salesinv where salesinvid = 9001",
            "2460500"},
           {"select (select t.invdate from dateclash u where u.salesinvid = t.salesinvid) v "
            "from salesinv t where t.salesinvid = 9002",
            "15/06/2026"},
           {"select max(invdate) over (partition by invno) v from salesinv where salesinvid = 9002",
            "15/06/2026"},
           {"select max(invdate) filter (where salesinvid < 9002) v from salesinv "
            "where salesinvid > 9000",
            "10/06/2026"},
           {"select max(modifiedon) over w v from salesinv where salesinvid = 9002 "
            "window w as (order by salesinvid)",
            "16/06/2026 06:00:00"},
           {"select 1+max(invdate)-2 v from salesinv where salesinvid > 9000", "14/06/2026"},
           {"select max(x.invdate) v from (select * from salesinv) x", "15/06/2026"},
           {"select max(x.invdate) v from (select 1 one, s.* from salesinv s, dateclash u) x",
            "15/06/2026"},
           {"select max(x.invdate) v from (select u.* from salesinv s, dateclash u) x", "2460500"},
           {"select max(invdate) v from v_inv", "15/06/2026"},
           {"select lastd v from v_last", "15/06/2026"},
           {"select max(invdate) v from salesinv s join v_clash c on c.salesinvid = s.salesinvid",
            "15/06/2026"},
           {"select max(clash) v from v_clash", "2460500"},
           {"select max(invdate) v from salesinv s join json_each('{\"a\": 1}') j on 1 = 1",
            "15/06/2026"},
           {"with w as (select max(invdate) m from salesinv where salesinvid > 9000) "
            "select m v from w",
            "15/06/2026"},
           {"with recursive w (m, n) as (select invdate, 1 from salesinv where salesinvid = 9001 "
            "union all select m + 1, n + 1 from w where n < 3) select max(m) v from w",
            "12/06/2026"},
           {"with w as materialized (select invdate from dateclash) select max(w.invdate) v "
            "from w",
            "2460500"},
           {"select (with w as (select invdate from salesinv where salesinvid > 9000) select "
            "max(invdate) from w) v from dual",
            "15/06/2026"},
           {"select lastd v from v_with", "15/06/2026"},
           {"select firstd v from v_with", "10/06/2026"},
           {"select d v from v_n11", "15/06/2026"},
           {"select * from (select max(invdate) v from salesinv where salesinvid > 9000 union "
            "all select min(invdate) from salesinv where salesinvid > 9000) x",
            "15/06/2026"},
           {"select * from (select d as v from v_n9 union select * from v_n2) x", "15/06/2026"},
           {"select * from dateclash join (select salesinvid, max(invdate) v from salesinv group "
            "by salesinvid) m using (salesinvid) where salesinvid = 9002",
            "15/06/2026"},
           {"select n.*, (select 1 from dual) one from (select d v from v_n1) n", "15/06/2026"},
           {"select coalesce(max(invdate), now()) v from salesinv where salesinvid > 9000",
            "15/06/2026"},
           {"select cast(max(invdate) as date) v from salesinv where salesinvid > 9000",
            "15/06/2026"},
           {"select cast(modifiedon as timestamp) v from salesinv where salesinvid = 9002",
            "16/06/2026 06:00:00"},
           {"select max(invdate) + 365 * 2 v from salesinv where salesinvid > 9000", "14/06/2028"},
           {"select invdate - (3 + approval) v from salesinv where salesinvid = 9002",
            "10/06/2026"},
           {"select lag(invdate) over (order by salesinvid) v from salesinv where salesinvid > "
            "9000 order by salesinvid desc",
            "10/06/2026"},
           {"select first_value(invdate) over (order by salesinvid desc) v from salesinv where "
            "salesinvid > 9000",
            "15/06/2026"},
           {"select max(invdate) v from aux.salesinv", "2460500"},
           {"select max(s.invdate) v from salesinv t, aux.salesinv s", "2460500"},
           {"select cast(modifiedon as date) v from salesinv where salesinvid = 9002",
            "16/06/2026"},
           {"select * from (select salesinvid, invdate from salesinv) s natural join (select "
            "salesinvid, max(invdate) + 0 v from salesinv group by salesinvid) m where "
            "salesinvid = 9002",
            "15/06/2026"},
           // Two columns of one name read through "*" are two columns: each keeps its own type.
           {"with w (a, v) as (select * from (select max(invdate) as d, max(totalamt) as d from "
            "salesinv where salesinvid > 9000) x) select v from w",
            "2500000"},
           {"with t as (select max(invdate) as d, max(totalamt) as d from salesinv where "
            "salesinvid > 9000), w (a, v) as (select * from t) select v from w",
            "2500000"},
           {"with w (a, v) as (select * from (select x.*, y.* from (select max(invdate) d from "
            "salesinv where salesinvid > 9000) x, (select max(totalamt) d from salesinv where "
            "salesinvid > 9000) y) z) select v from w",
            "2500000"},
           {"with w (v, b) as (select * from (select max(invdate) as d, max(totalamt) as d from "
            "salesinv where salesinvid > 9000) x) select v from w",
            "15/06/2026"},
           // A date plus whole days however the days are computed.
           {"select invdate + coalesce(approval, 0) v from salesinv where salesinvid = 9002",
            "17/06/2026"},
           {"select invdate + case when approval > 1 then 30 else 0 end v from salesinv where "
            "salesinvid = 9002",
            "15/07/2026"},
           {"select invdate - abs(approval) v from salesinv where salesinvid = 9002", "13/06/2026"},
           {"select invdate + (select max(approval) from salesinv where salesinvid > 9000) v "
            "from salesinv where salesinvid = 9002",
            "17/06/2026"},
           {"select invdate + length(invno) v from salesinv where salesinvid = 9002", "17/06/2026"},
           {"select max(approval) + max(invdate) v from salesinv where salesinvid > 9000",
            "17/06/2026"},
           {"select invdate + nullif(approval, 0) * 2 v from salesinv where salesinvid = 9002",
            "19/06/2026"},
           {"select invdate + coalesce(approval, -1) - abs(-3) v from salesinv where salesinvid "
            "= 9002",
            "14/06/2026"},
           {"select invdate + ntile(2) over (order by salesinvid) + mod(approval, 7) v from "
            "salesinv where salesinvid = 9002",
            "18/06/2026"},
           {"select cast(modifiedon as time) v from salesinv where salesinvid = 9002", "06:00:00"},
           {"select lag(invdate) over (order by salesinvid) v from salesinv where salesinvid = "
            "9001",
            ""}}) {
    q->GetSQL().SetText(sql);
    q->Open();
    EXPECT_EQ(q->FieldByName("v").GetAsString(), want) << sql;
  }

  // A parameter takes the type of the values beside it, as a server infers it.
  for (auto [sql, date, want] : std::initializer_list<std::tuple<const char*, bool, const char*>>{
           {"select invdate + coalesce(:p, 0) v from salesinv where salesinvid = 9002", false,
            "18/06/2026"},
           {"select coalesce(max(invdate), :p) v from salesinv where salesinvid = 0", true,
            "20/06/2026"},
           {"select case when approval = 2 then :p else invdate end v from salesinv where "
            "salesinvid = 9002",
            true, "20/06/2026"}}) {
    q->GetSQL().SetText(sql);
    if (date)
      q->ParamByName("p").SetAsDateTime(v7test::Date(2026, 6, 20));
    else
      q->ParamByName("p").SetAsInteger(3);
    q->Open();
    EXPECT_EQ(q->FieldByName("v").GetAsString(), want) << sql;
  }

  // A date that is null, or that no row gives, is still of a date column.
  for (const char* sql :
       {"select lag(invdate) over (order by salesinvid) v from salesinv where salesinvid = 9001",
        "select max(invdate + coalesce(approval, 0)) v from salesinv where salesinvid = 0"}) {
    q->GetSQL().SetText(sql);
    q->Open();
    EXPECT_EQ(q->FieldByName("v").DataType, v7::ftDateTime) << sql;
  }

  EXPECT_EQ(eval("sqlregvar({select 'lastinv' as varname, max(invdate) as varvalue, 'd' as "
                 "vartype from salesinv where salesinvid > 9000})"),
            "");
  EXPECT_EQ(eval("lastinv"), "15/06/2026");
  eval("firesql({s}, {select max(invdate) as d, max(x.modifiedon) as t from v_inv x})");
  EXPECT_EQ(eval("sqlget({s}, {d})") + " " + eval("sqlget({s}, {t})"),
            "15/06/2026 16/06/2026 06:00:00");
  const std::string now = eval("getsqlvalue({select now() as d from dual}, {d})");
  double today = 0;
  EXPECT_TRUE(v7::ParseDateTimeText(now, v7::TDateOrder::DMY, today)) << now;

  // A statement read again after its view changed is typed by the view as it now is.
  for (auto [sql, want] :
       {std::pair{"select lastd v from v_last", "15/06/2026"},
        {"drop view v_last", ""},
        {"create view v_last (n, lastd) as select count(*), max(invdate) from dateclash", ""},
        {"select lastd v from v_last", "2460500"}}) {
    q->GetSQL().SetText(sql);
    if (*want == 0) {
      q->ExecSQL();
      continue;
    }
    q->Open();
    EXPECT_EQ(q->FieldByName("v").GetAsString(), want) << sql;
  }
}

TEST(ValidateEvents, ComputedDatesReadAsDates) {
  v7test::SampleSite s(false);
  ComputedDatesReadAsDates(s.mgr.get(), "attach database '' as aux");
  // SQLite's own forms, a bare alias, a join and a nested case; a date compared or counted
  // is no date.
  auto q = s.mgr->NewQuery();
  q->GetSQL().SetText(
      "select iif(count(*) > 1, max(i.invdate), null) a, ifnull(min(i.invdate), '') b, "
      "nullif(max(invdate), 0) c, case when 1 = 1 then case when 2 = 2 then max(i.invdate) end "
      "end d, max(i.invdate) > min(i.invdate) e, sum(d.qty) f, (select count(invdate) from "
      "salesinv) g from salesinv i left join salesinvdet d on d.salesinvid = i.salesinvid "
      "where i.salesinvid > 9000");
  q->Open();
  std::string row;
  for (const char* f : {"a", "b", "c", "d", "e", "f", "g"})
    row += q->FieldByName(f).GetAsString() + "|";
  EXPECT_EQ(row, "15/06/2026|10/06/2026|15/06/2026|15/06/2026|1||2|");

  // A view of an attached database reads the tables of its own database; "*" brings the
  // columns of a table-valued function too.
  q->GetSQL().SetText("create view aux.v_aux as select max(invdate) m from salesinv");
  q->ExecSQL();
  for (auto [sql, want] :
       {std::pair{"select m v from v_aux", "2460500"},
        {"select * from json_each('[1]') j, (select max(invdate) v from salesinv) m",
         "15/06/2026"}}) {
    q->GetSQL().SetText(sql);
    q->Open();
    EXPECT_EQ(q->FieldByName("v").GetAsString(), want) << sql;
  }
}

TEST(ValidateEventsPg, ComputedDatesReadAsDatesOnPostgreSQL) {
  v7test::PgSite pg(v7test::PgSite::Content::Product);
  if (!pg.Skip().empty()) GTEST_SKIP() << pg.Skip();
  ASSERT_EQ(pg.Failure(), "");
  auto mgr = pg.Site().NewManager();
  ASSERT_TRUE(mgr->Connect(v7test::PgSite::kProject)) << mgr->ErrorText;
  ComputedDatesReadAsDates(mgr.get(), "create schema aux");
}

}  // namespace
