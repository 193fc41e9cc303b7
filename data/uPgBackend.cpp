// The PostgreSQL engine behind TDbBackend (see uPgBackend.h).
#include "uPgBackend.h"

#include <libpq-fe.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "uDbDates.h"
#include "uGeneralFunctions.h"
#include "uNumbers.h"
#include "uPgSplit.h"

namespace v7 {

namespace {

// Type OIDs of the server's built-in types (fixed by the server; see pg_type).
constexpr Oid kBoolOid = 16;
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kOidOid = 26;
constexpr Oid kFloat4Oid = 700;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kBpcharOid = 1042;
constexpr Oid kVarcharOid = 1043;
constexpr Oid kDateOid = 1082;
constexpr Oid kTimeOid = 1083;
constexpr Oid kTimestampOid = 1114;
constexpr Oid kTimestamptzOid = 1184;
constexpr Oid kTimetzOid = 1266;
constexpr Oid kNumericOid = 1700;

// The header that a length modifier of a character type carries (the server's VARHDRSZ).
constexpr int kVarHeader = 4;

// Serialises clients that would install the compatibility objects at the same moment.
constexpr long long kCompatLockKey = 7307001;

// The error state of a statement that gave up waiting for a lock (lock_timeout).
const char* const kLockNotAvailable = "55P03";
// The error states of a transaction that the server chose to end so that another could go
// on, and of a write refused because the database or the session is read-only.
const char* const kDeadlockDetected = "40P01";
const char* const kSerializationFailure = "40001";
const char* const kReadOnlyTransaction = "25006";

// The statement-level savepoint inside a transaction.
const char* const kSavepoint = "SAVEPOINT v7_statement";
const char* const kNextSavepoint = "RELEASE SAVEPOINT v7_statement; SAVEPOINT v7_statement";
const char* const kUndoStatement = "ROLLBACK TO SAVEPOINT v7_statement";

// Session settings every statement of the system relies on: dates print as ISO text (read
// by ReadDate) and day-first texts such as "31/12/2005" read as dates; a backslash inside a
// quoted literal is an ordinary character, so doubling the quotes is all a value needs. A
// statement waits for another connection's lock no longer than kLockWaitMs (10 s), as on
// the SQLite engine, instead of for ever.
const char* const kSessionSetup =
    "SET datestyle TO 'ISO, DMY'; SET standard_conforming_strings TO on; "
    "SET client_min_messages TO warning; SET lock_timeout TO '10s'";

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// The statement with each ":name" replaced by "$k", k the 1-based place of the name in
// names; it finds the parameters as ParseParamNames does.
std::string NumberParams(const std::string& sql, const std::vector<std::string>& names) {
  std::string out;
  out.reserve(sql.size() + 8);
  size_t copied = 0;
  ScanParams(sql, [&](size_t colon, size_t end) {
    const std::string name = sql.substr(colon + 1, end - colon - 1);
    for (size_t k = 0; k < names.size(); ++k) {
      if (strcasecmp(names[k].c_str(), name.c_str()) == 0) {
        out.append(sql, copied, colon - copied);
        out += "$" + std::to_string(k + 1);
        copied = end;
        return;
      }
    }
  });
  out.append(sql, copied, std::string::npos);
  return out;
}

// Statements that steer the transaction itself run without the statement savepoint.
bool IsTransactionControl(const std::string& sql) {
  return !TransactionControlStatement(sql, true).empty();
}

// "yyyy-mm-dd[ hh:mm:ss[.ffffff]][+hh[:mm]]" (the ISO date style) as a date-time, to the
// nearest second; the offset of a time-zone-aware value is left off, so it reads as the
// wall-clock time of the session. False for "infinity" and dates before the Christian era.
bool ReadDate(const char* text, double& dateTime) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, used = 0;
  double second = 0;
  if (std::sscanf(text, "%d-%d-%d%n", &year, &month, &day, &used) != 3) return false;
  const char* rest = text + used;
  if (*rest == ' ' || *rest == 'T') {
    int more = 0;
    if (std::sscanf(rest + 1, "%d:%d:%lf%n", &hour, &minute, &second, &more) != 3) return false;
    rest += 1 + more;
  }
  if (std::strstr(rest, "BC")) return false;
  long long tod = hour * 3600LL + minute * 60LL + std::llround(second);
  double base = 0;
  if (!DateTimeFromParts(year, month, day, 0, 0, 0, base)) return false;
  if (tod >= 86400) {
    // A fraction that rounds up past midnight moves the value into the next day.
    base += static_cast<double>(tod / 86400);
    tod %= 86400;
    int h = 0, mi = 0, s = 0;
    DateTimeToParts(base, year, month, day, h, mi, s);
  }
  return DateTimeFromParts(year, month, day, static_cast<int>(tod / 3600),
                           static_cast<int>(tod % 3600 / 60), static_cast<int>(tod % 60), dateTime);
}

std::string DateParamText(double dateTime) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  DateTimeToParts(dateTime, y, mo, d, h, mi, s);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
  return buf;
}

