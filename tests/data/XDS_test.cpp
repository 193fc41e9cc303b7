// The query object on a real SQLite file: handles, parameter rules of each driver, tracing,
// the cached mode, and dates that survive a round trip through the database.
#include <gtest/gtest.h>

#include <memory>

#include "SqliteQueryTest.h"
#include "uDbDates.h"

using namespace v7;

namespace {

using v7test::Date;

class XDSTest : public v7test::SqliteQueryTest {
 protected:
  void SetUp() override {
    SqliteQueryTest::SetUp();
    db->Execute(
        "create table stock (item varchar(10), qty integer, price numeric, note text, "
        "lastupdated date)");
    db->Execute("insert into stock values ('A1', 5, 2.5, null, null)");
    db->Execute("insert into stock values ('B2', 7, 10, 'T', null)");
  }
  std::unique_ptr<TXDS> Query(const std::string& driver, const std::string& sql = "") {
    auto q = NewQuery(driver, "");
    if (!sql.empty()) q->GetSQL().SetText(sql);
    return q;
  }
};

}  // namespace

TEST_F(XDSTest, OneFieldHandleRefilledByEveryLookup) {
  auto q = Query("ado", "select * from stock order by item");
  q->Open();
  TXField& first = q->FieldByName("ITEM");
  TXField& second = q->FieldByName("note");
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(first.Value, "");    // null reads as the empty text
  EXPECT_EQ(first.DataSize, 1);  // a text of no declared width: its value and the terminator
  EXPECT_EQ(second.GetAsInteger(), 0);
  EXPECT_EQ(second.GetAsFloat(), 0);
  EXPECT_EQ(second.GetAsDateTime(), Date(1900, 1, 1));
  EXPECT_EQ(q->FieldByName("qty").DataType, ftInteger);
  EXPECT_EQ(q->FieldByName("price").GetAsFloat(), 2.5);
  EXPECT_EQ(q->FindField("nosuch"), nullptr);
  try {
    q->FieldByName("nosuch");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'nosuch' not found");
  }
  EXPECT_THROW(q->FieldByName("item").SetAsString("x"), EDatabaseError);
  q->Next();
  EXPECT_EQ(q->FieldByName("price").Value, "10");
  // A stored amount of 16 digits reads back with its last one; a residue of binary
  // arithmetic keeps the general text.
  auto amounts = Query("ado",
                       "select 12345678901234.56 as a, 0.1 + 0.2 as r, price from stock "
                       "where item = 'B2'");
  amounts->Open();
  EXPECT_EQ(amounts->FieldByName("a").Value, "12345678901234.56");
  EXPECT_EQ(amounts->FieldByName("r").Value, "0.3");
  EXPECT_TRUE(q->FieldByName("note").GetAsBoolean());
  q->Next();
  EXPECT_TRUE(q->Eof());
  EXPECT_EQ(q->FieldByName("item").Value, "B2");  // the last row stays readable at the end

  TXField probe;
  for (const char* t : {"T", "t", "True", "1"}) {
    probe.Value = t;
    EXPECT_EQ(probe.GetAsBoolean(), probe.Value.size() == 1 && probe.Value != "1") << t;
  }
  probe.Value = "1e300";
  EXPECT_THROW(probe.GetAsDateTime(), EConvertError);
  probe.Value = "5x";
  EXPECT_THROW(probe.GetAsInteger(), EConvertError);
  EXPECT_THROW(probe.GetAsFloat(), EConvertError);
}

TEST_F(XDSTest, ParameterRulesOfEachDriver) {
  auto dbx = Query("dbx", "select * from stock where qty > :minqty and item <> :item");
  EXPECT_EQ(dbx->GetParamNames(), (std::vector<std::string>{"minqty", "item"}));
  dbx->SetParamValue(0, "", "n");
  EXPECT_EQ(dbx->ParamByName("MINQTY").Value, "0");
  dbx->SetParamValue(1, "A1", "c");
  dbx->Open();
  EXPECT_EQ(dbx->FieldByName("item").Value, "B2");
  // An equal bound value leaves the query open; a new one closes it.
  dbx->SetParamValue(0, "0", "n");
  EXPECT_TRUE(dbx->GetActive());
  dbx->SetParamValue(0, "6", "n");
  EXPECT_FALSE(dbx->GetActive());
  EXPECT_THROW(dbx->ParamByName("nosuch"), EDatabaseError);

  auto dated = Query("dbx", "select * from stock where lastupdated = :d");
  dated->SetParamValue(0, "not a date", "d");
  EXPECT_EQ(dated->ParamByName("d").Value, "01-Jan-1900");
  EXPECT_EQ(dated->ParamByName("d").DataType, ftDateTime);

  auto ado = Query("ado", "select * from stock where item = :item");
  ado->SetParamValue(0, "A1", "c");
  ado->Open();
  ado->SetParamValue(0, "A1", "whatever");
  EXPECT_TRUE(ado->GetActive());
  ado->SetParamValue(0, "B2", "c");
  EXPECT_FALSE(ado->GetActive());
  ado->Open();
  EXPECT_EQ(ado->FieldByName("qty").Value, "7");
  ado->ParamByName("item").SetAsString("A1");
  ado->Open();
  EXPECT_EQ(ado->FieldByName("qty").Value, "5");

  // bde: a new text closes the query, and so does every number, equal or not.
  auto bde = Query("bde", "select count(*) as n from stock where qty >= :q and item <> :item");
  bde->SetParamValue(0, "7", "N");
  bde->SetParamValue(1, "B2", "C");
  bde->Open();
  EXPECT_EQ(bde->FieldByName("n").Value, "0");
  bde->SetParamValue(1, "A1", "c");
  EXPECT_FALSE(bde->GetActive());
  bde->Open();
  EXPECT_EQ(bde->FieldByName("n").Value, "1");
  bde->SetParamValue(0, "7", "n");
  EXPECT_FALSE(bde->GetActive());
}

