// The connection manager: one open database project. Connecting picks the SQL dialect of the
// project's database kind, opens its connection, takes a connection number from CONNECTINFO
// and loads the CONTROL values into the process-wide globals. The manager then makes query
// objects, brackets work in transactions, answers the server's date and issues record ids.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "uConnect.h"
#include "uDbBackend.h"
#include "uDebug.h"
#include "uXDS.h"

namespace v7 {

// The transaction descriptor of the "dbx" and "bde" layers.
struct TTransactionDesc {
  int TransactionID = 0;
  int GlobalID = 0;
  int IsolationLevel = 0;
  int CustomIsolation = 0;
};

// Shows a message box on the spot. The view implements it; with none set nothing is shown.
using TMessageBoxProc = std::function<void(const std::string&)>;

class TDBManager {
 public:
  TDBManager();
  // Releases the connection number, drops the connection and removes the project.
  ~TDBManager();
  TDBManager(const TDBManager&) = delete;
  TDBManager& operator=(const TDBManager&) = delete;

  // Opens the project of that name (trimmed, lower-cased) from "Dbconnections.ini". Never
  // raises: a failure leaves its message in ErrorText. True once a connection number was
  // taken.
  bool Connect(const std::string& projectName);

  // A new query object for the current project, named "xds" + a local id, tracing into Debug.
  std::unique_ptr<TXDS> NewQuery();
  // Binds an existing query object's trace to Debug and returns it.
  TXDS& NewQuery(TXDS& existing);
  // "select * from " + table + " where " + condition, set but not opened. A new object keeps
  // its do-nothing trace.
  std::unique_ptr<TXDS> PrepareSelectWhere(const std::string& table, const std::string& condition);
  TXDS& PrepareSelectWhere(TXDS& existing, const std::string& table, const std::string& condition);

  // The database server's current date and time (01/01/1900 when it answers nothing).
  double ServerDate();

  // Transactions of the named project. An unknown name raises EDatabaseError.
  void StartTransaction(const std::string& projectName);
  void Commit(const std::string& projectName);
  void Rollback(const std::string& projectName);
  // Makes what the current project's connection committed survive a power cut (commits
  // need not sync the disk one by one). Raises EDatabaseError when the disk refuses.
  void MakeDurable();

  // A failure's message with the database it came from before it ("the database file F: "
  // of an "access" project, "the database D: " of a "postgre" one), unless it names it
  // already or no database is known yet.
  std::string WithDatabase(const std::string& message) const;

  // Drops the connection of the named project (nothing when unknown or not connected).
  void DisconnectProject(const std::string& projectName);

  // ---- Connection numbers and record ids (uConnectNo.cpp) ----
  bool AcquireConnectNo();
  bool GateClose();
  void GateOpen();
  // The next record id of the project: site number, connection number (4 digits) and
  // counter (9 digits) as one whole number; advances and saves the counter.
  long double NewRecordId(TProjectRecord& record);
  void SaveLastNumber(TProjectRecord& record);
  // The date and time that SaveLastNumber writes: the server's date, read once a minute
  // rather than for every id.
  double RecordIdDate();
  void ReleaseConnectNo();

  // The decimal digits of a record id (exact; never in exponent form).
  static std::string RecordIdToStr(long double id);

  // ---- Steps of Connect, open for the views and tests that need them ----
  void ConnectAccess();
  void ConnectOracle();
  // The "postgre" kind on a PostgreSQL server: user Project, database DbName.
  void ConnectPostgre();
  // Points the data source at the project's database file; answers that file (empty when
  // the data source is missing).
  std::string SetAccessDSN(const std::string& project);
  void FindServerPath();
  void LoadControl();

  std::unique_ptr<TXDS> CnoQuery;
  std::unique_ptr<TXDS> FreeQuery;
  std::unique_ptr<TXDS> InsertQuery;
  std::unique_ptr<TXDS> UtilityQuery;
  std::unique_ptr<TXDS> ServerDateQuery;
  TTransactionDesc TransDesc;
  std::string OraUser, OraDatabase, OraPassword;
  std::string ErrorText;
  // The connection on which the last transaction was started, per access layer.
  std::shared_ptr<TDbBackend> SqlConnInTrans, AdoConnInTrans, BdeDbInTrans;
  std::unique_ptr<TPConnect> Projects;
  TProjectRecord* Current = nullptr;
  // The trace writer, set by the owner before Connect; not owned.
  TDoDebug* Debug = nullptr;
  // "Unable to connect." and the other message boxes of connecting.
  TMessageBoxProc OnMessageBox;

 private:
  TTraceProc TraceHook();
  void Trace(const std::string& text);
  void ShowMessage(const std::string& text);
  TProjectRecord& ProjectForTransaction(const std::string& projectName, const char* message);
  // The record's counter when a transaction begins, and back to it when the transaction
  // ends without a commit.
  static void KeepCounter(TProjectRecord& record);
  static void RestoreCounter(TProjectRecord& record);
  // The counter after a transaction that ended before Commit or Rollback ended it: taken
  // back only where the counter's row shows that its saves were undone.
  void SettleCounter(TProjectRecord& record);
  std::unique_ptr<TXDS> MakeQuery();

  // The file of an "access" project, once found, and why the last GateClose failed: both
  // name the cause of a failed connect.
  std::string accessFile_;
  std::string gateFailure_;
  // "Unable to connect." was shown in this connect: once is enough.
  bool unableShown_ = false;

  double idDate_ = 0;
  std::chrono::steady_clock::time_point idDateReadAt_;
  bool idDateRead_ = false;
};

}  // namespace v7