TDbKind KindOfType(Oid type) {
  switch (type) {
    case kInt2Oid:
    case kInt4Oid:
    case kInt8Oid:
    case kOidOid:
      return TDbKind::Integer;
    case kFloat4Oid:
    case kFloat8Oid:
    case kNumericOid:
      return TDbKind::Float;
    case kByteaOid:
      return TDbKind::Blob;
    case kDateOid:
    case kTimestampOid:
    case kTimestamptzOid:
      return TDbKind::DateTime;
    default:
      return TDbKind::Text;
  }
}

// The server's float text: digits, or "NaN" and "Infinity", which no number of the system is.
double FloatOf(const char* text) {
  double v = 0;
  if (TryParseNumber(text, v)) return v;
  const std::string t = LowerStr(text);
  if (t.find("infinity") != std::string::npos) return t[0] == '-' ? -HUGE_VAL : HUGE_VAL;
  return std::nan("");
}

// A whole number of a numeric column stays exact as an integer when it fits one.
TDbValue ReadNumeric(const char* text) {
  const char* p = text;
  if (*p == '-' || *p == '+') ++p;
  bool whole = *p != '\0';
  for (const char* q = p; *q; ++q)
    if (!std::isdigit(static_cast<unsigned char>(*q))) whole = false;
  if (whole) {
    errno = 0;
    long long v = std::strtoll(text, nullptr, 10);
    if (errno == 0) return TDbValue::FromInt(v);
  }
  TDbValue value = TDbValue::FromFloat(FloatOf(text));
  // More digits than a double holds: the exact digits travel with the value.
  TExactNumber exact;
  if (ParseExactNumber(text, exact) && exact.Digits.size() > 15)
    value.Text = PlainNumberText(exact);
  return value;
}

TDbValue ReadValue(const PGresult* res, int row, int col, Oid type) {
  if (PQgetisnull(res, row, col)) return TDbValue::Null();
  const char* text = PQgetvalue(res, row, col);
  switch (type) {
    case kInt2Oid:
    case kInt4Oid:
    case kInt8Oid:
    case kOidOid:
      return TDbValue::FromInt(std::strtoll(text, nullptr, 10));
    case kFloat4Oid:
    case kFloat8Oid:
      return TDbValue::FromFloat(FloatOf(text));
    case kNumericOid:
      return ReadNumeric(text);
    case kBoolOid:
      // The system's own flag texts.
      return TDbValue::FromText(text[0] == 't' ? "T" : "F");
    case kByteaOid: {
      size_t len = 0;
      unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &len);
      if (!bytes) return TDbValue::FromBlob("");
      std::string blob(reinterpret_cast<const char*>(bytes), len);
      PQfreemem(bytes);
      return TDbValue::FromBlob(std::move(blob));
    }
    case kDateOid:
    case kTimestampOid:
    case kTimestamptzOid: {
      double dt = 0;
      if (ReadDate(text, dt)) return TDbValue::FromDateTime(dt);
      return TDbValue::FromText(text);
    }
    default:
      return TDbValue::FromText(std::string(text, static_cast<size_t>(PQgetlength(res, row, col))));
  }
}

// Frees a result when it goes out of scope.
struct ResultHolder {
  PGresult* res = nullptr;
  explicit ResultHolder(PGresult* r) : res(r) {}
  ~ResultHolder() {
    if (res) PQclear(res);
  }
  ResultHolder(const ResultHolder&) = delete;
  ResultHolder& operator=(const ResultHolder&) = delete;
};

