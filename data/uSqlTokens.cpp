// Reading SQL text into tokens (see uSqlTokens.h).
#include "uSqlTokens.h"

#include <algorithm>
#include <cctype>

#include "uDbBackend.h"

namespace v7 {

namespace {

// A character of a word as both engines read words: besides letters, digits and "_", "$"
// and every byte of a non-ASCII letter ("a$$b$" is one name).
bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}
// PostgreSQL starts a name with a letter, "_" or a non-ASCII byte; the tag of a dollar quote
// is such a name without "$".
bool IsNameStart(char c) {
  const auto u = static_cast<unsigned char>(c);
  return std::isalpha(u) || c == '_' || u >= 0x80;
}
bool IsTagChar(char c) { return IsNameStart(c) || std::isdigit(static_cast<unsigned char>(c)); }
bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

std::string Lower(const std::string& s, size_t from, size_t to) {
  std::string w(s, from, to - from);
  for (char& c : w) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return w;
}

}  // namespace

// A literal or quoted name opened at open: a doubled quote stays inside it, and so, with
// escapes, does the character after a backslash.
void TSqlLexer::Quoted(TSqlToken& t, size_t open, bool escapes) {
  const char quote = sql_[open];
  const char close = quote == '[' ? ']' : quote;
  const size_t n = sql_.size();
  size_t i = open + 1;
  t.Open = true;
  while (i < n) {
    const char c = sql_[i];
    if (escapes && c == '\\') {
      i += 2;
    } else if (c == '\\' && quote == '\'') {
      t.Backslash = true;
      ++i;
    } else if (c != close) {
      ++i;
    } else if (close != ']' && i + 1 < n && sql_[i + 1] == close) {
      i += 2;
    } else {
      t.Open = false;
      break;
    }
  }
  i = std::min(i, n);
  t.Text = quote == '\'' ? sql_.substr(open + 1, i - open - 1) : Lower(sql_, open + 1, i);
  i_ = t.Open ? n : i + 1;
}

bool TSqlLexer::Next(TSqlToken& t) {
  const size_t n = sql_.size();
  while (i_ < n) {
    bool open = false;
    const size_t past = SkipSqlComment(sql_, i_, pg_, &open);
    if (past != i_) {
      openComment_ = openComment_ || open;
      i_ = past;
    } else if (std::isspace(static_cast<unsigned char>(sql_[i_]))) {
      ++i_;
    } else {
      break;
    }
  }
  if (i_ >= n) return false;
  t = TSqlToken{};
  const size_t at = i_;
  const char c = sql_[i_];
  t.B = at;
  if (c == '\'') {
    t.Kind = 's';
    Quoted(t, at, false);
  } else if (c == '"' || (!pg_ && (c == '`' || c == '['))) {
    t.Kind = 'q';
    Quoted(t, at, false);
  } else if (IsDigit(c) || (c == '.' && i_ + 1 < n && IsDigit(sql_[i_ + 1]))) {
    t.Kind = 'n';
    size_t i = i_;
    while (i < n && ((IsWordChar(sql_[i]) && !(pg_ && sql_[i] == '$')) || sql_[i] == '.' ||
                     ((sql_[i] == '+' || sql_[i] == '-') && (sql_[i - 1] | 32) == 'e')))
      ++i;
    t.Text = sql_.substr(at, i - at);
    i_ = i;
  } else if (pg_ ? IsNameStart(c) : IsWordChar(c)) {
    size_t i = i_ + 1;
    while (i < n && IsWordChar(sql_[i])) ++i;
    if (pg_ && i - at == 1 && (c == 'e' || c == 'E') && i < n && sql_[i] == '\'') {
      t.Kind = 's';
      t.Escapes = true;
      Quoted(t, i, true);
    } else {
      t.Kind = 'w';
      t.Text = Lower(sql_, at, i);
      i_ = i;
    }
  } else if (pg_ && c == '$') {
    size_t j = i_ + 1;
    if (j < n && IsDigit(sql_[j])) {
      while (j < n && IsDigit(sql_[j])) ++j;
      t.Kind = 'x';
      t.Text = sql_.substr(at, j - at);
      i_ = j;
    } else {
      if (j < n && IsNameStart(sql_[j]))
        while (j < n && IsTagChar(sql_[j])) ++j;
      if (j < n && sql_[j] == '$') {
        const std::string tag = sql_.substr(at, j + 1 - at);
        const size_t close = sql_.find(tag, j + 1);
        t.Kind = 's';
        t.Open = close == std::string::npos;
        const size_t end = t.Open ? n : close;
        t.Text = sql_.substr(j + 1, end - j - 1);
        i_ = t.Open ? n : close + tag.size();
      } else {
        t.Text.assign(1, '$');
        i_ = at + 1;
      }
    }
  } else {
    t.Text.assign(1, c);
    i_ = at + 1;
  }
  t.E = i_;
  return true;
}

std::vector<TSqlToken> SqlTokens(const std::string& sql, TSqlDialect dialect) {
  std::vector<TSqlToken> out;
  TSqlLexer lexer(sql, dialect);
  TSqlToken t;
  while (lexer.Next(t)) out.push_back(std::move(t));
  return out;
}

}  // namespace v7
