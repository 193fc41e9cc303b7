// Cutting a text of several statements as the PostgreSQL server reads it (see uPgSplit.h).
#include "uPgSplit.h"

#include <cctype>

#include "uDbBackend.h"

namespace v7 {

namespace {

// Characters of names as the server's lexer reads them: a name starts with a letter, "_" or
// any byte of a non-ASCII letter and goes on with those, digits and "$" ("a$$b$" is one
// name); the tag of a dollar quote is a name without "$".
bool IsNameStart(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalpha(u) || c == '_' || u >= 0x80;
}
bool IsTagChar(char c) { return IsNameStart(c) || std::isdigit(static_cast<unsigned char>(c)); }
bool IsNameChar(char c) { return IsTagChar(c) || c == '$'; }

// The place just past the quote that closes the literal or name opened at open; a doubled
// quote stays inside it, and so, with escapes (E'...'), does a character after a backslash.
size_t SkipQuoted(const std::string& s, size_t open, bool escapes) {
  const char quote = s[open];
  size_t i = open + 1;
  while (i < s.size()) {
    if (escapes && s[i] == '\\') {
      i += 2;
    } else if (s[i] != quote) {
      ++i;
    } else if (i + 1 < s.size() && s[i + 1] == quote) {
      i += 2;
    } else {
      return i + 1;
    }
  }
  return s.size();
}

// The place just past a dollar-quoted literal ($$...$$, $tag$...$tag$) or a parameter ($1)
// that starts with the "$" at i; i + 1 when it is neither.
size_t SkipDollar(const std::string& s, size_t i) {
  size_t j = i + 1;
  if (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
    while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
    return j;
  }
  if (j < s.size() && IsNameStart(s[j]))
    while (j < s.size() && IsTagChar(s[j])) ++j;
  if (j >= s.size() || s[j] != '$') return i + 1;
  const std::string tag = s.substr(i, j + 1 - i);
  const size_t close = s.find(tag, j + 1);
  return close == std::string::npos ? s.size() : close + tag.size();
}

std::string Lower(const std::string& s, size_t from, size_t to) {
  std::string w(s, from, to - from);
  for (char& c : w) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return w;
}

// The words of the statement being read, as far as they tell whether it makes a routine:
// only there is a ";" between "begin" (atomic) and its "end" part of the body.
class TRoutineBody {
 public:
  void Reset() {
    words_ = 0;
    routine_ = false;
    depth_ = 0;
  }
  // A word outside parentheses.
  void Word(const std::string& w) {
    if (words_ < 4) {
      lead_[words_++] = w;
      routine_ = lead_[0] == "create" &&
                 (IsRoutine(lead_[1]) ||
                  (lead_[1] == "or" && lead_[2] == "replace" && IsRoutine(lead_[3])));
    }
    if (!routine_) return;
    // "case" ends with "end" too; it counts only inside a body.
    if (w == "begin" || (w == "case" && depth_ > 0))
      ++depth_;
    else if (w == "end" && depth_ > 0)
      --depth_;
  }
  bool Inside() const { return depth_ > 0; }

 private:
  static bool IsRoutine(const std::string& w) { return w == "function" || w == "procedure"; }
  std::string lead_[4];
  int words_ = 0;
  bool routine_ = false;
  int depth_ = 0;
};

}  // namespace

std::vector<std::string> SplitPgStatements(const std::string& sql) {
  std::vector<std::string> statements;
  const size_t n = sql.size();
  size_t start = 0;
  bool content = false;  // the statement holds more than blanks and comments
  int parens = 0;
  TRoutineBody body;
  body.Reset();
  size_t i = 0;
  while (i < n) {
    const char c = sql[i];
    const size_t past = SkipSqlComment(sql, i, true);
    if (past != i) {
      i = past;
      continue;
    }
    if (c == ';' && parens == 0 && !body.Inside()) {
      if (content) statements.push_back(sql.substr(start, i - start));
      start = ++i;
      content = false;
      body.Reset();
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    content = true;
    if (IsNameStart(c)) {
      size_t end = i + 1;
      while (end < n && IsNameChar(sql[end])) ++end;
      if (end - i == 1 && (c == 'e' || c == 'E') && end < n && sql[end] == '\'') {
        i = SkipQuoted(sql, end, true);  // E'...': backslashes escape
        continue;
      }
      if (parens == 0) body.Word(Lower(sql, i, end));
      i = end;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      while (i < n &&
             (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_' || sql[i] == '.'))
        ++i;
    } else if (c == '\'' || c == '"') {
      i = SkipQuoted(sql, i, false);
    } else if (c == '$') {
      i = SkipDollar(sql, i);
    } else {
      if (c == '(') ++parens;
      if (c == ')' && parens > 0) --parens;
      ++i;
    }
  }
  if (content) statements.push_back(sql.substr(start));
  return statements;
}

}  // namespace v7
