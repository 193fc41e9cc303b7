// The small interface every database engine sits behind: open, run statements with named
// ":name" parameters, read typed result columns, blobs as bytes, transactions, last error.
// The query object (uXDS.h) speaks only to this; SQLite and PostgreSQL implement it.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace v7 {

// Raised for every failure of the database layer: connection lost, SQL error, missing field
// or parameter. what() is the engine's own message; Sql() the statement that failed, if any.
class EDatabaseError : public std::runtime_error {
 public:
  explicit EDatabaseError(const std::string& message, std::string sql = "")
      : std::runtime_error(message), sql_(std::move(sql)) {}
  const std::string& Sql() const { return sql_; }

 private:
  std::string sql_;
};

// A failure of the site's database itself, not of the statement: the disk is full, a file
// size limit was reached, an I/O error, the database file is locked, damaged, read-only or
// gone, the connection to the server was lost. The same statement may succeed once the site
// is mended.
class EDatabaseUnavailable : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

// A statement that gave up waiting for a lock another connection holds (SQLite's busy
// timeout, PostgreSQL's lock timeout), or whose transaction the server ended to let another
// go on (a deadlock, a serialization failure): the statement itself is sound.
class EDatabaseLocked : public EDatabaseUnavailable {
 public:
  using EDatabaseUnavailable::EDatabaseUnavailable;
};

// Raises E (EDatabaseUnavailable or EDatabaseLocked) and keeps its message for
// TakeSiteFailure. The backends raise every failure of the site through here.
template <class E = EDatabaseUnavailable>
[[noreturn]] void RaiseSiteFailure(const std::string& message, const std::string& sql);
void NoteSiteFailure(const std::string& message);
// The message of the first failure of a site's database raised on this thread since the last
// call, empty when none; the call forgets it. Callers on the way up may trap a failure and
// word it anew (an expression's function, a load that names its statement): this still says
// that the site failed.
std::string TakeSiteFailure();

template <class E>
void RaiseSiteFailure(const std::string& message, const std::string& sql) {
  NoteSiteFailure(message);
  throw E(message, sql);
}

// How long a statement waits for a lock another connection holds before it fails with
// EDatabaseLocked.
constexpr int kLockWaitMs = 10000;

// Storage kind of one value crossing the backend boundary.
enum class TDbKind { Null, Integer, Float, Text, Blob, DateTime };

// One typed value. DateTime values carry the system's date-time double (days since
// 30/12/1899, time as the fraction) in Float, whatever form the engine stores.
struct TDbValue {
  TDbKind Kind = TDbKind::Null;
  long long Int = 0;
  double Float = 0;
  std::string Text;  // Text; for Blob the raw bytes

  bool IsNull() const { return Kind == TDbKind::Null; }
  static TDbValue Null() { return {}; }
  static TDbValue FromInt(long long v) { return {TDbKind::Integer, v, 0, {}}; }
  static TDbValue FromFloat(double v) { return {TDbKind::Float, 0, v, {}}; }
  static TDbValue FromText(std::string v) { return {TDbKind::Text, 0, 0, std::move(v)}; }
  static TDbValue FromBlob(std::string bytes) { return {TDbKind::Blob, 0, 0, std::move(bytes)}; }
  static TDbValue FromDateTime(double v) { return {TDbKind::DateTime, 0, v, {}}; }
};

// One result column: its name as the statement gave it and the kind its values have
// (declared date columns are DateTime; a column of no declared type takes the kind of its
// first non-null value). Size: the declared length of a text column, else 0.
struct TDbColumn {
  std::string Name;
  TDbKind Kind = TDbKind::Text;
  int Size = 0;
};

// A whole result held in memory.
struct TDbRowSet {
  std::vector<TDbColumn> Columns;
  std::vector<std::vector<TDbValue>> Rows;
};

// Named parameters: the name without its ":" and the value to bind.
using TDbParams = std::vector<std::pair<std::string, TDbValue>>;

class TDbBackend {
 public:
  virtual ~TDbBackend() = default;

  // The database kind whose dialect the engine speaks ("access", "postgre").
  virtual std::string DbKind() const = 0;

  // Opens the database named by target (a file for SQLite, a connection string for
  // PostgreSQL). Raises EDatabaseError when it cannot.
  virtual void Open(const std::string& target) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  // Runs a statement that returns no rows; answers the number of rows it changed.
  virtual long long Execute(const std::string& sql, const TDbParams& params = {}) = 0;
  // The same for exactly one statement: a text that holds another statement after the
  // first is refused before any of it runs. For statements built from values.
  virtual long long ExecuteSingle(const std::string& sql, const TDbParams& params = {}) = 0;
  // Runs a statement and returns all its rows.
  virtual TDbRowSet Query(const std::string& sql, const TDbParams& params = {}) = 0;

