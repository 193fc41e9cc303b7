// The row buffer of the query object: typed column values turned into one generated insert,
// update or delete in the dialect of the open project, run the way the access layer runs it.
#include <cctype>

#include "uXDS.h"

namespace v7 {

namespace {

// Appends the text with every "'" doubled: the form it takes inside a quoted literal.
void AppendDoubled(std::string& out, const std::string& s) {
  size_t start = 0;
  for (size_t q = s.find('\''); q != std::string::npos; q = s.find('\'', start)) {
    out.append(s, start, q + 1 - start);
    out += '\'';
    start = q + 1;
  }
  out.append(s, start, std::string::npos);
}

std::string Doubled(const std::string& s) {
  std::string out;
  AppendDoubled(out, s);
  return out;
}

void DropLastComma(std::string& s) {
  if (!s.empty() && s.back() == ',') s.pop_back();
}

// ADO statements and Access deletes run up to this many times less one.
constexpr int kAttemptLimit = 100;
// Of those, attempts that waited out the lock wait of the engine: another attempt waits
// again, so they are few, and one statement waits at most this many times kLockWaitMs.
constexpr int kLockedAttemptLimit = 3;

}  // namespace

void TXDS::SetValue(const std::string& name, const std::string& value, const std::string& type) {
  // The name goes into the statement text as it is, so it must be a plain column name.
  bool identifier = !name.empty();
  for (char c : name)
    identifier = identifier && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
  if (!identifier)
    throw EDatabaseError("'" + name + "' is not a valid column name: letters, digits and \"_\"");
  // A NUL would end the statement text inside the literal; no engine stores it in a text.
  if (value.find('\0') != std::string::npos)
    throw EDatabaseError("The value of column '" + name + "' holds a NUL character");
  // The letter decides how the value is written, so it alone decides whether the value goes
  // through the date template: a type such as "Date" must not put its value into the
  // statement unquoted.
  const char letter =
      type.empty() ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(type[0])));
  std::string v;
  if (letter == 'd' && !value.empty()) {
    // The template puts the value inside a quoted literal: its quotes are doubled so that
    // no value can end the literal early.
    const std::string pattern = DbDateTemplate.empty() ? "':value'" : DbDateTemplate;
    v = ReplaceAll(pattern, ":value", Doubled(value));
  } else {
    // A back-quote needs nothing: inside a quoted literal it is an ordinary character and
    // is stored as it was given.
    v = value;
  }
  std::string n = name;
  for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (size_t i = 0; i < Names.size(); ++i) {
    if (Names[i] == n) {
      Values[i] = std::move(v);
      TypeCodes[i] = letter;
      return;
    }
  }
  Names.push_back(std::move(n));
  Values.push_back(std::move(v));
  TypeCodes.push_back(letter);
}

void TXDS::ClearValues() {
  Names.clear();
  Values.clear();
  TypeCodes.clear();
  PendingUpdate = false;
  PendingTable.clear();
  PendingWhere.clear();
}

void TXDS::BuildValueLists() {
  ColumnList.clear();
  ValueList.clear();
  SetList.clear();
  // PostgreSQL reads no number from '': an empty number is written as null by an update
  // too, as an insert writes it everywhere.
  const bool nullEmptyNumber = dbType_ == "postgre";
  for (size_t i = 0; i < Names.size(); ++i) {
    const std::string& name = Names[i];
    const std::string& value = Values[i];
    const char letter = TypeCodes[i];
    ColumnList += name;
    ColumnList += ',';
    SetList += name;
    SetList += '=';
    if (value.empty() && (letter == 'd' || (letter == 'n' && nullEmptyNumber))) {
      ValueList += "null,";
      SetList += "null,";
    } else if (letter == 'd') {
      // The template's expression, unquoted.
      ValueList += value;
      ValueList += ',';
      SetList += value;
      SetList += ',';
    } else {
      // An empty value is null in an insert but the empty text in an update.
      if (value.empty()) {
        ValueList += "null,";
      } else {
        ValueList += '\'';
        AppendDoubled(ValueList, value);
        ValueList += "',";
      }
      SetList += '\'';
      AppendDoubled(SetList, value);
      SetList += "',";
    }
  }
}

void TXDS::RunGenerated(const std::string& statement) {
  if (kind_ == DriverKind::Ado) {
    // The ADO command runs generated statements on the connection, untraced.
    if (!connection_) throw EDatabaseError("No database connection", statement);
    connection_->ExecuteSingle(statement);
    return;
  }
  // dbExpress and BDE run them as the driver query's statement, traced. The statement
  // carries its values as literals, so it runs without parameters.
  query_->SQL().SetText(statement);
  TraceStatement(statement);
  if (!connection_) throw EDatabaseError("No database connection", statement);
  // A generated statement is one statement: whatever a value or a name might smuggle in
  // after it never runs.
  connection_->ExecuteSingle(statement);
}