// Notices ("table already exists, skipping") are the server talking to a person at a
// prompt; the system has no use for them, and libpq would print them on standard error.
void IgnoreNotice(void*, const char*) {}

}  // namespace

struct TPgBackend::Impl {
  PGconn* conn = nullptr;
  std::string lastError;
  // A statement savepoint is open in the current transaction.
  bool savepoint = false;
  // StartTransaction was called and no commit or rollback followed: a transaction whose
  // connection was lost is still one that the caller must not believe committed.
  bool began = false;
  // The same, kept until that commit or rollback whatever became of the transaction.
  TTransactionHold hold;

  [[noreturn]] void Fail(const std::string& message, const std::string& sql) {
    lastError = message;
    // Whatever failed, a connection that is gone is the site's failure.
    if (conn && PQstatus(conn) == CONNECTION_BAD) RaiseSiteFailure(message, sql);
    throw EDatabaseError(message, sql);
  }

  // The failure of a result: the server's error state tells the site's failures from the
  // statement's own. The site's: the classes 08 (the connection), 53 (resources such as a full
  // disk), 57 (an operator's intervention such as a terminated session or a cancelled
  // statement, a server shutting down) and 58 (the system and its I/O), and a database or
  // session turned read-only; passing ones: a statement that gave up waiting for a lock, a
  // deadlock or a serialization failure with another program's transaction, which the same
  // work may pass once that transaction has ended.
  [[noreturn]] void FailResult(const PGresult* res, const std::string& sql) {
    const std::string message = ErrorOf(res);
    const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    for (const char* passing : {kLockNotAvailable, kDeadlockDetected, kSerializationFailure})
      if (state && std::strcmp(state, passing) == 0) {
        lastError = message;
        RaiseSiteFailure<EDatabaseLocked>(message, sql);
      }
    if (state && std::strcmp(state, kReadOnlyTransaction) == 0) {
      lastError = message;
      RaiseSiteFailure(message, sql);
    }
    for (const char* siteClass : {"08", "53", "57", "58"})
      if (state && std::strncmp(state, siteClass, 2) == 0) {
        lastError = message;
        RaiseSiteFailure(message, sql);
      }
    Fail(message, sql);
  }

  void Require(const std::string& sql) {
    if (!conn) Fail("The database is not open", sql);
  }

  // The server's own message of a failed result (its first line), else the connection's.
  std::string ErrorOf(const PGresult* res) const {
    const char* primary = res ? PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    if (primary && *primary) return primary;
    std::string msg = OneLine(PQerrorMessage(conn));
    return msg.empty() ? "The database server did not answer" : msg;
  }

