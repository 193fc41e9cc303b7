// Cutting a text of several statements as the PostgreSQL server reads it (see uPgSplit.h).
#include "uPgSplit.h"

#include <algorithm>
#include <cctype>

#include "uSqlTokens.h"

namespace v7 {

namespace {

// The words of the statement being read, as far as they tell whether it makes a routine:
// only in the "begin atomic ... end" body of one is a ";" part of the statement.
class TRoutineBody {
 public:
  void Reset() {
    words_ = 0;
    routine_ = begin_ = false;
    depth_ = 0;
  }
  // A token outside parentheses; false when the statement may be read otherwise.
  bool Token(const TSqlToken& t) {
    if (begin_) {
      // "begin" opens a body only with "atomic"; else it is a name ("create function
      // begin()") that a reader of keywords would take for a body.
      begin_ = false;
      if (t.Kind != 'w' || t.Text != "atomic") return false;
      depth_ = 1;
      return true;
    }
    if (t.Kind != 'w') return true;
    const std::string& w = t.Text;
    if (words_ < 4) {
      lead_[words_++] = w;
      routine_ = lead_[0] == "create" &&
                 (IsRoutine(lead_[1]) ||
                  (lead_[1] == "or" && lead_[2] == "replace" && IsRoutine(lead_[3])));
    }
    if (!routine_) return true;
    if (depth_ == 0) {
      begin_ = w == "begin";
    } else if (w == "case") {  // ends with "end" too
      ++depth_;
    } else if (w == "end") {
      --depth_;
    }
    return true;
  }
  bool Inside() const { return depth_ > 0 || begin_; }

 private:
  static bool IsRoutine(const std::string& w) { return w == "function" || w == "procedure"; }
  std::string lead_[4];
  int words_ = 0;
  bool routine_ = false;
  bool begin_ = false;  // a "begin" was read where a body may open
  int depth_ = 0;
};

bool MentionsStandardStrings(const std::string& sql) {
  static const std::string kName = "standard_conforming_strings";
  return std::search(sql.begin(), sql.end(), kName.begin(), kName.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         }) != sql.end();
}

}  // namespace

TPgStatements CutPgStatements(const std::string& sql, bool standardStrings) {
  TPgStatements out;
  // Backslashes in '...' are read as escapes where the setting is off, and the text may
  // turn it off itself.
  const bool escapesMayDiffer = !standardStrings || MentionsStandardStrings(sql);
  size_t start = 0;
  bool content = false;  // the statement holds more than blanks and comments
  int parens = 0;
  TRoutineBody body;
  body.Reset();
  TSqlLexer lexer(sql, TSqlDialect::Postgres);
  TSqlToken t;
  while (lexer.Next(t)) {
    if (t.Kind == 'p' && t.Text[0] == ';' && parens == 0 && !body.Inside()) {
      if (content) out.Pieces.push_back(sql.substr(start, t.B - start));
      start = t.E;
      content = false;
      body.Reset();
      continue;
    }
    content = true;
    if (t.Open || (t.Backslash && escapesMayDiffer)) out.Sure = false;
    if (parens == 0 && !body.Token(t)) out.Sure = false;
    if (t.Kind == 'p' && t.Text[0] == '(') ++parens;
    if (t.Kind == 'p' && t.Text[0] == ')' && parens > 0) --parens;
  }
  if (lexer.OpenComment()) out.Sure = false;
  if (content) out.Pieces.push_back(sql.substr(start));
  return out;
}

std::vector<std::string> SplitPgStatements(const std::string& sql) {
  return CutPgStatements(sql, true).Pieces;
}

std::vector<size_t> PgStatementStarts(const std::string& sql) {
  std::vector<size_t> starts{0};
  for (size_t i = sql.find(';'); i != std::string::npos; i = sql.find(';', i + 1))
    starts.push_back(i + 1);
  return starts;
}

}  // namespace v7
