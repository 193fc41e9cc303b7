// The SQLite engine: Access SQL functions, dual, typed values, blobs, dates, statement
// cache, transactions and sharing one file between connections.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>

#include "TestSupport.h"
#include "uDbDates.h"
#include "uSqliteBackend.h"

using namespace v7;

namespace {

class SqliteBackendTest : public ::testing::Test {
 protected:
  void SetUp() override { db.Open(dir.file("site.db")); }
  v7test::TempDir dir;
  TSqliteBackend db;
};

using v7test::Date;

}  // namespace

TEST_F(SqliteBackendTest, OpenMakesSharedFileWithOneRowDual) {
  EXPECT_EQ(db.Query("PRAGMA journal_mode").Rows[0][0].Text, "wal");
  TSqliteBackend second;
  second.Open(dir.file("site.db"));
  db.Close();
  db.Open(dir.file("site.db"));
  TDbRowSet r = second.Query("select count(*), lcase('AbC') from dual");
  EXPECT_EQ(r.Rows[0][0].Int, 1);
  EXPECT_EQ(r.Rows[0][1].Text, "abc");
  EXPECT_EQ(db.Query("select iif(1 = 1, 'yes', 'no') from dual").Rows[0][0].Text, "yes");
}

TEST_F(SqliteBackendTest, NamedParametersBindTypedValuesAndBlobsAsBytes) {
  db.Execute("create table t (id integer, name varchar(20), amt numeric, img blob, d date)");
  std::string bytes("\x00\xff\x01'\"\x00z", 7);
  db.Execute("insert into t values (:id, :Name, :amt, :img, :d)",
             {{"id", TDbValue::FromInt(42)},
              {"name", TDbValue::FromText("O'Brien")},
              {"amt", TDbValue::FromFloat(12.5)},
              {"img", TDbValue::FromBlob(bytes)},
              {"d", TDbValue::FromDateTime(Date(2005, 12, 31, 10, 20, 30))}});
  TDbRowSet r = db.Query("select * from t where id = :id", {{"id", TDbValue::FromInt(42)}});
  ASSERT_EQ(r.Rows.size(), 1u);
  const TDbKind kinds[] = {TDbKind::Integer, TDbKind::Text, TDbKind::Float, TDbKind::Blob,
                           TDbKind::DateTime};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(r.Columns[i].Kind, kinds[i]) << i;
  EXPECT_EQ(r.Columns[1].Size, 20);
  EXPECT_EQ(r.Rows[0][1].Text, "O'Brien");
  EXPECT_EQ(r.Rows[0][2].Float, 12.5);
  EXPECT_EQ(r.Rows[0][3].Text, bytes);
  EXPECT_EQ(r.Rows[0][4].Float, Date(2005, 12, 31, 10, 20, 30));
  EXPECT_THROW(db.Query("select * from t where id = :other"), EDatabaseError);
  EXPECT_THROW(db.Execute("insert into t (name) values (:n)",
                          {{"n", TDbValue::FromText(std::string("a\0b", 3))}}),
               EDatabaseError);
}

TEST_F(SqliteBackendTest, DatesAreJulianDaysThatCompareOrderAndSubtract) {
  db.Execute("create table t (k integer, d date)");
  db.Execute("insert into t values (1, format('05/01/2006', 'dd/mm/yyyy hh:nn:ss'))");
  db.Execute("insert into t values (2, format('31/12/2005 23:59:59', 'dd/mm/yyyy hh:nn:ss'))");
  db.Execute("insert into t values (3, format('01/02/2005', 'dd/mm/yyyy hh:nn:ss'))");
  TDbRowSet r = db.Query("select k, typeof(d), date(d) from t order by d");
  EXPECT_EQ(r.Rows[0][0].Int * 100 + r.Rows[1][0].Int * 10 + r.Rows[2][0].Int, 321);
  EXPECT_EQ(r.Rows[0][1].Text, "real");
  EXPECT_EQ(r.Rows[1][2].Text, "2005-12-31");
  EXPECT_EQ(
      db.Query("select k from t where d - format('31/12/2005', 'dd/mm/yyyy') > 1").Rows.size(), 1u);
  // datevalue() is how the Access dialect writes a date key: the date part only.
  TDbRowSet byKey = db.Query("select k from t where d = datevalue('05/01/2006 10:30:00')");
  ASSERT_EQ(byKey.Rows.size(), 1u);
  EXPECT_EQ(byKey.Rows[0][0].Int, 1);
  // now() is a date too: every row is older than a day.
  EXPECT_EQ(db.Query("select count(*) from t where now() - d > 1").Rows[0][0].Int, 3);
  try {
    db.Execute("insert into t values (4, format('31/02/2005', 'dd/mm/yyyy hh:nn:ss'))");
    FAIL() << "an impossible date was stored";
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("'31/02/2005' is not a valid date"), std::string::npos);
  }
}