bool TXDS::RunAttempts(const std::function<bool(std::string&)>& buildStatement) {
  int locked = 0;
  for (int attempt = 1;; ++attempt) {
    std::string statement;
    if (!buildStatement(statement)) return false;
    try {
      RunGenerated(statement);
      return true;
    } catch (const EDatabaseLocked&) {
      // A database locked by another program stays locked for longer than a row is worth
      // waiting: the caller gets the failure and the next cycle tries again.
      if (++locked >= kLockedAttemptLimit || attempt + 1 >= kAttemptLimit) throw;
    } catch (const EDatabaseError&) {
      if (attempt + 1 >= kAttemptLimit) throw;
    }
  }
}

void TXDS::PostBuffered(const std::function<bool(std::string&)>& buildStatement) {
  bool posted = false;
  if (kind_ == DriverKind::Ado) {
    // Each attempt lets the owner change the buffer first (a number already taken by
    // another writer, say) and builds the statement again.
    posted = RunAttempts([&](std::string& statement) {
      if (OnBeforePost) OnBeforePost(*this);
      return buildStatement(statement);
    });
  } else {
    std::string statement;
    posted = buildStatement(statement);
    if (posted) RunGenerated(statement);
  }
  if (posted) ClearValues();
}

void TXDS::PostInsert(const std::string& table) {
  CheckDriver();
  const std::string target = kind_ == DriverKind::Ado ? "\"" + table + "\"" : table;
  PostBuffered([&](std::string& statement) {
    BuildValueLists();
    if (ColumnList.empty()) return false;
    DropLastComma(ColumnList);
    DropLastComma(ValueList);
    statement = "insert into " + target + " (" + ColumnList + ") values (" + ValueList + ")";
    return true;
  });
}

void TXDS::PostUpdate(const std::string& table, const std::string& condition) {
  CheckDriver();
  const std::string target = kind_ == DriverKind::Ado ? "\"" + table + "\"" : table;
  PostBuffered([&](std::string& statement) {
    BuildValueLists();
    if (SetList.empty()) return false;
    DropLastComma(SetList);
    statement = "update " + target + " set " + SetList;
    if (!condition.empty()) statement += " where " + condition;
    return true;
  });
}

bool TXDS::RecordExists(const std::string& table, const std::string& condition) {
  CheckDriver();
  const std::string t = dbType_ == "access" ? "\"" + table + "\"" : table;
  query_->SQL().SetText("select * from " + t + " where " + condition);
  bool found = false;
  try {
    query_->Open();
    found = !query_->IsEmpty();
  } catch (...) {
    query_->SQL().Clear();
    throw;
  }
  query_->Close();
  query_->SQL().Clear();
  return found;
}

void TXDS::InsertOrUpdate(const std::string& table, const std::string& condition) {
  // Outside a transaction the check and the write are made one: no other writer comes in
  // between, and the database is locked once for both rather than once for each.
  TDbBackend* db = connection_ ? connection_.get() : nullptr;
  const bool own = db && db->IsOpen() && !db->InTransaction();
  if (own) db->StartTransaction();
  try {
    if (RecordExists(table, condition))
      PostUpdate(table, condition);
    else
      PostInsert(table);
    if (own) db->Commit();
  } catch (...) {
    if (own) {
      try {
        db->Rollback();
      } catch (const std::exception&) {
        // The write's own failure is the one to report.
      }
    }
    throw;
  }
}

void TXDS::DeleteRecords(const std::string& table, const std::string& condition) {
  CheckDriver();
  const std::string where = condition.empty() ? "" : " where " + condition;
  if (dbType_ == "access") {
    const std::string statement = "delete from \"" + table + "\"" + where;
    RunAttempts([&](std::string& s) {
      s = statement;
      return true;
    });
    return;
  }
  RunGenerated("delete from " + table + where);
}

void TXDS::EditRecord(const std::string& table, const std::string& condition) {
  ClearValues();
  PendingUpdate = true;
  PendingTable = table;
  PendingWhere = condition;
}

void TXDS::AppendRecord(const std::string& table) {
  ClearValues();
  PendingInsert = true;
  PendingTable = table;
}

void TXDS::PostRecord() {
  if (PendingUpdate)
    PostUpdate(PendingTable, PendingWhere);
  else if (PendingInsert)
    PostInsert(PendingTable);
  ClearValues();
}

}  // namespace v7
