// SQL functions over named result sets: firesql runs a statement on a cached query object
// kept under "Expr_" + name; sqlget, findrecord and getdelimitedstr read it by name later.
#include "uExprSql.h"

#include <stdexcept>

#include "UParse.h"
#include "uDBManager.h"
#include "uValues.h"
#include "uXDS.h"

namespace v7 {

namespace {

const char* const kSqlGetError = "Unable to Evaluate an expression : SQLGet";

std::shared_ptr<TXDS> FindExprQuery(const std::vector<std::shared_ptr<TXDS>>& queries,
                                    const std::string& setName) {
  const std::string name = kExprQueryPrefix + setName;
  for (const auto& q : queries)
    if (q && q->Name == name) return q;
  return nullptr;
}

bool ValidComponentName(const std::string& name) {
  if (name.empty()) return false;
  const unsigned char first = static_cast<unsigned char>(name[0]);
  if (first >= '0' && first <= '9') return false;
  for (unsigned char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool IsInsideSqlLiteral(std::string_view sql, size_t pos) {
  // A doubled quote inside a literal closes and reopens it at once, which leaves the
  // characters after it inside: a plain toggle per quote gives the right answer.
  bool inside = false;
  for (size_t i = 0; i < pos && i < sql.size(); ++i) {
    if (sql[i] == '\'') inside = !inside;
  }
  return inside;
}

std::string DoubleSqlQuotes(std::string_view text) {
  std::string r;
  r.reserve(text.size() + 2);
  for (char c : text) {
    if (c == '\'') r += '\'';
    r += c;
  }
  return r;
}

std::string SqlMacroValue(std::string_view sql, size_t pos, std::string_view value) {
  return IsInsideSqlLiteral(sql, pos) ? DoubleSqlQuotes(value) : std::string(value);
}

bool TEVAL::IsSelectStatement(const std::string& sql) {
  return AsciiLower(TrimText(sql).substr(0, 6)) == "select";
}

void TEVAL::FireSql(const std::string& setName, const std::string& sql) {
  Trace("# 1#Firing sql " + sql);
  std::shared_ptr<TXDS> query = FindExprQuery(ExprQueries, setName);
  Trace("# 1#1");
  if (!query) {
    const std::string name = kExprQueryPrefix + setName;
    if (!ValidComponentName(name)) {
      throw std::invalid_argument("'" + name + "' is not a valid component name");
    }
    if (!DBManager) throw std::runtime_error("No database is open for firesql " + setName);
    query = std::shared_ptr<TXDS>(DBManager->NewQuery());
    query->Name = name;
    query->SetCached(true);
    ExprQueries.push_back(query);
  }
  Trace("# 1#2");
  query->Close();
  query->UnbindParams();
  query->GetSQL().SetText(sql);
  Trace("# 1#3");
  PrepareExprQuery(*query);
  Trace("# 1#4");
  NoteScriptStatement(sql);
  if (IsSelectStatement(sql)) {
    query->Open();
  } else {
    query->ExecSQL();
  }
  Trace("# 1#5");
}

void TEVAL::PrepareExprQuery(TXDS& query) {
  const std::string text = query.GetSQL().Text();
  if (text.find('{') != std::string::npos) query.GetSQL().SetText(ExpandSqlMacros(text));
  const std::vector<std::string> names = query.GetParamNames();
  for (size_t i = 0; i < names.size(); ++i) {
    std::string value;
    GetVar(names[i], value);
    if (LastVarType == "n" && value.empty()) value = "0";
    query.SetParamValue(static_cast<int>(i), value, LastVarType);
  }
}

std::string TEVAL::ExpandSqlMacros(const std::string& sql) {
  std::string text = sql;
  // Each search starts where the last macro stood: the text before it never changes and
  // holds no "{", so this finds what a search from the beginning finds, and the literal
  // state at that place (inside) stays valid.
  size_t from = 0;
  bool inside = false;
  for (int expansions = 0;; ++expansions) {
    const size_t open = text.find('{', from);
    if (open == std::string::npos) return text;
    // The "}" that closes this macro: one standing before the "{" closes nothing.
    const size_t close = text.find('}', open + 1);
    if (close == std::string::npos) throw std::runtime_error("Invalid sql " + text);
    // Inserted values are expanded too; a value that brings back its own macro would
    // expand for ever.
    if (expansions >= kMaxSqlMacroExpansions) {
      throw std::runtime_error("Invalid sql " + sql + " : its macros expand without end");
    }
    for (; from < open; ++from) {
      if (text[from] == '\'') inside = !inside;
    }
    std::string value;
    GetVar(text.substr(open + 1, close - open - 1), value);
    // Document values come from other sites: inside a literal a quote of theirs must not
    // end it.
    text.replace(open, close - open + 1, inside ? DoubleSqlQuotes(value) : value);
  }
}

void TEVAL::SqlGet(const std::string& setName, const std::string& fieldName, std::string& result) {
  const std::shared_ptr<TXDS> query = FindExprQuery(ExprQueries, setName);
  if (!query) return;
  if (TXField* field = query->FindField(fieldName)) result = field->Value;
}

void TEVAL::FindRecord(const std::string& setName, const std::string& fieldName,
                       const std::string& value, std::string& result) {
  const std::shared_ptr<TXDS> query = FindExprQuery(ExprQueries, setName);
  if (!query) return;
  if (query->GetSQL().Text().empty()) throw std::runtime_error(kSqlGetError);
  TXField* field = query->FindField(fieldName);
  if (!field) throw std::runtime_error(kSqlGetError + fieldName);
  bool found;
  if (field->DataType == ftInteger || field->DataType == ftFloat) {
    // Exactly, as record ids are read: an id of 16 digits finds its own row.
    found = query->LocateFloat(fieldName, ParseRecordIdText(value));
  } else {
    found = query->Locate(fieldName, value, false);
  }
  result = found ? "T" : "F";
}

void TEVAL::GetDelimitedStr(const std::string& setName, const std::string& fieldName,
                            const std::string& delimiter, std::string& result) {
  result.clear();
  const std::shared_ptr<TXDS> query = FindExprQuery(ExprQueries, setName);
  if (!query || !query->FindField(fieldName)) return;
  const std::string delim = delimiter.empty() ? "," : delimiter;
  query->First();
  while (!query->Eof()) {
    result += query->FieldByName(fieldName).Value + delim;
    query->Next();
  }
  // One character goes, whatever the delimiter's length: "a; b; " ends as "a; b;".
  if (!result.empty()) result.pop_back();
}

void TEVAL::CloseExprQueries() {
  for (const auto& q : ExprQueries)
    if (q) q->Close();
}

}  // namespace v7
