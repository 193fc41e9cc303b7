// The row buffer: generated statements of each access layer run against real SQLite files.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "SiteDb.h"
#include "SqliteQueryTest.h"

using namespace v7;

namespace {

class RowBufferTest : public v7test::SqliteQueryTest {
 protected:
  void SetUp() override {
    SqliteQueryTest::SetUp();
    db->Execute(
        "create table item (code varchar(20) primary key, name varchar(40), qty numeric, "
        "docdate date)");
    db->Execute("create table \"order\" (id integer primary key, note varchar(10))");
  }
  std::unique_ptr<TXDS> Query(const std::string& driver, const std::string& dbType = "access") {
    return NewQuery(driver, dbType);
  }
  std::string One(const std::string& sql) { return v7test::ScalarText(*db, sql); }
};

}  // namespace

TEST_F(RowBufferTest, RepeatedColumnNamesMergeIntoOneLowerCaseColumn) {
  auto q = Query("dbx");
  q->SetValue("Code", "A1", "c");
  q->SetValue("Qty", "5", "n");
  q->SetValue("QTY", "7", "N");
  ASSERT_EQ(q->Names.size(), 2u);
  q->BuildValueLists();
  EXPECT_EQ(q->ColumnList, "code,qty,");
  EXPECT_EQ(q->ValueList, "'A1','7',");
  q->PostInsert("item");
  EXPECT_TRUE(q->Names.empty());
  EXPECT_EQ(One("select qty from item where code = 'A1'"), "7");
}

TEST_F(RowBufferTest, EmptyTextIsNullOnInsertButEmptyOnUpdate) {
  for (std::string driver : {"ado", "dbx", "bde"}) {
    auto q = Query(driver);
    q->SetValue("code", driver, "c");
    q->SetValue("name", "", "c");
    q->SetValue("docdate", "", "d");
    q->PostInsert("item");
    EXPECT_EQ(One("select typeof(name) from item where code = '" + driver + "'"), "null");
    q->SetValue("name", "", "c");
    q->SetValue("docdate", "", "d");
    q->BuildValueLists();
    EXPECT_EQ(q->SetList, "name='',docdate=null,");
    q->PostUpdate("item", "code = '" + driver + "'");
    EXPECT_EQ(One("select typeof(name) || typeof(docdate) from item where code = '" + driver + "'"),
              "textnull");
  }
  // PostgreSQL reads no number from '': there an update writes an empty number as null.
  auto pg = Query("dbx", "postgre");
  pg->SetValue("qty", "", "n");
  pg->SetValue("name", "", "c");
  pg->BuildValueLists();
  EXPECT_EQ(pg->ValueList, "null,null,");
  EXPECT_EQ(pg->SetList, "qty=null,name='',");
}

TEST_F(RowBufferTest, DateValuesGoThroughTheTemplateAndReadBackAsDates) {
  auto q = Query("dbx");
  q->SetValue("code", "D", "c");
  q->SetValue("docdate", "31/12/2005", "D");
  q->BuildValueLists();
  EXPECT_EQ(q->ValueList, "'D',format('31/12/2005', 'dd/mm/yyyy hh:nn:ss'),");
  EXPECT_EQ(q->SetList, "code='D',docdate=format('31/12/2005', 'dd/mm/yyyy hh:nn:ss'),");
  q->PostInsert("item");
  // The letter alone makes a date: a longer type name must not leave the value unquoted.
  q->SetValue("code", "E", "c");
  q->SetValue("docdate", "01/02/2006", "Date");
  q->PostInsert("item");
  q->GetSQL().SetText("select docdate from item where code in ('D', 'E') order by code");
  q->Open();
  EXPECT_EQ(q->FieldByName("docdate").Value, "31/12/2005");
  q->Next();
  EXPECT_EQ(q->FieldByName("docdate").Value, "01/02/2006");
}

