// The row buffer of the query object: typed column values turned into one generated insert,
// update or delete in the dialect of the open project, run the way the access layer runs it.
#include <cctype>

#include "uXDS.h"

namespace v7 {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Doubled(const std::string& s) { return ReplaceAll(s, "'", "''"); }

void DropLastComma(std::string& s) {
  if (!s.empty() && s.back() == ',') s.pop_back();
}

// ADO statements and Access deletes run up to this many times less one.
constexpr int kAttemptLimit = 100;

}  // namespace

void TXDS::SetValue(const std::string& name, const std::string& value, const std::string& type) {
  // A NUL would end the statement text inside the literal; no engine stores it in a text.
  if (value.find('\0') != std::string::npos)
    throw EDatabaseError("The value of column '" + name + "' holds a NUL character");
  const std::string t = Lower(type);
  std::string v = value;
  // A back-quote needs nothing: inside a quoted literal it is an ordinary character and is
  // stored as it was given.
  if (t == "d" && !v.empty()) {
    // The template puts the value inside a quoted literal: its quotes are doubled so that
    // no value can end the literal early.
    v = DbDateTemplate.empty() ? "'" + Doubled(v) + "'"
                               : ReplaceAll(DbDateTemplate, ":value", Doubled(v));
  }
  const std::string n = Lower(name);
  const char letter = t.empty() ? ' ' : t[0];
  for (size_t i = 0; i < Names.size(); ++i) {
    if (Names[i] == n) {
      Values[i] = v;
      TypeCodes[i] = letter;
      return;
    }
  }
  Names.push_back(n);
  Values.push_back(v);
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
  for (size_t i = 0; i < Names.size(); ++i) {
    const std::string& name = Names[i];
    const std::string& value = Values[i];
    ColumnList += name + ",";
    if (TypeCodes[i] == 'd') {
      const std::string v = value.empty() ? "null" : value;
      ValueList += v + ",";
      SetList += name + "=" + v + ",";
    } else {
      const std::string e = Doubled(value);
      ValueList += value.empty() ? "null," : "'" + e + "',";
      SetList += name + "='" + e + "',";
    }
  }
}

void TXDS::RunGenerated(const std::string& statement) {
  if (kind_ == DriverKind::Ado) {
    // The ADO command runs generated statements on the connection, untraced.
    if (!connection_) throw EDatabaseError("No database connection", statement);
    connection_->Execute(statement);
    return;
  }
  // dbExpress and BDE run them as the driver query's statement, traced. The statement
  // carries its values as literals, so it runs without parameters.
  query_->SQL().SetText(statement);
  TraceStatement(statement);
  if (!connection_) throw EDatabaseError("No database connection", statement);
  connection_->Execute(statement);
}

void TXDS::RunAttempts(const std::function<bool(std::string&)>& buildStatement) {
  for (int attempt = 1;; ++attempt) {
    std::string statement;
    if (!buildStatement(statement)) return;
    try {
      RunGenerated(statement);
      return;
    } catch (const EDatabaseError&) {
      if (attempt + 1 >= kAttemptLimit) throw;
    }
  }
}

void TXDS::PostInsert(const std::string& table) {
  CheckDriver();
  if (kind_ == DriverKind::Ado) {
    const std::string quoted = "\"" + table + "\"";
    bool posted = false;
    RunAttempts([&](std::string& statement) {
      if (OnBeforePost) OnBeforePost(*this);
      BuildValueLists();
      if (ColumnList.empty()) return false;
      DropLastComma(ColumnList);
      DropLastComma(ValueList);
      statement = "insert into " + quoted + " (" + ColumnList + ") values (" + ValueList + ")";
      posted = true;
      return true;
    });
    if (posted) ClearValues();
    return;
  }
  BuildValueLists();
  if (ColumnList.empty()) return;
  DropLastComma(ColumnList);
  DropLastComma(ValueList);
  RunGenerated("insert into " + table + " (" + ColumnList + ") values (" + ValueList + ")");
  ClearValues();
}

void TXDS::PostUpdate(const std::string& table, const std::string& condition) {
  CheckDriver();
  const std::string where = condition.empty() ? "" : " where " + condition;
  if (kind_ == DriverKind::Ado) {
    const std::string quoted = "\"" + table + "\"";
    bool posted = false;
    RunAttempts([&](std::string& statement) {
      if (OnBeforePost) OnBeforePost(*this);
      BuildValueLists();
      if (SetList.empty()) return false;
      DropLastComma(SetList);
      statement = "update " + quoted + " set " + SetList + where;
      posted = true;
      return true;
    });
    if (posted) ClearValues();
    return;
  }
  BuildValueLists();
  if (SetList.empty()) return;
  DropLastComma(SetList);
  RunGenerated("update " + table + " set " + SetList + where);
  ClearValues();
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
  if (RecordExists(table, condition))
    PostUpdate(table, condition);
  else
    PostInsert(table);
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