TEST_F(SqliteBackendTest, ErrorsCarryEngineMessageAndStatement) {
  try {
    db.Query("select * from nosuch");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("no such table: nosuch"), std::string::npos);
    EXPECT_EQ(e.Sql(), "select * from nosuch");
    EXPECT_EQ(db.LastError(), e.what());
  }
  EXPECT_THROW(db.Execute(std::string("select 1\0; drop table dual", 25)), EDatabaseError);
  EXPECT_THROW(db.Query("select 1; select 2"), EDatabaseError);
  EXPECT_EQ(
      db.Execute("create table a (x integer); insert into a values (1); insert into a values (2);"),
      2);
  EXPECT_EQ(db.Query("select count(*) from a").Rows[0][0].Int, 2);
  EXPECT_TRUE(db.LastError().empty());
}

TEST_F(SqliteBackendTest, EachStatementTextIsPreparedOnceYetSeesColumnsAddedElsewhere) {
  db.Execute("create table a (x integer)");
  int before = db.PreparedCount();
  for (int i = 0; i < 50; ++i) {
    db.Execute("insert into a values (:x)", {{"x", TDbValue::FromInt(i)}});
    // A text without parameters is kept too, and a burst of texts seen once (values written
    // as literals) does not push it out.
    EXPECT_EQ(db.Query("select count(*) from a").Rows[0][0].Int, i + 1);
    for (int k = 0; k < 10; ++k) db.Query("select " + std::to_string(i * 10 + k) + " from dual");
  }
  EXPECT_EQ(db.PreparedCount(), before + 2 + 500);
  EXPECT_EQ(db.Query("select sum(x) from a").Rows[0][0].Int, 49 * 50 / 2);
  db.MakeDurable();

  // Generated statements that differ only in their values share one prepared statement;
  // what they do and the names of the result columns stay as the text says.
  before = db.PreparedCount();
  db.Execute("insert into a values (1000)");
  db.Execute("insert into a values ('2000')");
  db.Execute("update a set x = x + 1 where x = 1000");
  db.Execute("update a set x = x + 1 where x = '2000'");
  auto shaped = db.Query("select 'it''s', x*2 from a where x > 1000 and x < '5000'");
  EXPECT_EQ(db.PreparedCount(), before + 3);
  ASSERT_EQ(shaped.Rows.size(), 2u);
  EXPECT_EQ(shaped.Columns[0].Name, "'it''s'");
  EXPECT_EQ(shaped.Rows[0][0].Text, "it's");
  EXPECT_EQ(shaped.Rows[0][1].Int + shaped.Rows[1][1].Int, 2002 + 4002);
  EXPECT_EQ(db.Query("select x from a where x > 1000 order by 1 desc").Rows[0][0].Int, 2001);
  // Where the grammar wants the literal itself (a type's size), the text runs as written.
  EXPECT_EQ(db.Execute("update a set x = cast(x + 1 as decimal(10, 0)) where x = 2001"), 1);
  EXPECT_EQ(db.Query("select count(*) from a where x = cast(2002 as varchar(4))").Rows[0][0].Int,
            1);

  // A kept "select *" sees a column another connection added.
  db.Execute("create table t (a integer)");
  db.Execute("insert into t values (1)");
  const TDbParams one = {{"a", TDbValue::FromInt(1)}};
  EXPECT_EQ(db.Query("select * from t where a = :a", one).Columns.size(), 1u);
  TSqliteBackend other;
  other.Open(dir.file("site.db"));
  other.Execute("alter table t add column b text");
  auto rows = db.Query("select * from t where a = :a", one);
  ASSERT_EQ(rows.Columns.size(), 2u);
  EXPECT_EQ(rows.Columns[1].Name, "b");
  ASSERT_EQ(rows.Rows.size(), 1u);
  EXPECT_EQ(rows.Rows[0].size(), 2u);
}