  // Transactions do not nest: a second StartTransaction raises; Rollback with none open
  // does nothing, and so does Commit when no StartTransaction preceded it. Until the
  // Commit or Rollback of a transaction that StartTransaction began, a statement that would
  // end it or start another is refused (TransactionControlStatement), and the transaction
  // can then only be rolled back: Commit rolls it back and raises the refusal. A statement
  // that ended it in any other way raises (its own failure, or kTransactionEndedBy), every
  // statement after it is refused (kTransactionEndedBefore) and Commit raises
  // (kTransactionEndedEarly). While a transaction is held, both engines run a text of
  // several statements statement by statement, each guarded so; when one of them fails
  // after others ran, the transaction can only be rolled back (kTextRanInPart).
  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  virtual bool InTransaction() const = 0;
  // Makes every change committed so far survive a power cut. An engine that commits
  // durably does nothing here; one that defers its disk sync (SQLite) syncs now.
  virtual void MakeDurable() {}

  // The message of the last failure (empty after a success).
  virtual std::string LastError() const = 0;
};

// Calls found(colon, end) for each ":name" parameter of a statement, in order: colon is the
// place of its ":", end the place just past its name. Quoted literals, quoted identifiers,
// comments and "::" casts are skipped.
void ScanParams(const std::string& sql, const std::function<void(size_t, size_t)>& found);

// The first statement of a text, when it ends or starts a transaction, or sets, releases or
// rolls back to a savepoint ("commit", "end transaction", "rollback to x"), as its first
// words in lower case; empty when it does not. Blanks, comments and empty statements before
// it are skipped, as the engine skips them: pgSyntax, PostgreSQL's ("--" ends at a carriage
// return too, "/*" nests); else SQLite's. Only the first statement is read: a text of
// several reaches the engine statement by statement, each read here in its turn.
std::string TransactionControlStatement(const std::string& sql, bool pgSyntax);

// The place just past a comment that starts at i of sql, or i when none does. PostgreSQL
// (pgSyntax) ends a "--" comment at a carriage return as at a line feed, and nests "/*"
// comments; SQLite ends it at a line feed only and does not nest. open, when given, is set
// when the comment runs to the end of the text unclosed.
size_t SkipSqlComment(const std::string& sql, size_t i, bool pgSyntax, bool* open = nullptr);

// The refusal of every statement after a held transaction ended, and the failure of the
// commit that was to end it.
inline constexpr char kTransactionEndedBefore[] =
    "The statement was refused: the transaction of the document had ended before it, and what "
    "ran after its end would not be undone with the rest";
inline constexpr char kTransactionEndedEarly[] =
    "The transaction had ended before its commit: its work was not kept whole";
// The failure of the commit of a transaction in which a text of several statements failed
// part-way; the failure of the statement follows it.
inline constexpr char kTextRanInPart[] =
    "A statement of a text of several failed after the statements before it had run: the text "
    "did not run whole, and the document is not stored: ";
// A text of several statements with values to bind, which cannot be cut into its
// statements as the server reads them: it does not run, and the document is not stored.
inline constexpr char kTextNotCut[] =
    "The text cannot be cut into its statements as the server reads it, and its parameters "
    "need it cut: it did not run";
// A statement that ran and left no transaction open behind it.
inline constexpr char kTransactionEndedBy[] =
    "The statement ended the transaction of the document: nothing after it runs, and the "
    "document is not stored";

// A transaction that StartTransaction began, as an engine keeps it until its Commit or
// Rollback: while it is held, a statement that would end it or start another is refused, so
// that its work is kept whole or not at all, and the first refusal waits for the Commit.
// A statement that ends it all the same (a conflict clause or a trigger that rolls back, an
// error after which the engine rolls back) is found right after it ran: from then on every
// statement is refused until the Commit or Rollback, so nothing runs outside it.
class TTransactionHold {
 public:
  void Begin() {
    held_ = true;
    ended_ = false;
    refused_.clear();
  }
  // Ends the hold. Whether a transaction was held, and the first refusal while it was.
  std::pair<bool, std::string> End() {
    std::pair<bool, std::string> was{held_, std::move(refused_)};
    held_ = ended_ = false;
    refused_.clear();
    return was;
  }
  bool Held() const { return held_; }
  // The refusal of sql when a transaction is held and sql steers it, or the held one has
  // ended; else empty. pgSyntax as for TransactionControlStatement.
  std::string Refusal(const std::string& sql, bool pgSyntax);
  // Called after each statement with whether the engine still has a transaction open: true
  // the first time a held transaction is found ended.
  bool EndedBy(bool stillOpen);
  // A statement of a text of several failed after others of the text had run: what they did
  // cannot be undone alone, so the held transaction can only be rolled back, and its Commit
  // says why (as for a refusal).
  void Spoil(const std::string& failure);
  // A text that did not run at all though the document needed it: its Commit says why.
  void Refuse(const std::string& refusal) {
    if (held_ && refused_.empty()) refused_ = refusal;
  }

 private:
  bool held_ = false;
  bool ended_ = false;
  std::string refused_;
};

// The names of the ":name" parameters of a statement, in order of appearance, one entry per
// distinct name (as ScanParams finds them).
std::vector<std::string> ParseParamNames(const std::string& sql);

}  // namespace v7