  // Runs transaction-control or setup text; raises with the server's message.
  void Simple(const char* sql) {
    ResultHolder r(PQexec(conn, sql));
    ExecStatusType st = PQresultStatus(r.res);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) FailResult(r.res, sql);
  }

  // The session reads backslashes in '...' as the standard says (as written).
  bool StandardStrings() const {
    const char* value = PQparameterStatus(conn, "standard_conforming_strings");
    return value && std::strcmp(value, "on") == 0;
  }

  // A text that cannot be cut as the server reads it, inside a held transaction: it runs
  // whole, as the server reads it, unless a statement that would steer the transaction may
  // begin anywhere in it, whatever its quotes are read as; then it is refused.
  void GuardWhole(const std::string& sql) {
    for (const size_t start : PgStatementStarts(sql)) {
      const std::string refusal = hold.Refusal(sql.substr(start), true);
      if (!refusal.empty()) Fail(refusal, sql);
    }
  }

  // Runs one statement (or, without parameters and rows wanted, a text of several) and
  // returns its result, which the caller frees. whole: a text of several that runs as one
  // text though a transaction is held (see GuardWhole).
  PGresult* Run(const std::string& sql, const TDbParams& params, bool multiple,
                bool whole = false) {
    Require(sql);
    if (sql.find('\0') != std::string::npos) Fail("The statement holds a NUL character", sql);
    const std::string refusal = hold.Refusal(sql, true);
    if (!refusal.empty()) Fail(refusal, sql);
    // While a transaction is held the server runs one statement per text and refuses a text
    // of several, so that a statement behind the first (a "commit" the refusal did not read)
    // never reaches it: Execute gives such a text here statement by statement.
    if (hold.Held() && !whole) multiple = false;

    std::vector<std::string> names = ParseParamNames(sql);
    std::string text = names.empty() ? sql : NumberParams(sql, names);
    // Values in the order of $1..$n: by name, or as given for a text without names.
    std::vector<const TDbValue*> values;
    if (!names.empty()) {
      for (const auto& name : names) {
        const TDbValue* v = nullptr;
        for (const auto& p : params)
          if (strcasecmp(p.first.c_str(), name.c_str()) == 0) {
            v = &p.second;
            break;
          }
        if (!v) Fail("No value given for parameter '" + name + "'", sql);
        values.push_back(v);
      }
    } else {
      for (const auto& p : params) values.push_back(&p.second);
    }

    const size_t count = values.size();
    std::vector<std::string> texts(count);
    std::vector<const char*> ptrs(count, nullptr);
    std::vector<int> lengths(count, 0), formats(count, 0);
    std::vector<Oid> types(count, 0);
    for (size_t i = 0; i < count; ++i) {
      const TDbValue& v = *values[i];
      switch (v.Kind) {
        case TDbKind::Null:
          continue;
        case TDbKind::Integer:
          texts[i] = std::to_string(v.Int);
          break;
        case TDbKind::Float: {
          // The shortest text that reads back as the same double: 12.35 reaches a numeric
          // column as 12.35, not as the binary value's 17 digits.
          char buf[64];
          auto end = std::to_chars(buf, buf + sizeof buf, v.Float).ptr;
          texts[i].assign(buf, end);
          break;
        }
        case TDbKind::Text:
          if (v.Text.find('\0') != std::string::npos) {
            std::string name = names.empty() ? std::to_string(i + 1) : names[i];
            Fail("The value of parameter '" + name + "' holds a NUL character", sql);
          }
          texts[i] = v.Text;
          break;
        case TDbKind::Blob:
          texts[i] = v.Text;
          types[i] = kByteaOid;
          formats[i] = 1;  // the bytes as they are
          break;
        case TDbKind::DateTime:
          texts[i] = DateParamText(v.Float);
          types[i] = kTimestampOid;
          break;
      }
      ptrs[i] = texts[i].data();
      lengths[i] = static_cast<int>(texts[i].size());
    }

    PGTransactionStatusType state = PQtransactionStatus(conn);
    if (state == PQTRANS_IDLE) savepoint = began = false;
    const bool guarded = state == PQTRANS_INTRANS && !IsTransactionControl(sql);
    if (guarded) {
      Simple(savepoint ? kNextSavepoint : kSavepoint);
      savepoint = true;
    }

    // An empty text is no date: where the server takes a parameter for a date or a time it
    // gets null, as the query object's own statements write an empty date and as SQLite
    // stores it. Only a statement with such a text asks the server what its parameters are.
    bool emptyText = false;
    for (size_t i = 0; i < count; ++i)
      emptyText = emptyText || (values[i]->Kind == TDbKind::Text && texts[i].empty());
    PGresult* res = nullptr;
    if (count == 0 && multiple) {
      res = PQexec(conn, text.c_str());
    } else if (emptyText) {
      res = PQprepare(conn, "", text.c_str(), static_cast<int>(count), types.data());
      if (PQresultStatus(res) == PGRES_COMMAND_OK) {
        PQclear(res);
        res = PQdescribePrepared(conn, "");
        if (PQresultStatus(res) == PGRES_COMMAND_OK) {
          for (size_t i = 0; i < count; ++i) {
            const Oid type = PQparamtype(res, static_cast<int>(i));
            if (values[i]->Kind == TDbKind::Text && texts[i].empty() &&
                (type == kDateOid || type == kTimestampOid || type == kTimestamptzOid ||
                 type == kTimeOid || type == kTimetzOid))
              ptrs[i] = nullptr;
          }
          PQclear(res);
          res = PQexecPrepared(conn, "", static_cast<int>(count), ptrs.data(), lengths.data(),
                               formats.data(), 0);
        }
      }
    } else {
      res = PQexecParams(conn, text.c_str(), static_cast<int>(count), types.data(), ptrs.data(),
                         lengths.data(), formats.data(), 0);
    }
    ExecStatusType st = PQresultStatus(res);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK && st != PGRES_EMPTY_QUERY) {
      ResultHolder failed(res);
      if (guarded && PQtransactionStatus(conn) == PQTRANS_INERROR) {
        // Undo the failed statement only; the work before it stays in the transaction.
        ResultHolder undo(PQexec(conn, kUndoStatement));
      }
      hold.EndedBy(PQtransactionStatus(conn) != PQTRANS_IDLE);
      FailResult(failed.res, sql);
    }
    if (hold.EndedBy(PQtransactionStatus(conn) != PQTRANS_IDLE)) {
      PQclear(res);
      Fail(kTransactionEndedBy, sql);
    }
    return res;
  }

  // The statements of a text of several, one after another as SQLite runs them, each
  // guarded as a text of its own; the rows they changed.
  long long RunEach(const std::vector<std::string>& statements, const TDbParams& params) {
    // Values given by name go to the statements that name them.
    const bool named = !params.empty() && !params.front().first.empty();
    const TDbParams none;
    long long changed = 0;
    bool ran = false;
    try {
      for (const std::string& statement : statements) {
        const bool takes = !named || !ParseParamNames(statement).empty();
        ResultHolder r(Run(statement, takes ? params : none, false));
        const char* count = PQcmdTuples(r.res);
        if (PQresultStatus(r.res) == PGRES_COMMAND_OK && count && *count)
          changed += std::atoll(count);
        ran = true;
      }
    } catch (const EDatabaseError& e) {
      if (ran) hold.Spoil(e.what());
      throw;
    }
    return changed;
  }

  // A text of several statements that must not run as several (rows wanted) is refused
  // whole by the server; a statement of it that would steer the held transaction is refused
  // here first, so that the transaction goes with it, as when it runs (see RunEach).
  void GuardEach(const std::string& sql) {
    const TPgStatements cut = CutPgStatements(sql, StandardStrings());
    if (!cut.Sure) {
      GuardWhole(sql);
      return;
    }
    const std::vector<std::string>& statements = cut.Pieces;
    if (statements.size() < 2) return;
    for (const std::string& statement : statements) {
      const std::string refusal = hold.Refusal(statement, true);
      if (!refusal.empty()) Fail(refusal, sql);
    }
  }

  int InstalledCompatVersion() {
    ResultHolder r(PQexec(conn,
                          "select case when to_regprocedure('v7_compat_version()') is null "
                          "then 0 else 1 end"));
    if (PQresultStatus(r.res) != PGRES_TUPLES_OK) Fail(ErrorOf(r.res), "");
    if (std::atoi(PQgetvalue(r.res, 0, 0)) == 0) return 0;
    ResultHolder v(PQexec(conn, "select v7_compat_version()"));
    if (PQresultStatus(v.res) != PGRES_TUPLES_OK) Fail(ErrorOf(v.res), "");
    return std::atoi(PQgetvalue(v.res, 0, 0));
  }

  void EnsureCompat() {
    if (InstalledCompatVersion() >= kPgCompatVersion) return;
    try {
      Simple("BEGIN");
      std::string lock = "select pg_advisory_xact_lock(" + std::to_string(kCompatLockKey) + ")";
      Simple(lock.c_str());
      // Another client may have installed them while this one waited for the lock.
      if (InstalledCompatVersion() < kPgCompatVersion) Simple(PgCompatScript().c_str());
      Simple("COMMIT");
    } catch (const EDatabaseError& e) {
      ResultHolder undo(PQexec(conn, "ROLLBACK"));
      Fail(std::string("The database lacks the functions of the postgre dialect and they could "
                       "not be added: ") +
               e.what(),
           "");
    }
  }
};

