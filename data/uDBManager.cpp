// The connection manager (see uDBManager.h): connecting a project, its dialect, the control
// values, query objects, transactions and the server date. Connection numbers and record
// ids are in uConnectNo.cpp.
#include "uDBManager.h"

#include <cctype>
#include <filesystem>

#include "uIniFile.h"
#include "uPgBackend.h"
#include "uRegistry.h"
#include "uSqliteBackend.h"

namespace v7 {

namespace {

const char kServerKey[] = "SOFTWARE\\STELLOCK\\QUOREX";
const char kDataSourceKey[] = "SOFTWARE\\ODBC\\ODBC.INI\\DOZOVUZOVADOVEV";
const char kDataSourceName[] = "DozovuZovadoVEV";
const char kUnableToConnect[] = "Unable to connect.";
const char kImproperProject[] = "Improper Project Name";
const char kImproperDatabase[] = "Improper Database Name";
const char kOraclePassword[] = "kib";  // the same for every Oracle project

// The SQL dialect of each database kind; any other kind leaves the dialect as it was.
struct TDialect {
  const char* Kind;
  const char* CurrencyTable;
  const char* LowerFunc;
  const char* DateFormat;
  const char* ServerDateSql;
};
const TDialect kDialects[] = {
    {"access", "\"currency\"", "lcase", "dd/mm/yyyy", "Select now() as sdt from dual"},
    {"oracle", "currency", "lower", "dd/mm/yy", "Select sysdate as sdt from dual"},
    {"mysql", "currency", "lower", "yyyy/mm/dd", "Select sysdate() as sdt from dual"},
    {"postgre", "currency", "lower", "dd/mm/yyyy", "Select now() as sdt from dual"},
};

// The project name names the connection, so it must be an identifier.
bool IsIdentifier(const std::string& name) {
  if (name.empty()) return false;
  if (std::isdigit(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

void CheckConnectionName(const std::string& name) {
  if (!IsIdentifier(name))
    throw EDatabaseError("\"" + name +
                         "\" is not a valid project name: letters, digits and \"_\", not "
                         "starting with a digit");
}

bool HoldsSeparator(const std::string& path) {
  return path.find('\\') != std::string::npos || path.find('/') != std::string::npos;
}

}  // namespace

TDBManager::TDBManager() : Projects(std::make_unique<TPConnect>()) {}

TDBManager::~TDBManager() {
  while (Projects && !Projects->Records.empty()) {
    // Work left open by a failed caller is dropped before the number is given back, so
    // that the release is not rolled back with it when the connection closes.
    if (Current && Current->Connection && Current->Connection->InTransaction()) {
      try {
        Current->Connection->Rollback();
      } catch (const std::exception&) {
        // The connection is dropped next, which ends the transaction anyway.
      }
      // The release finds the counter the row holds once the open work is undone.
      RestoreCounter(*Current);
    } else if (Current && Current->Connection) {
      SettleCounter(*Current);
    }
    ReleaseConnectNo();
    CnoQuery.reset();
    UtilityQuery.reset();
    ServerDateQuery.reset();
    FreeQuery.reset();
    InsertQuery.reset();
    std::string name = Projects->Records.front()->Name;
    DisconnectProject(name);
    Projects->RemoveProject(name);
    if (!Projects->Records.empty() && Projects->Records.front()->Name == name) {
      // A name that FindProject cannot match (not trimmed and lower case) goes all the same.
      if (Projects->Current == Projects->Records.front().get()) Projects->Current = nullptr;
      Projects->Records.erase(Projects->Records.begin());
    }
    Current = Projects->Current;
  }
}

TTraceProc TDBManager::TraceHook() {
  if (!Debug) return {};
  return Debug->TraceProc();
}

void TDBManager::Trace(const std::string& text) {
  if (Debug) Debug->Write(text);
}

void TDBManager::ShowMessage(const std::string& text) {
  if (OnMessageBox) OnMessageBox(text);
}

// ---------------------------------------------------------------- connect

bool TDBManager::Connect(const std::string& projectName) {
  bool result = false;
  if (projectName.empty()) return false;
  try {
    std::string name = LowerStr(TrimStr(projectName));
    Current = Projects->AddProject(name);
    Trace("# 1#Project=" + Current->Project);
    Trace("# 1#Dbtype=" + Current->DbType);
    // A PostgreSQL database name may be a connection string with a password in it.
    Trace("# 1#dbname=" + (Current->DbType == "postgre" ? PgShownConnectionString(Current->DbName)
                                                        : Current->DbName));
    Trace("# 1#driver=" + Current->Driver);
    // Without its section every value reads empty and the failure would only say that no
    // connection was made: name the project and the file that was read.
    const std::string projectFile = AppFolder() + "Dbconnections.ini";
    if (!TIniFile::Load(projectFile).SectionExists(name)) {
      std::error_code ec;
      ErrorText = "The project \"" + name + "\" has no section in " + projectFile +
                  (std::filesystem::exists(projectFile, ec) ? "" : " (the file does not exist)");
      return false;
    }
    // Either would end only at the first statement, with a message that names neither.
    const std::string inFile = " of the project \"" + name + "\" in " + projectFile;
    if (Current->Driver != "ado" && Current->Driver != "dbx" && Current->Driver != "bde") {
      ErrorText =
          "Improper Driver: Driver=" + Current->Driver + inFile + " is none of ado, dbx, bde";
      return false;
    }
    DbKind = Current->DbType;

    const std::string& kind = Current->DbType;
    std::string serverDateSql;
    for (const TDialect& d : kDialects) {
      if (kind != d.Kind) continue;
      CurrencyTable = d.CurrencyTable;
      DbLowerFunc = d.LowerFunc;
      DbDateFormat = d.DateFormat;
      DbDateTemplate = "format(':value', 'dd/mm/yyyy hh:nn:ss')";
      if (kind == "oracle") {
        std::string mask = ReadSetting("ORADateString");
        DbDateTemplate = mask.empty() ? "to_date(':value','dd/mm/yyyy hh:mi:ss AM')"
                                      : "to_date(':value','" + ReplaceAll(mask, "'", "''") + "')";
      }
      serverDateSql = d.ServerDateSql;
    }
    if (kind != "access" && kind != "postgre" && kind != "oracle") {
      ErrorText = "No database connection: DbType=" + kind + inFile +
                  (kind == "mysql" ? " has no connection on this system (access, postgre)"
                                   : " is none of access, postgre, oracle, mysql");
      return false;
    }
    if (kind == "access")
      ConnectAccess();
    else if (kind == "oracle")
      ConnectOracle();
    else if (kind == "postgre")
      ConnectPostgre();
    // Made once the connection is open: a query object works on the connection it was
    // made with.
    ServerDateQuery = NewQuery();
    ServerDateQuery->GetSQL().SetText(serverDateSql);
    Trace("# 1#Opening connection");
    if (ErrorText.empty()) result = AcquireConnectNo();
    if (ErrorText.empty()) LoadControl();
  } catch (const std::exception& e) {
    ErrorText = e.what();
    if (ErrorText.empty()) ErrorText = "Unknown error while connecting";
    // "database is locked", "no such table: CONTROL": an operator with several sites must be
    // told which database.
    ErrorText = WithDatabase(ErrorText);
  } catch (...) {
    ErrorText = "Unknown error while connecting";
  }
  return result;
}

std::string TDBManager::WithDatabase(const std::string& message) const {
  std::string named;
  if (!accessFile_.empty()) {
    std::error_code ec;
    const std::string file = std::filesystem::absolute(accessFile_, ec).string();
    if (message.find(accessFile_) != std::string::npos || message.find(file) != std::string::npos)
      return message;
    named = "the database file " + file;
  } else if (Current && Current->DbType == "postgre" && Current->Connection) {
    const std::string shown = PgShownConnectionString(Current->DbName);
    if (message.find(shown) != std::string::npos) return message;
    named = "the database " + shown;
  } else {
    return message;
  }
  return named + ": " + message;
}

void TDBManager::ConnectAccess() {
  if (Current->Project.empty()) {
    ErrorText = kImproperProject;
    throw EDatabaseError(kImproperProject);
  }
  // The data source is shared by every project on the machine: read back, its file could be
  // the one another client has just pointed it at. The connection opens the file computed
  // for this project, the one the data source was set to.
  const std::string file = SetAccessDSN(Current->Project);
  CheckConnectionName(Current->Name);
  if (file.empty()) {
    std::error_code ec;
    throw EDatabaseError(std::string("Data source name not found: ") + kDataSourceName +
                         " (the file " +
                         std::filesystem::absolute(TRegistry().FileName(), ec).string() +
                         " has no key [" + kDataSourceKey + "])");
  }
  // Opening would make a new, empty database where the file is missing.
  std::error_code ec;
  if (file.empty() || !std::filesystem::is_regular_file(file, ec))
    throw EDatabaseError("Could not find file '" + file + "'.");
  accessFile_ = file;
  auto connection = std::make_shared<TSqliteBackend>();
  connection->Open(file);
  Current->Connection = std::move(connection);
}

std::string TDBManager::SetAccessDSN(const std::string& project) {
  TRegistry registry;
  registry.OpenKey(kServerKey, true);
  std::string serverPath = registry.ReadString("SERVERPATH");
  registry.CloseKey();
  if (serverPath.empty()) {
    FindServerPath();
    registry.OpenKey(kServerKey, true);
    serverPath = registry.ReadString("SERVERPATH");
    registry.CloseKey();
  }
  std::string path = HoldsSeparator(project) ? project : serverPath + project;
  if (registry.OpenKey(kDataSourceKey, false)) {
    // Every client on the machine sets the same value at each connect; an unchanged value
    // is not written again, so that they do not rewrite the shared file all the time.
    if (registry.ReadString("DBQ") != path + ".mdb") registry.WriteString("DBQ", path + ".mdb");
    registry.CloseKey();
    return path + ".mdb";
  }
  if (!unableShown_) ShowMessage(kUnableToConnect);
  return "";
}

void TDBManager::FindServerPath() {
  TRegistry registry;
  if (!registry.OpenKey(kDataSourceKey, false)) {
    ShowMessage(kUnableToConnect);
    unableShown_ = true;
    return;
  }
  std::string dbq = registry.ReadString("DBQ");
  registry.CloseKey();
  size_t cut = dbq.find_last_of("\\/");
  if (cut != std::string::npos) dbq.erase(cut + 1);
  registry.OpenKey(kServerKey, true);
  registry.WriteString("SERVERPATH", dbq);
  registry.CloseKey();
}

void TDBManager::ConnectOracle() {
  if (Current->Project.empty()) {
    ErrorText = kImproperProject;
    throw EDatabaseError(kImproperProject);
  }
  if (Current->DbName.empty()) {
    ErrorText = kImproperDatabase;
    throw EDatabaseError(kImproperDatabase);
  }
  OraUser = Current->Project;
  OraDatabase = Current->DbName;
  OraPassword = kOraclePassword;
  CheckConnectionName(Current->Name);
  throw EDatabaseError("Unable to connect to Oracle database \"" + OraDatabase + "\" as \"" +
                       OraUser + "\": no Oracle client library (OCI) is available on this system");
}

void TDBManager::ConnectPostgre() {
  if (Current->DbName.empty()) {
    ErrorText = kImproperDatabase;
    throw EDatabaseError(kImproperDatabase);
  }
  CheckConnectionName(Current->Name);
  // The project's user and database; server, port and password come from libpq's own
  // environment and password file, as for any PostgreSQL client on the machine.
  auto connection = std::make_shared<TPgBackend>();
  connection->Open(PgConnectionString(Current->Project, Current->DbName));
  Current->Connection = std::move(connection);
}

void TDBManager::LoadControl() {
  std::unique_ptr<TXDS> q = NewQuery();
  const std::string sql = "SELECT * FROM CONTROL";
  q->GetSQL().SetText(sql);
  Trace("# 1#Executing " + sql);
  q->Open();
  // Without its row the site would take the number of a row with an empty siteno, and apply
  // the packets and patches of another site as its own.
  if (q->Eof())
    throw EDatabaseError(
        "The table control of the site database holds no row: the client does not know the "
        "site's number; insert the site's row (scripts/site/ makes it)");
  std::string siteNo = q->FieldByName("siteno").GetAsString();
  Current->SiteNo = siteNo.empty() ? 1 : static_cast<int>(q->Field.GetAsInteger());
  SiteNo = Current->SiteNo;
  if (q->FieldByName("basecurrencyid").GetAsFloat() > 0) {
    std::unique_ptr<TXDS> currency = NewQuery();
    const std::string currencySql = "select maincurr from " + CurrencyTable;
    currency->GetSQL().SetText(currencySql);
    Trace("# 1#Executing " + currencySql);
    currency->Open();
    BaseMainCurr = currency->FieldByName("maincurr").GetAsString();
  }
  DateSeparator = '/';
  Millions = LowerStr(q->FieldByName("millions").GetAsString()) == "t";
  FinYrSt = q->FieldByName("finyrst").GetAsDateTime();
  FinYrEd = q->FieldByName("finyred").GetAsDateTime();
  AFinYrSt = q->FieldByName("afinyrst").GetAsDateTime();
  AFinYrEd = q->FieldByName("afinyred").GetAsDateTime();
  CompanyName = q->FieldByName("companyname").GetAsString();
  DbRep = q->FieldByName("dbrep").GetAsString();
  CrRep = q->FieldByName("crrep").GetAsString();
  DecimalSeparator = '.';
  if (UserName.empty()) UserName = "quorex";
  LocalIdCounter = 1;
  q->Close();
}

// ---------------------------------------------------------------- query objects

std::unique_ptr<TXDS> TDBManager::MakeQuery() {
  if (!Current) throw EDatabaseError("No database project is open");
  auto q = std::make_unique<TXDS>(*Current);
  q->Name = "xds" + FloatToStr(NextLocalId());
  return q;
}

std::unique_ptr<TXDS> TDBManager::NewQuery() {
  auto q = MakeQuery();
  q->Trace = TraceHook();
  return q;
}

TXDS& TDBManager::NewQuery(TXDS& existing) {
  existing.Trace = TraceHook();
  return existing;
}

std::unique_ptr<TXDS> TDBManager::PrepareSelectWhere(const std::string& table,
                                                     const std::string& condition) {
  auto q = MakeQuery();
  q->GetSQL().SetText("select * from " + table + " where " + condition);
  return q;
}

TXDS& TDBManager::PrepareSelectWhere(TXDS& existing, const std::string& table,
                                     const std::string& condition) {
  existing.GetSQL().Clear();
  existing.GetSQL().SetText("select * from " + table + " where " + condition);
  return existing;
}

double TDBManager::ServerDate() {
  if (!ServerDateQuery) throw EDatabaseError("No database project is open");
  ServerDateQuery->Open();
  // Both engines answer now() as a date and time (SQLite's Julian day typed by the
  // statement); GetAsDateTime would read a bare Julian day too. An empty answer is
  // 01/01/1900.
  double result = ServerDateQuery->FieldByName("sdt").GetAsDateTime();
  ServerDateQuery->Close();
  return result;
}

// ---------------------------------------------------------------- transactions

TProjectRecord& TDBManager::ProjectForTransaction(const std::string& projectName,
                                                  const char* message) {
  TProjectRecord* record = Projects->FindProject(projectName);
  if (!record) {
    ErrorText = message;
    throw EDatabaseError(message);
  }
  Current = record;
  Projects->Current = record;
  if (!record->Connection) throw EDatabaseError("No database connection");
  return *record;
}

void TDBManager::StartTransaction(const std::string& projectName) {
  TProjectRecord& p =
      ProjectForTransaction(projectName, "Invalid project name in StartTransaction.");
  if (p.Driver == "ado") {
    AdoConnInTrans = p.Connection;
    AdoConnInTrans->StartTransaction();
  } else {
    TransDesc = TTransactionDesc{};
    TransDesc.TransactionID = 1;
    TransDesc.IsolationLevel = 0;
    if (p.Driver == "dbx") {
      SqlConnInTrans = p.Connection;
      SqlConnInTrans->StartTransaction();
    } else {
      BdeDbInTrans = p.Connection;
      BdeDbInTrans->StartTransaction();
    }
  }
  KeepCounter(p);
}

void TDBManager::Commit(const std::string& projectName) {
  TProjectRecord& p =
      ProjectForTransaction(projectName, "Invalid project name in DbAccess.SetProjectName.");
  if (p.CounterKept && !p.Connection->InTransaction()) {
    // The transaction this manager began ended before its commit: what ran after that end
    // was kept statement by statement, which is no commit of the whole.
    p.Connection->Rollback();  // none open: the connection only forgets the transaction
    SettleCounter(p);
    throw EDatabaseError(kTransactionEndedEarly, "COMMIT");
  }
  try {
    p.Connection->Commit();
  } catch (...) {
    // A commit the server refused ended the transaction without it (PostgreSQL), and so
    // does one refused for a statement that tried to end it; one that left it open is
    // rolled back by the caller.
    if (!p.Connection->InTransaction()) RestoreCounter(p);
    throw;
  }
  p.CounterKept = false;
}

void TDBManager::Rollback(const std::string& projectName) {
  TProjectRecord& p =
      ProjectForTransaction(projectName, "Invalid project name in DbAccess.SetProjectName.");
  // Only the three known layers roll back; with none open nothing happens.
  if (p.Driver != "ado" && p.Driver != "dbx" && p.Driver != "bde") return;
  if (!p.Connection->InTransaction()) {
    // Nothing to roll back, so nothing goes back: a transaction that ended before its end
    // was called for may have kept the ids issued since.
    p.Connection->Rollback();
    SettleCounter(p);
    return;
  }
  try {
    p.Connection->Rollback();
  } catch (...) {
    // The transaction is over either way: the server drops it with a failed rollback.
    RestoreCounter(p);
    throw;
  }
  RestoreCounter(p);
}

void TDBManager::KeepCounter(TProjectRecord& record) {
  record.LastNumberAtStart = record.LastNumber;
  record.SavedNumberAtStart = record.SavedNumber;
  record.CounterKept = true;
}

void TDBManager::RestoreCounter(TProjectRecord& record) {
  if (!record.CounterKept) return;
  // The rollback took the counter's row back to where the transaction found it. Left ahead
  // of the row, the record would make every later save of the counter look like a takeover.
  // Taken back with it, the connection is as good as before the undone work: its ids are
  // issued again (no row keeps them), and a client that took the number over meanwhile
  // still shows in the row.
  record.LastNumber = record.LastNumberAtStart;
  record.SavedNumber = record.SavedNumberAtStart;
  record.CounterKept = false;
}

void TDBManager::SettleCounter(TProjectRecord& record) {
  if (!record.CounterKept) return;
  record.CounterKept = false;
  // The transaction ended before the manager ended it. Each save of the counter since then
  // was kept on its own, so the row tells how far the counter got: the record's last save
  // (saves were kept), the start (the end undid them, and none followed), or another
  // client's value, which the next save reports as a takeover.
  try {
    std::unique_ptr<TXDS> q = NewQuery();
    q->GetSQL().SetText("select lastnumber from connectinfo where connectno = " +
                        std::to_string(record.ConnectNo));
    q->Open();
    const bool undone = !q->IsEmpty() &&
                        static_cast<long double>(q->FieldByName("lastnumber").GetAsFloat()) ==
                            record.SavedNumberAtStart &&
                        record.SavedNumberAtStart != record.SavedNumber;
    q->Close();
    if (!undone) return;
  } catch (const std::exception&) {
    // Unread, the counter stays ahead: an id is never issued twice, at worst the next save
    // reports the number lost.
    return;
  }
  record.CounterKept = true;
  RestoreCounter(record);
}

void TDBManager::MakeDurable() {
  if (Current && Current->Connection && Current->Connection->IsOpen())
    Current->Connection->MakeDurable();
}

void TDBManager::DisconnectProject(const std::string& projectName) {
  TProjectRecord* record = Projects->FindProject(projectName);
  if (!record || !record->Connection) return;
  if (AdoConnInTrans == record->Connection) AdoConnInTrans.reset();
  if (SqlConnInTrans == record->Connection) SqlConnInTrans.reset();
  if (BdeDbInTrans == record->Connection) BdeDbInTrans.reset();
  record->Connection->Close();
  record->Connection.reset();
}

}  // namespace v7