TEST_F(SqliteBackendTest, TransactionsAndASecondConnectionOnTheSameFile) {
  db.Execute("create table a (x integer)");
  TSqliteBackend other;
  other.BusyTimeoutMs = 100;
  other.Open(dir.file("site.db"));

  db.StartTransaction();
  EXPECT_TRUE(db.InTransaction());
  EXPECT_THROW(db.StartTransaction(), EDatabaseError);
  db.Execute("insert into a values (1)");
  // The other connection reads the last committed state and cannot write meanwhile.
  EXPECT_EQ(other.Query("select count(*) from a").Rows[0][0].Int, 0);
  EXPECT_THROW(other.StartTransaction(), EDatabaseError);
  EXPECT_NE(other.LastError().find("locked"), std::string::npos);
  db.Rollback();
  EXPECT_FALSE(db.InTransaction());
  db.Rollback();  // none open: nothing happens

  db.StartTransaction();
  db.Execute("insert into a values (2)");
  db.Commit();
  EXPECT_EQ(other.Query("select sum(x) from a").Rows[0][0].Int, 2);
  other.StartTransaction();
  other.Execute("insert into a values (3)");
  other.Commit();
  EXPECT_EQ(db.Query("select sum(x) from a").Rows[0][0].Int, 5);
}

// Inside a transaction begun by StartTransaction no statement may end it or start another,
// however it is written: it is refused by its words before it runs, and the transaction can
// then only be rolled back. One that the engine ended from inside (a conflict clause, a
// trigger) fails at once: nothing after it runs, and the commit fails.
TEST_F(SqliteBackendTest, StatementsThatSteerAHeldTransactionAreRefusedAndSpoilIt) {
  db.Execute("create table a (x unique)");
  db.Execute(
      "create table b (y); create trigger b_neg before insert on b when new.y < 0 "
      "begin select raise(rollback, 'negative'); end");
  struct Case {
    const char* sql;
    const char* refused;  // empty: the statement runs; "!": it ends the transaction; "~":
                          // it fails after others ran
  };
  const Case cases[] = {
      {"commit", "commit"},
      {"  COMMIT  TRANSACTION", "commit transaction"},
      {"/* done */ End", "end"},
      {"-- undo\nRollBack to s", "rollback to s"},
      {"insert into a values (5); commit", "commit"},
      {"select 1 as a$$b$; commit", "commit"},
      {"; begin immediate", "begin immediate"},
      {"savepoint s", "savepoint s"},
      {"release s", "release s"},
      {"insert or rollback into a values (1)", "!"},
      {"insert into a values (4); update or rollback a set x = 1 where x = 4", "!"},
      {"insert into b values (-1)", "!"},
      {"insert into a values (7); insert into a values (7)", "~"},
      {"insert into a values ('x; commit /*')", ""},
      {"create trigger if not exists t after insert on a begin delete from a where x = 0; end", ""},
      {"select 1; -- a note\r commit", ""},  // SQLite's comment ends at a line feed only
      {"select 1 as \"end\", 'a$$b$; commit' as é$", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    db.StartTransaction();
    db.Execute("insert into a values (1)");
    if (std::string(c.refused) == "!") {
      EXPECT_THROW(db.Execute(c.sql), EDatabaseError);
      EXPECT_FALSE(db.InTransaction());
      EXPECT_THAT([&] { db.Execute("insert into a values (2)"); },
                  testing::ThrowsMessage<EDatabaseError>(testing::StrEq(kTransactionEndedBefore)));
      EXPECT_THAT([&] { db.Commit(); },
                  testing::ThrowsMessage<EDatabaseError>(testing::StrEq(kTransactionEndedEarly)));
      EXPECT_EQ(db.Query("select count(*) from a").Rows[0][0].Int, 0);
    } else if (std::string(c.refused) == "~") {
      EXPECT_THROW(db.Execute(c.sql), EDatabaseError);
      EXPECT_TRUE(db.InTransaction());
      EXPECT_THAT([&] { db.Commit(); },
                  testing::ThrowsMessage<EDatabaseError>(testing::StartsWith(kTextRanInPart)));
      EXPECT_EQ(db.Query("select count(*) from a").Rows[0][0].Int, 0);
    } else if (*c.refused) {
      EXPECT_THAT([&] { db.Execute(c.sql); },
                  testing::ThrowsMessage<EDatabaseError>(
                      testing::HasSubstr("\"" + std::string(c.refused) + "\"")));
      EXPECT_TRUE(db.InTransaction());
      EXPECT_THROW(db.Commit(), EDatabaseError);
      EXPECT_EQ(db.Query("select count(*) from a").Rows[0][0].Int, 0);
    } else {
      db.Execute(c.sql);
      db.Commit();
      EXPECT_EQ(db.Query("select count(*) from a where x = 1").Rows[0][0].Int, 1);
      db.Execute("delete from a");
      db.Execute(c.sql);  // and outside such a transaction
    }
    db.Execute("delete from a");
  }
  // Outside such a transaction they run, and a conflict fails alone.
  db.Execute("begin; insert into a values (3); commit");
  EXPECT_THROW(db.Execute("insert or rollback into a values (3)"), EDatabaseError);
  db.Execute("insert into a values (2)");
  EXPECT_EQ(db.Query("select count(*) from a").Rows[0][0].Int, 2);
}

TEST_F(SqliteBackendTest, SeveralProcessesWriteOneFile) {
  db.Execute("create table a (writer integer, n integer)");
  db.Close();
  const int kWriters = 3, kRows = 100;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int status = 0;
      try {
        TSqliteBackend mine;
        mine.Open(dir.file("site.db"));
        for (int i = 0; i < kRows; ++i) {
          mine.StartTransaction();
          mine.Execute("insert into a values (:w, :n)",
                       {{"w", TDbValue::FromInt(w)}, {"n", TDbValue::FromInt(i)}});
          mine.Commit();
        }
      } catch (...) {
        status = 1;
      }
      _exit(status);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  db.Open(dir.file("site.db"));
  EXPECT_EQ(db.Query("select count(*) from a").Rows[0][0].Int, kWriters * kRows);
}

TEST_F(SqliteBackendTest, EveryStoredSecondSurvivesJulianAndTextRoundTrips) {
  // The same date reaches the file through a template, a parameter or a value read back:
  // all three must give the identical stored number.
  std::uint64_t seed = 12345;
  for (int i = 0; i < 20000; ++i) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    double dt = static_cast<double>(seed >> 11) / static_cast<double>(1ULL << 53) * 80000.0;
    double second = RoundDateTimeToSecond(dt);
    double julian = JulianFromDateTime(dt);
    ASSERT_EQ(DateTimeFromJulian(julian), second);
    double parsed = 0;
    ASSERT_TRUE(ParseDateTimeText(DateTimeToText(second), TDateOrder::DMY, parsed));
    ASSERT_EQ(JulianFromDateTime(parsed), julian) << DateTimeToText(second);
  }
  EXPECT_EQ(DateTimeFromJulian(1e300), DateTimeFromJulian(1e301));  // held, not overflowed
}