TPgBackend::TPgBackend() : impl_(std::make_unique<Impl>()) {}

TPgBackend::~TPgBackend() { Close(); }

void TPgBackend::Open(const std::string& connectionString) {
  Close();
  // The text may be a whole connection string or URI (expanded); the encoding given after it
  // wins over one it names, as every text of the system is UTF-8.
  const char* keys[] = {"dbname", "client_encoding", "fallback_application_name", nullptr};
  const char* values[] = {connectionString.c_str(), "UTF8", "v7client", nullptr};
  PGconn* conn = PQconnectdbParams(keys, values, 1);
  if (!conn) impl_->Fail("Unable to open database: out of memory", "");
  if (PQstatus(conn) != CONNECTION_OK) {
    // libpq's message names host and port but never the password.
    std::string msg = OneLine(PQerrorMessage(conn));
    PQfinish(conn);
    impl_->Fail("Unable to open database: " + msg, "");
  }
  PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
  impl_->conn = conn;
  impl_->savepoint = false;
  try {
    impl_->Simple(kSessionSetup);
    impl_->EnsureCompat();
  } catch (...) {
    Close();
    throw;
  }
  impl_->lastError.clear();
}

void TPgBackend::Close() {
  if (!impl_->conn) return;
  PQfinish(impl_->conn);
  impl_->conn = nullptr;
  impl_->savepoint = impl_->began = false;
  impl_->hold.End();
}