TEST_F(RowBufferTest, StatementsOfEachDriver) {
  auto dbx = Query("dbx");
  dbx->SetValue("code", "X", "c");
  dbx->PostInsert("item");
  EXPECT_EQ(trace, (std::vector<std::string>{
                       "#savelevel#", "# 1#insert into item (code) values ('X')", "#resetlevel#"}));
  // dbExpress leaves the statement in its lines.
  EXPECT_EQ(dbx->GetSQL().Text(), "insert into item (code) values ('X')");
  dbx->SetValue("code", "Y", "c");
  dbx->PostInsert("item");
  dbx->SetValue("name", "all", "c");
  dbx->PostUpdate("item", "");
  EXPECT_EQ(trace.back(), "#resetlevel#");
  EXPECT_EQ(trace[trace.size() - 2], "# 1#update item set name='all'");
  EXPECT_EQ(One("select count(*) from item where name = 'all'"), "2");

  // ADO quotes the table name and runs its statements untraced.
  trace.clear();
  auto ado = Query("ado");
  ado->SetValue("id", "1", "n");
  ado->SetValue("note", "first", "c");
  ado->PostInsert("order");
  ado->SetValue("note", "second", "c");
  ado->PostUpdate("order", "id = 1");
  EXPECT_TRUE(trace.empty());
  EXPECT_EQ(One("select note from \"order\" where id = 1"), "second");
  dbx->SetValue("note", "x", "c");
  EXPECT_THROW(dbx->PostInsert("order"), EDatabaseError);
  EXPECT_EQ(dbx->Names.size(), 1u);  // kept after a failed post
  EXPECT_EQ(ado->QuotedValue("O'Brien"), "'O''Brien'");
  EXPECT_EQ(dbx->QuotedValue("O'Brien"), "O'Brien");
}

TEST_F(RowBufferTest, AdoRetriesHonourOnBeforePostAndGiveUpAfter99Attempts) {
  db->Execute("insert into \"order\" (id, note) values (1, 'taken')");
  auto q = Query("ado");
  int calls = 0;
  q->OnBeforePost = [&](TXDS& self) {
    ++calls;
    // The second attempt renumbers the value that was already taken.
    if (calls == 2) self.SetValue("id", "2", "n");
  };
  q->SetValue("id", "1", "n");
  q->SetValue("note", "new", "c");
  q->PostInsert("order");
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(One("select note from \"order\" where id = 2"), "new");
  EXPECT_TRUE(q->Names.empty());

  calls = 0;
  q->OnBeforePost = [&](TXDS&) { ++calls; };
  q->SetValue("id", "1", "n");
  EXPECT_THROW(q->PostInsert("order"), EDatabaseError);
  EXPECT_EQ(calls, 99);
  EXPECT_EQ(q->Names.size(), 1u);

  // A handler that empties the buffer after a failed attempt ends the post: no statement,
  // and the pending edit stays as it was.
  q->EditRecord("order", "nosuch = 1");
  q->SetValue("note", "x", "c");
  calls = 0;
  q->OnBeforePost = [&](TXDS& self) {
    if (++calls == 2) {
      self.Names.clear();
      self.Values.clear();
      self.TypeCodes.clear();
    }
  };
  q->PostUpdate("order", "nosuch = 1");
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(q->PendingUpdate);
  EXPECT_EQ(q->PendingTable, "order");

  // A database that another connection keeps locked: every attempt waits out the lock wait,
  // so a statement stops after three of them and says the database is locked.
  auto holder = std::make_shared<TSqliteBackend>();
  holder->Open(dir.file("site.db"));
  holder->StartTransaction();
  auto waiting = std::make_shared<TSqliteBackend>();
  waiting->BusyTimeoutMs = 20;
  waiting->Open(dir.file("site.db"));
  TXDS locked("ado", waiting, {}, "access");
  calls = 0;
  locked.OnBeforePost = [&](TXDS&) { ++calls; };
  locked.SetValue("id", "9", "n");
  EXPECT_THROW(locked.PostInsert("order"), EDatabaseLocked);
  EXPECT_EQ(calls, 3);
  std::vector<std::string> deletes;
  TXDS lockedDelete(
      "dbx", waiting, [&](const std::string& line) { deletes.push_back(line); }, "access");
  EXPECT_THROW(lockedDelete.DeleteRecords("order", "id = 1"), EDatabaseLocked);
  EXPECT_EQ(std::count(deletes.begin(), deletes.end(), "# 1#delete from \"order\" where id = 1"),
            3);
  holder->Rollback();

  // Other drivers make one attempt and never call the handler.
  auto dbx = Query("dbx");
  calls = 0;
  dbx->OnBeforePost = [&](TXDS&) { ++calls; };
  dbx->SetValue("id", "1", "n");
  EXPECT_THROW(dbx->PostInsert("\"order\""), EDatabaseError);
  EXPECT_EQ(calls, 0);
}

TEST_F(RowBufferTest, AccessDeletesRunAsAttemptsOtherKindsOnce) {
  auto access = Query("dbx", "access");
  EXPECT_THROW(access->DeleteRecords("nosuch", "id = 1"), EDatabaseError);
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "# 1#delete from \"nosuch\" where id = 1"), 99);
  trace.clear();
  auto other = Query("dbx", "postgre");
  EXPECT_THROW(other->DeleteRecords("nosuch", ""), EDatabaseError);
  EXPECT_EQ(trace,
            (std::vector<std::string>{"#savelevel#", "# 1#delete from nosuch", "#resetlevel#"}));
  db->Execute("insert into \"order\" (id) values (5)");
  access->DeleteRecords("order", "id = 5");
  EXPECT_EQ(One("select count(*) from \"order\""), "0");
}

