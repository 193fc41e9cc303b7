// Connection numbers and record ids of the connection manager (see uDBManager.h).
//
// Each connect takes a row of CONNECTINFO: a released one, one not touched for more than a
// day (its holder died), or a new one. The row's counter continues from where its last
// holder left it, and it is saved after every record id, so an id is never issued twice as
// long as one client at a time holds a number. On the "access" kind the clients share one
// file, and taking a number is serialised by the lock table connecttemp, made and dropped
// inside the transaction of the take; on PostgreSQL by a transaction-level advisory lock.
//
// A client that holds a number checks, each time it saves the counter, that the row still
// holds the counter it last wrote: a client that took the number over moved the counter on,
// so the old holder stops before it issues an id the new one will issue too. A transaction
// that does not commit takes the row's counter back, and the manager takes the counter it
// holds back with it (uDBManager.cpp), so that a rolled-back document is no takeover.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "uDBManager.h"
#include "uDbDates.h"

namespace v7 {

namespace {

constexpr int kGateAttempts = 100;
constexpr int kSaveAttempts = 99;
constexpr long long kMaxConnectNo = 9999;  // the ids give a number four digits
constexpr long double kCounterLimit = 999999999;
// Attempts of a counter save that waited out the lock wait of the engine (at most this
// many times kLockWaitMs for one save).
constexpr int kLockedSaveAttempts = 3;
// The advisory lock that serialises the takes of numbers on PostgreSQL: the row locks of
// "for update" lock only rows that exist, in no order, and two takers that find no free
// row would both add the same new number.
constexpr long long kTakeLockKey = 7307002;

// Whole numbers only; never in exponent form.
std::string WholeNumberText(long double value) {
  char buf[64];
  // Record ids and counters are whole numbers well inside a 64-bit integer: their digits
  // without the C library's float printing, which every save asks for many times.
  if (value != 0 && value == std::trunc(value) && std::fabs(value) < 9e18L)
    return std::string(buf,
                       std::to_chars(buf, buf + sizeof buf, static_cast<long long>(value)).ptr);
  std::snprintf(buf, sizeof buf, "%.0Lf", value);
  return buf;
}

// The number's row no longer holds this client's counter.
struct TakenOver : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A date and time as the text that the dialect's date template reads: always with its
// time, on the 12-hour clock for the Oracle template that asks for one.
std::string TemplateDateTime(double dateTime) {
  if (DbDateTemplate.find(" AM'") != std::string::npos)
    return FormatDateTimeMask("dd/mm/yyyy hh:nn:ss am/pm", dateTime);
  return FormatDateTimeMask("dd/mm/yyyy hh:nn:ss", dateTime);
}

}  // namespace

std::string TDBManager::RecordIdToStr(long double id) { return WholeNumberText(id); }

bool TDBManager::AcquireConnectNo() {
  TProjectRecord& record = *Current;
  const std::string kind = record.DbType;
  InsertQuery = NewQuery();
  UtilityQuery = NewQuery();
  CnoQuery = NewQuery();
  FreeQuery = NewQuery();
  std::unique_ptr<TXDS> plainQuery = NewQuery();
  CnoQuery->GetSQL().SetText("SELECT * FROM CONNECTINFO WHERE CONNECTNO = :cno");

  std::string lockingSql, plainSql, freeCondition;
  if (kind == "access") {
    freeCondition = "(active = 'F') OR (now()-LASTUPDATED > 1)";
    lockingSql = "select * from connectinfo where " + freeCondition;
    plainSql = lockingSql;
  } else if (kind == "postgre") {
    freeCondition = "(active = 'F') OR (now()-LASTUPDATED > 1)";
    plainSql = "select * from connectinfo where " + freeCondition;
    lockingSql = plainSql + " for update";
  } else if (kind == "mysql") {
    freeCondition = "(ACTIVE = 'F') OR (sysdate()-LASTUPDATED > 1)";
    plainSql = "select * from CONNECTINFO where " + freeCondition;
    lockingSql = plainSql + " FOR UPDATE";
  } else {
    freeCondition = "(ACTIVE = 'F') OR (sysdate-LASTUPDATED > 1)";
    plainSql = "select * from CONNECTINFO where " + freeCondition;
    lockingSql = plainSql + " for update ";
  }

  bool inTransaction = false;
  // Ends the take without a number; the transaction undoes the lock table with the rest.
  auto giveUp = [&](const std::string& text) {
    Rollback(record.Name);
    ErrorText = text;
    return false;
  };
  try {
    // The whole take, lock table included, is one transaction: a client that fails or dies
    // half way leaves neither a lock table nor a half-taken number behind, as the engine
    // undoes both with the rest.
    StartTransaction(record.Name);
    inTransaction = true;
    if (kind == "access" && !GateClose()) return giveUp("Failed in Gateclose: " + gateFailure_);
    if (kind == "postgre") {
      // One taker at a time, until the commit: each sees the numbers the one before took.
      const std::string lockSql =
          "select pg_advisory_xact_lock(" + std::to_string(kTakeLockKey) + ")";
      FreeQuery->GetSQL().SetText(lockSql);
      Trace("# 1#Executing " + lockSql);
      FreeQuery->Open();
      FreeQuery->Close();
    }

    // The highest number is read under the gate and inside the transaction: read before
    // them, two clients could both add the same new number.
    const std::string maxSql = "select max(connectno) cno from connectinfo";
    FreeQuery->GetSQL().SetText(maxSql);
    Trace("# 1#Executing " + maxSql);
    FreeQuery->Open();
    long long highest = FreeQuery->IsEmpty() ? 0 : FreeQuery->FieldByName("cno").GetAsInteger();
    FreeQuery->Close();

    Trace("# 1#Executing " + lockingSql);
    FreeQuery->GetSQL().SetText(lockingSql);
    FreeQuery->Open();
    plainQuery->GetSQL().SetText(plainSql);
    plainQuery->Open();
    long long freeNo =
        plainQuery->IsEmpty() ? 0 : plainQuery->FieldByName("connectno").GetAsInteger();
    CnoQuery->ParamByName("cno").SetAsInteger(freeNo);
    plainQuery->Close();
    plainQuery.reset();

    Trace("# 1#Executing " + CnoQuery->GetSQL().Text());
    CnoQuery->Open();
    if (CnoQuery->IsEmpty()) {
      long long newNo = highest + 1;
      if (newNo > kMaxConnectNo) return giveUp("Connections exhausted");
      std::string d = ReplaceAll(DbDateTemplate, ":value", TemplateDateTime(ServerDate()));
      std::string sql =
          "insert into connectinfo (connectno, lastnumber, lastupdated, active) "
          "values (" +
          std::to_string(newNo) + ",0," + d + ",'T')";
      InsertQuery->GetSQL().SetText(sql);
      Trace("# 1#Executing " + sql);
      InsertQuery->ExecSQL();
      record.ConnectNo = static_cast<int>(newNo);
      record.LastNumber = 0;
      record.SavedNumber = 0;
    } else {
      // The counter is the next value to use: a stored value that is not whole goes up to
      // the next whole one, never back to an id issued before it.
      long double n =
          std::ceil(static_cast<long double>(CnoQuery->FieldByName("lastnumber").GetAsFloat()));
      if (n > kCounterLimit || n < 0) n = 0;
      // A row still marked active belonged to a client that stopped saving a day ago but may
      // still run: moving its counter on tells it, at its next save, that the number is gone.
      if (CnoQuery->FieldByName("active").GetAsString() != "F") n += 1;
      std::string d = ReplaceAll(DbDateTemplate, ":value", TemplateDateTime(ServerDate()));
      // The row must still be free: a holder that saved its counter since it was read has
      // kept it.
      std::string sql = "update connectinfo set lastupdated=" + d +
                        ", lastnumber=" + WholeNumberText(n) +
                        ", active='T' where connectno = " + std::to_string(freeNo) + " and (" +
                        freeCondition + ")";
      InsertQuery->GetSQL().SetText(sql);
      Trace("# 1#" + sql);
      if (InsertQuery->ExecSQL() != 1)
        return giveUp("The free connection number was taken by another client");
      record.ConnectNo = static_cast<int>(freeNo);
      record.LastNumber = n;
      record.SavedNumber = n;
    }

    if (kind == "access")
      GateOpen();
    else
      FreeQuery->Close();
    CnoQuery->Close();
    FreeQuery.reset();
    InsertQuery.reset();
    Commit(record.Name);
    return true;
  } catch (...) {
    // Left open, the transaction would hold the database until the connection is dropped.
    try {
      if (inTransaction) Rollback(record.Name);
    } catch (const std::exception&) {
      // The connection is dropped with the manager, which ends the transaction anyway.
    }
    record.ConnectNo = -1;
    throw;
  }
}

bool TDBManager::GateClose() {
  UtilityQuery->GetSQL().SetText("create table connecttemp (connecttempid integer)");
  gateFailure_.clear();
  for (int attempt = 1; attempt <= kGateAttempts; ++attempt) {
    try {
      UtilityQuery->ExecSQL();
      return true;
    } catch (const std::exception& e) {
      // Another client holds the table: the next attempt follows at once. The last failure
      // is the cause when none succeeds (a read-only file fails every one).
      gateFailure_ = e.what();
    }
  }
  std::string_view cause = gateFailure_;
  if (const size_t cut = cause.find_first_of("\r\n"); cut != std::string::npos)
    cause = cause.substr(0, cut);  // the statement that the engine's message goes on with
  gateFailure_ = std::string(cause);
  if (gateFailure_.find("already exists") != std::string::npos)
    gateFailure_ += " (another client holds the table connecttemp; drop it when none runs)";
  if (!accessFile_.empty()) gateFailure_ = "the database file " + accessFile_ + ": " + gateFailure_;
  ShowMessage("Unable to connect in GateClose. " + gateFailure_);
  return false;
}

void TDBManager::GateOpen() {
  UtilityQuery->GetSQL().Clear();
  UtilityQuery->GetSQL().SetText("drop table connecttemp");
  UtilityQuery->ExecSQL();
}

long double TDBManager::NewRecordId(TProjectRecord& record) {
  std::string text = std::to_string(record.SiteNo) +
                     PadLeft(std::to_string(record.ConnectNo), 4, '0') +
                     PadLeft(WholeNumberText(record.LastNumber), 9, '0');
  long double id = std::strtold(text.c_str(), nullptr);
  // Held as a number, an id of more digits than the number type carries exactly would
  // collide with its neighbours. The zeros that lead the id of site 0 are no digits of it.
  size_t digits = std::min(text.find_first_not_of('0'), text.size() - 1);
  if (WholeNumberText(id) != text.substr(digits))
    throw EDatabaseError("Record id " + text + " cannot be held exactly");
  record.LastNumber = record.LastNumber + 1;
  SaveLastNumber(record);
  return id;
}

void TDBManager::SaveLastNumber(TProjectRecord& record) {
  int locked = 0;
  for (int attempt = 1;; ++attempt) {
    try {
      double now = RecordIdDate();
      if (record.DbType != "access") {
        CnoQuery->GetSQL().SetText("select * from connectinfo where connectno = " +
                                   std::to_string(record.ConnectNo));
        CnoQuery->Open();
        double lastUpdated = CnoQuery->FieldByName("lastupdated").GetAsDateTime();
        if (now - lastUpdated > 1) throw EDatabaseError("Invalid connection");
        CnoQuery->Close();
      }
      // The date is saved with its time: a date alone would make a number in use look more
      // than a day old soon after midnight, and another client would take it over.
      std::string d = ReplaceAll(DbDateTemplate, ":value", TemplateDateTime(now));
      // Written only while the row holds the counter this client wrote last: in one
      // statement, so that no other client can take the number between check and write.
      const bool owned = record.SavedNumber >= 0;
      UtilityQuery->GetSQL().SetText("update connectinfo set lastupdated = " + d +
                                     ", lastnumber=:lc where connectno = :cn" +
                                     (owned ? " and lastnumber = :was" : ""));
      UtilityQuery->ParamByName("lc").SetAsString(WholeNumberText(record.LastNumber));
      UtilityQuery->ParamByName("cn").SetAsInteger(record.ConnectNo);
      if (owned)
        UtilityQuery->ParamByName("was").SetAsInteger(static_cast<long long>(record.SavedNumber));
      if (UtilityQuery->ExecSQL() != 1 && owned) {
        // Taken over: no attempt can make the number this client's again.
        throw TakenOver("Invalid connection");
      }
      record.SavedNumber = record.LastNumber;
      return;
    } catch (const TakenOver& e) {
      throw EDatabaseError(e.what());
    } catch (const EDatabaseLocked&) {
      if (CnoQuery) CnoQuery->Close();
      if (++locked >= kLockedSaveAttempts || attempt >= kSaveAttempts) throw;
    } catch (const std::exception&) {
      if (CnoQuery) CnoQuery->Close();
      if (attempt >= kSaveAttempts) throw;
    }
  }
}

double TDBManager::RecordIdDate() {
  // The server's date is read again once a minute; in between it is the last reading moved
  // on by this machine's steady clock, which is all the date of a counter row needs.
  constexpr auto kReadAgain = std::chrono::seconds(60);
  const auto now = std::chrono::steady_clock::now();
  if (!idDateRead_ || now - idDateReadAt_ >= kReadAgain || now < idDateReadAt_) {
    idDate_ = ServerDate();
    idDateReadAt_ = now;
    idDateRead_ = true;
    return idDate_;
  }
  const double days = std::chrono::duration<double>(now - idDateReadAt_).count() / 86400.0;
  return idDate_ + days;
}

void TDBManager::ReleaseConnectNo() {
  try {
    if (!Current || !UtilityQuery) return;
    // A number another client took over is that client's to give back.
    std::string sql = "update connectinfo set active = 'F' where connectno = " +
                      std::to_string(Current->ConnectNo);
    if (Current->SavedNumber >= 0)
      sql += " and lastnumber = " + WholeNumberText(Current->SavedNumber);
    UtilityQuery->GetSQL().SetText(sql);
    UtilityQuery->ExecSQL();
  } catch (const std::exception&) {
    // Giving the number back is best effort: a row left active becomes free a day later.
  }
}

}  // namespace v7