bool TPgBackend::IsOpen() const { return impl_->conn != nullptr; }

long long TPgBackend::Execute(const std::string& sql, const TDbParams& params) {
  // The server refuses a text of several statements while a transaction is held (see Run):
  // such a text runs statement by statement, as on SQLite. A text without ";" is one.
  if (impl_->hold.Held() && sql.find(';') != std::string::npos) {
    const TPgStatements cut = CutPgStatements(sql, impl_->StandardStrings());
    if (!cut.Sure) {
      // Cut otherwise than the server reads it, a piece would fail alone and the rest be
      // lost: the text runs whole, or, with values to bind (which a text of several cannot
      // take), fails the document.
      impl_->GuardWhole(sql);
      if (!params.empty()) {
        impl_->hold.Refuse(kTextNotCut);
        impl_->Fail(kTextNotCut, sql);
      }
      ResultHolder r(impl_->Run(sql, params, true, true));
      const char* changed = PQcmdTuples(r.res);
      impl_->lastError.clear();
      return changed && *changed ? std::atoll(changed) : 0;
    }
    if (cut.Pieces.size() > 1) {
      const long long changed = impl_->RunEach(cut.Pieces, params);
      impl_->lastError.clear();
      return changed;
    }
  }
  ResultHolder r(impl_->Run(sql, params, true));
  const char* changed = PQcmdTuples(r.res);
  impl_->lastError.clear();
  return changed && *changed ? std::atoll(changed) : 0;
}

long long TPgBackend::ExecuteSingle(const std::string& sql, const TDbParams& params) {
  // The extended protocol runs one statement only; the server refuses a text of several.
  ResultHolder r(impl_->Run(sql, params, false));
  const char* changed = PQcmdTuples(r.res);
  impl_->lastError.clear();
  return changed && *changed ? std::atoll(changed) : 0;
}

TDbRowSet TPgBackend::Query(const std::string& sql, const TDbParams& params) {
  if (impl_->hold.Held() && sql.find(';') != std::string::npos) impl_->GuardEach(sql);
  ResultHolder r(impl_->Run(sql, params, false));
  TDbRowSet result;
  const int cols = PQnfields(r.res);
  const int rows = PQntuples(r.res);
  std::vector<Oid> types(static_cast<size_t>(cols));
  result.Columns.resize(static_cast<size_t>(cols));
  for (int c = 0; c < cols; ++c) {
    TDbColumn& col = result.Columns[static_cast<size_t>(c)];
    types[static_cast<size_t>(c)] = PQftype(r.res, c);
    col.Name = PQfname(r.res, c);
    col.Kind = KindOfType(PQftype(r.res, c));
    int mod = PQfmod(r.res, c);
    Oid t = types[static_cast<size_t>(c)];
    if ((t == kVarcharOid || t == kBpcharOid) && mod >= kVarHeader) col.Size = mod - kVarHeader;
  }
  result.Rows.reserve(static_cast<size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    std::vector<TDbValue> row;
    row.reserve(static_cast<size_t>(cols));
    for (int c = 0; c < cols; ++c)
      row.push_back(ReadValue(r.res, i, c, types[static_cast<size_t>(c)]));
    result.Rows.push_back(std::move(row));
  }
  impl_->lastError.clear();
  return result;
}