TEST_F(RowBufferTest, RecordExistsClearsTheStatementAndDrivesInsertOrUpdate) {
  auto q = Query("bde");
  q->GetSQL().SetText("select * from item");
  EXPECT_FALSE(q->RecordExists("item", "code = 'K'"));
  EXPECT_EQ(q->GetSQL().Count(), 0);
  q->SetValue("code", "K", "c");
  q->SetValue("qty", "1", "n");
  q->InsertOrUpdate("item", "code = 'K'");
  q->SetValue("qty", "2", "n");
  q->InsertOrUpdate("item", "code = 'K'");
  EXPECT_TRUE(q->RecordExists("item", "code = 'K'"));
  EXPECT_EQ(One("select count(*) || '/' || qty from item"), "1/2");
  q->GetSQL().SetText("select * from item");
  EXPECT_THROW(q->RecordExists("item", ""), EDatabaseError);
  EXPECT_EQ(q->GetSQL().Count(), 0);
}

TEST_F(RowBufferTest, EditAppendAndPostRecordAndAnImproperDriverRefusesAll) {
  auto q = Query("ado");
  q->PostInsert("item");  // nothing buffered: no statement
  q->AppendRecord("item");
  q->SetValue("code", "P", "c");
  q->PostRecord();
  q->EditRecord("item", "code = 'P'");
  EXPECT_TRUE(q->PendingInsert);  // left as it was
  q->SetValue("name", "edited", "c");
  q->PostRecord();
  EXPECT_FALSE(q->PendingUpdate);
  EXPECT_EQ(One("select count(*) || name from item"), "1edited");

  auto improper = Query("odbc");
  improper->SetValue("code", "A", "c");
  EXPECT_THROW(improper->PostInsert("item"), EDatabaseError);
  EXPECT_THROW(improper->Open(), EDatabaseError);
}

TEST_F(RowBufferTest, HostileValuesStayInsideTheirLiteral) {
  const std::string big(1 << 20, 'x');
  const std::vector<std::string> values = {"O'Brien",       "it`s", "'); drop table item; --",
                                           "''''",          "\\'",  "two\r\nlines\n",
                                           big + "'`" + big};
  for (std::string driver : {"ado", "dbx"}) {
    auto q = Query(driver);
    for (size_t i = 0; i < values.size(); ++i) {
      std::string code = driver + std::to_string(i);
      q->SetValue("code", code, "c");
      q->SetValue("name", values[i], "c");
      q->PostInsert("item");
      q->GetSQL().SetText("select name from item where code = '" + code + "'");
      q->Open();
      EXPECT_EQ(q->FieldByName("name").Value, values[i]) << driver << i;
      q->SetValue("name", values[i] + "`", "c");
      q->PostUpdate("item", "code = '" + code + "'");
      q->GetSQL().SetText("select name from item where code = '" + code + "'");
      q->Open();
      EXPECT_EQ(q->FieldByName("name").Value, values[i] + "`");
    }
    try {
      q->SetValue("name", std::string("a\0b", 3), "c");
      FAIL() << "a NUL was accepted";
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), "The value of column 'name' holds a NUL character");
    }
    // A quote in a date value cannot end the template's literal, whatever the type name.
    for (const char* type : {"d", "Date"}) {
      q->SetValue("code", "Z" + driver, "c");
      q->SetValue("docdate", "01/01/2005', 'x'); drop table item; --", type);
      EXPECT_THROW(q->PostInsert("item"), EDatabaseError);
      q->ClearValues();
    }
  }
  // A column name is a plain name, and a generated statement runs alone: what a table name
  // carries after the statement never runs.
  auto q = Query("dbx");
  EXPECT_THROW(q->SetValue("code) values ('x'); delete from item; --", "x", "c"), EDatabaseError);
  EXPECT_THROW(q->SetValue("", "x", "c"), EDatabaseError);
  EXPECT_TRUE(q->Names.empty());
  q->SetValue("code", "x", "c");
  EXPECT_THROW(q->PostInsert("item (code) values ('t'); delete from item; --"), EDatabaseError);
  EXPECT_THROW(q->DeleteRecords("item where 1 = 0; delete from item", ""), EDatabaseError);
  EXPECT_EQ(One("select count(*) from item"), std::to_string(2 * values.size()));
}
