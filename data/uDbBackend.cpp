// The statement scanner shared by the database backends (see uDbBackend.h).
#include "uDbBackend.h"

#include <strings.h>

#include <cctype>
#include <utility>

namespace v7 {

namespace {
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
}  // namespace

namespace {
// One thread runs a client's steps; a failure noted here belongs to the work it runs.
thread_local std::string siteFailure;
}  // namespace

// The first failure names the cause; what follows it (a connection gone) is its effect.
void NoteSiteFailure(const std::string& message) {
  if (siteFailure.empty()) siteFailure = message;
}

std::string TakeSiteFailure() { return std::exchange(siteFailure, std::string()); }

void ScanParams(const std::string& sql, const std::function<void(size_t, size_t)>& found) {
  const size_t n = sql.size();
  size_t i = 0;
  while (i < n) {
    char c = sql[i];
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      // A quoted literal or identifier; a doubled quote stays inside it.
      char close = c == '[' ? ']' : c;
      ++i;
      while (i < n) {
        if (sql[i] == close) {
          if (close != ']' && i + 1 < n && sql[i + 1] == close) {
            i += 2;
            continue;
          }
          break;
        }
        ++i;
      }
      ++i;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      while (i < n && sql[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      size_t end = sql.find("*/", i + 2);
      i = end == std::string::npos ? n : end + 2;
    } else if (c == ':') {
      if (i + 1 < n && sql[i + 1] == ':') {
        i += 2;  // a "::" cast
        continue;
      }
      bool afterName = i > 0 && IsNameChar(sql[i - 1]);
      size_t b = i + 1;
      size_t e = b;
      while (e < n && IsNameChar(sql[e])) ++e;
      if (!afterName && e > b && !std::isdigit(static_cast<unsigned char>(sql[b]))) found(i, e);
      i = e;
    } else {
      ++i;
    }
  }
}

size_t SkipSqlComment(const std::string& sql, size_t i, bool pg, bool* open) {
  const size_t n = sql.size();
  if (sql.compare(i, 2, "--") == 0) {
    size_t end = sql.find_first_of(pg ? "\n\r" : "\n", i);
    return end == std::string::npos ? n : end + 1;
  }
  if (sql.compare(i, 2, "/*") != 0) return i;
  if (open) *open = true;
  int depth = 0;
  while (i < n) {
    if (sql.compare(i, 2, "/*") == 0 && (pg || depth == 0)) {
      ++depth;
      i += 2;
    } else if (sql.compare(i, 2, "*/") == 0) {
      i += 2;
      if (--depth == 0) {
        if (open) *open = false;
        return i;
      }
    } else {
      ++i;
    }
  }
  return n;
}

namespace {

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A character of a word (a keyword or a name) as both engines read words: besides letters,
// digits and "_", "$" and every byte of a non-ASCII letter. So "a$$b$" is one name, not a
// name followed by a dollar quote.
bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

std::string LowerWord(const std::string& sql, size_t& i) {
  std::string w;
  while (i < sql.size() && IsWordChar(sql[i]))
    w += static_cast<char>(std::tolower(static_cast<unsigned char>(sql[i++])));
  return w;
}

// The place of the first word of a text, past blanks, comments and empty statements.
size_t FirstWordAt(const std::string& sql, bool pg) {
  size_t i = 0;
  while (i < sql.size()) {
    const size_t next = SkipSqlComment(sql, i, pg);
    if (next != i)
      i = next;
    else if (IsSpace(sql[i]) || sql[i] == ';')
      ++i;
    else
      break;
  }
  return i;
}

}  // namespace

std::string TransactionControlStatement(const std::string& sql, bool pgSyntax) {
  static const char* const kWords[] = {"begin",     "start",   "commit", "end",    "rollback",
                                       "savepoint", "release", "abort",  "prepare"};
  size_t i = FirstWordAt(sql, pgSyntax);
  // A word glued to what follows it ("end$x", "commitx") is another word.
  const std::string first = LowerWord(sql, i);
  bool control = false;
  for (const char* k : kWords) control = control || first == k;
  if (!control) return "";
  // The words that follow, as far as they belong to the command ("commit work", "rollback
  // to x", "start transaction").
  std::string words = first;
  for (int more = 0; more < 3; ++more) {
    size_t k = i;
    while (k < sql.size()) {
      const size_t next = SkipSqlComment(sql, k, pgSyntax);
      if (next == k && !IsSpace(sql[k])) break;
      k = next == k ? k + 1 : next;
    }
    const std::string w = LowerWord(sql, k);
    if (w.empty()) break;
    words += " " + w;
    i = k;
  }
  // "start" and "prepare" steer the transaction only as "start transaction" and "prepare
  // transaction"; "prepare name as ..." makes a prepared statement.
  if ((first == "start" || first == "prepare") &&
      words.compare(first.size(), 12, " transaction") != 0)
    return "";
  return words;
}

std::string TTransactionHold::Refusal(const std::string& sql, bool pgSyntax) {
  if (!held_) return "";
  // Once the transaction has ended, whatever would follow would be kept on its own.
  if (ended_) return kTransactionEndedBefore;
  const std::string words = TransactionControlStatement(sql, pgSyntax);
  if (words.empty()) return "";
  const std::string refusal = "The statement \"" + words +
                              "\" was refused: a script may not end or start a transaction "
                              "while a document is saved, deleted or cancelled";
  if (refused_.empty()) refused_ = refusal;
  return refusal;
}

bool TTransactionHold::EndedBy(bool stillOpen) {
  if (!held_ || ended_ || stillOpen) return false;
  ended_ = true;
  return true;
}

void TTransactionHold::Spoil(const std::string& failure) {
  if (held_ && refused_.empty()) refused_ = kTextRanInPart + failure;
}

std::vector<std::string> ParseParamNames(const std::string& sql) {
  std::vector<std::string> names;
  ScanParams(sql, [&](size_t colon, size_t end) {
    std::string name = sql.substr(colon + 1, end - colon - 1);
    for (const auto& existing : names)
      if (strcasecmp(existing.c_str(), name.c_str()) == 0) return;
    names.push_back(name);
  });
  return names;
}

}  // namespace v7