void TPgBackend::StartTransaction() {
  impl_->Require("BEGIN");
  if (InTransaction()) impl_->Fail("A transaction is already active", "BEGIN");
  impl_->Simple("BEGIN");
  impl_->savepoint = false;
  impl_->began = true;
  impl_->hold.Begin();
  impl_->lastError.clear();
}

void TPgBackend::Commit() {
  const auto [held, refused] = impl_->hold.End();
  if (!InTransaction()) {
    // Ended by a statement inside it: what followed ran on its own and is kept, which is no
    // commit of the whole.
    if (held) impl_->Fail(kTransactionEndedEarly, "COMMIT");
    return;
  }
  if (!refused.empty()) {
    Rollback();
    impl_->Fail(refused, "COMMIT");
  }
  const bool failed = PQtransactionStatus(impl_->conn) == PQTRANS_INERROR;
  ResultHolder r(PQexec(impl_->conn, "COMMIT"));
  impl_->savepoint = impl_->began = false;
  if (PQresultStatus(r.res) != PGRES_COMMAND_OK) impl_->FailResult(r.res, "COMMIT");
  // The server ends a transaction that a failed statement spoiled with a rollback, and says
  // so only by the command tag; that is no successful commit.
  if (failed || std::strcmp(PQcmdStatus(r.res), "ROLLBACK") == 0)
    impl_->Fail("The transaction was rolled back: a statement in it had failed", "COMMIT");
  impl_->lastError.clear();
}

void TPgBackend::Rollback() {
  impl_->hold.End();
  if (!InTransaction()) return;
  impl_->savepoint = impl_->began = false;
  if (PQstatus(impl_->conn) == CONNECTION_BAD) {
    // The server has dropped the transaction with the connection: the rollback happened.
    impl_->lastError = impl_->ErrorOf(nullptr);
    return;
  }
  impl_->Simple("ROLLBACK");
  impl_->lastError.clear();
}

bool TPgBackend::InTransaction() const {
  if (!impl_->conn) return false;
  PGTransactionStatusType st = PQtransactionStatus(impl_->conn);
  if (st == PQTRANS_UNKNOWN) return impl_->began;
  return st == PQTRANS_INTRANS || st == PQTRANS_INERROR || st == PQTRANS_ACTIVE;
}

std::string TPgBackend::LastError() const { return impl_->lastError; }

namespace {

// A value of a connection string in quotes, as libpq reads it back.
std::string QuotedSetting(const std::string& v) {
  std::string q = "'";
  for (char c : v) {
    if (c == '\'' || c == '\\') q += '\\';
    q += c;
  }
  return q + "'";
}

bool IsPgUri(const std::string& text) {
  return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

}  // namespace

std::string PgShownConnectionString(const std::string& dbName) {
  if (!IsPgUri(dbName) && dbName.find('=') == std::string::npos) return dbName;
  // libpq's own reading: whatever it takes for a password, in whatever form it was written,
  // is the one setting it marks as secret.
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(dbName.c_str(), &error);
  if (error) PQfreemem(error);
  if (!options) return "(a connection string that libpq cannot read)";
  std::string shown;
  for (const PQconninfoOption* o = options; o->keyword; ++o) {
    if (!o->val) continue;
    if (!shown.empty()) shown += ' ';
    shown += std::string(o->keyword) + "=" +
             (std::strchr(o->dispchar, '*') ? std::string("********") : QuotedSetting(o->val));
  }
  PQconninfoFree(options);
  return shown;
}

std::string PgConnectionString(const std::string& user, const std::string& dbName) {
  const auto quoted = QuotedSetting;
  if (IsPgUri(dbName)) return dbName;
  std::string userPart = user.empty() ? "" : "user=" + quoted(user);
  if (dbName.find('=') != std::string::npos)
    return userPart.empty() ? dbName : userPart + " " + dbName;
  std::string dbPart = dbName.empty() ? "" : "dbname=" + quoted(dbName);
  if (userPart.empty()) return dbPart;
  return dbPart.empty() ? userPart : userPart + " " + dbPart;
}

const std::string& PgCompatScript() {
  static const std::string script = kPgCompatScript;
  return script;
}

}  // namespace v7