TEST_F(XDSTest, ExecSQLTracesTheStatementEvenWhenItFails) {
  auto q = Query("ado", "update stock set qty = qty + 1");
  q->ExecSQL();
  EXPECT_EQ(trace, (std::vector<std::string>{"#savelevel#", "# 1#update stock set qty = qty + 1",
                                             "#resetlevel#"}));
  q->GetSQL().SetText("update nosuch set x = 1");
  try {
    q->ExecSQL();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("no such table: nosuch"), std::string::npos);
  }
  EXPECT_EQ(trace[4], "# 1#update nosuch set x = 1");

  // Line ends inside a literal reach the database unchanged.
  q->GetSQL().SetText("update stock set note = 'a\r\nb\n\nc'\nwhere item = 'A1'\n");
  q->ExecSQL();
  q->GetSQL().SetText("select note from stock where item = 'A1'");
  q->Open();
  EXPECT_EQ(q->FieldByName("note").Value, "a\r\nb\n\nc");
}

TEST_F(XDSTest, CachedRowsOutliveTheQueryAndTheirTable) {
  auto q = Query("ado");
  q->Name = "Expr_stock";
  q->SetCached(true);
  ASSERT_NE(q->ClientDataSet, nullptr);
  EXPECT_EQ(q->ClientDataSet->Name, "CDS__Expr_stock");
  q->Close();
  q->UnbindParams();
  q->GetSQL().SetText("select item, qty from stock where qty >= :q order by item");
  q->SetParamValue(0, "5", "n");
  q->Open();
  db->Execute("delete from stock");
  EXPECT_EQ(q->ClientDataSet->RecordCount(), 2);
  EXPECT_TRUE(q->LocateFloat("qty", 7.0));
  EXPECT_EQ(q->FieldByName("item").Value, "B2");
  EXPECT_TRUE(q->Locate("item", "a1", true));
  EXPECT_FALSE(q->Locate("item", "a1"));
  // A bound equal value changes nothing; once unbound, it is set again and closes the rows.
  q->First();
  q->SetParamValue(0, "5", "n");
  EXPECT_TRUE(q->GetActive());
  q->UnbindParams();
  q->SetParamValue(0, "5", "n");
  EXPECT_FALSE(q->GetActive());
  q->Open();
  EXPECT_TRUE(q->IsEmpty());

  // The row buffer's statements use the driver query: closing it leaves the cached rows.
  db->Execute("insert into stock (item, qty) values ('C3', 9)");
  q->Open();
  EXPECT_TRUE(q->RecordExists("stock", "item = 'C3'"));
  EXPECT_EQ(q->FieldByName("item").Value, "C3");
  db->Close();
  EXPECT_EQ(q->FieldByName("qty").GetAsInteger(), 9);
}

TEST_F(XDSTest, DatesRoundTripThroughTemplateParameterAndNow) {
  auto q = Query("dbx");
  q->SetValue("item", "T", "c");
  q->SetValue("lastupdated", "31/12/2005 10:20:30", "d");
  q->PostInsert("stock");
  auto ins = Query("ado", "insert into stock (item, lastupdated) values ('P', :d)");
  ins->SetParamValue(0, "01/02/2006 08:00:00", "d");
  ins->ExecSQL();
  auto byParam = Query("dbx", "insert into stock (item, lastupdated) values ('Q', :d)");
  byParam->SetParamValue(0, "15/03/2004", "d");
  byParam->ExecSQL();

  auto r = Query("ado",
                 "select item, lastupdated from stock where item in ('T','P','Q') "
                 "order by lastupdated");
  r->Open();
  EXPECT_EQ(r->FieldByName("item").Value, "Q");
  EXPECT_EQ(r->FieldByName("lastupdated").GetAsDateTime(), Date(2004, 3, 15));
  r->Next();
  EXPECT_EQ(r->FieldByName("lastupdated").Value, "31/12/2005 10:20:30");
  EXPECT_EQ(r->FieldByName("lastupdated").GetAsDateTime(), Date(2005, 12, 31, 10, 20, 30));
  r->Next();
  EXPECT_EQ(r->FieldByName("lastupdated").GetAsDateTime(), Date(2006, 2, 1, 8));

  // A condition built from the value read back finds its row again.
  std::string read = r->FieldByName("lastupdated").Value;
  EXPECT_TRUE(r->RecordExists(
      "stock", "lastupdated = " + ReplaceAll(DbDateTemplate, ":value", read) + " and item='P'"));

  auto now = Query("ado", "Select now() as sdt from dual");
  now->Open();
  double server = now->FieldByName("sdt").GetAsDateTime();

  // Written back through the template, the server date is more than a day after 2005.
  q->SetValue("item", "N", "c");
  q->SetValue("lastupdated", DateTimeToText(server - 0.5), "d");
  q->PostInsert("stock");
  auto old = Query("dbx", "select item from stock where now() - lastupdated > 1 order by item");
  old->Open();
  std::string items;
  for (; !old->Eof(); old->Next()) items += old->FieldByName("item").Value;
  EXPECT_EQ(items, "PQT");
}
