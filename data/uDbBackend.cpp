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

namespace {

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The place just past a comment that starts at i, or i when none does.
size_t SkipComment(const std::string& sql, size_t i, bool nested) {
  const size_t n = sql.size();
  if (sql.compare(i, 2, "--") == 0) {
    size_t end = sql.find('\n', i);
    return end == std::string::npos ? n : end + 1;
  }
  if (sql.compare(i, 2, "/*") != 0) return i;
  int depth = 0;
  while (i < n) {
    if (sql.compare(i, 2, "/*") == 0 && (nested || depth == 0)) {
      ++depth;
      i += 2;
    } else if (sql.compare(i, 2, "*/") == 0) {
      i += 2;
      if (--depth == 0) return i;
    } else {
      ++i;
    }
  }
  return n;
}

// The place just past a quoted text or name that starts at i, or i when none does.
size_t SkipQuoted(const std::string& sql, size_t i, bool pg) {
  const size_t n = sql.size();
  const char c = sql[i];
  const bool afterName = i > 0 && IsNameChar(sql[i - 1]);
  if (pg && c == '$' && !afterName) {
    // $tag$ ... $tag$; "$1" is a parameter, not a quote.
    size_t e = i + 1;
    while (e < n && IsNameChar(sql[e])) ++e;
    if (e >= n || sql[e] != '$' ||
        (e > i + 1 && std::isdigit(static_cast<unsigned char>(sql[i + 1]))))
      return i;
    const std::string tag = sql.substr(i, e + 1 - i);
    size_t end = sql.find(tag, e + 1);
    return end == std::string::npos ? n : end + tag.size();
  }
  if (c != '\'' && c != '"' && c != '`' && !(c == '[' && !pg)) return i;
  const char close = c == '[' ? ']' : c;
  // E'...' takes backslash escapes.
  const bool escapes = pg && c == '\'' && i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e') &&
                       !(i > 1 && IsNameChar(sql[i - 2]));
  for (size_t k = i + 1; k < n; ++k) {
    if (escapes && sql[k] == '\\') {
      ++k;
    } else if (sql[k] == close) {
      if (close != ']' && k + 1 < n && sql[k + 1] == close) {
        ++k;
        continue;
      }
      return k + 1;
    }
  }
  return n;
}

std::string LowerWord(const std::string& sql, size_t& i) {
  std::string w;
  while (i < sql.size() && IsNameChar(sql[i]))
    w += static_cast<char>(std::tolower(static_cast<unsigned char>(sql[i++])));
  return w;
}

// The first words of the statement at i, when it steers the transaction.
std::string ControlWords(const std::string& sql, size_t i, bool pg) {
  static const char* const kWords[] = {"begin",     "start",   "commit", "end",    "rollback",
                                       "savepoint", "release", "abort",  "prepare"};
  std::string first = LowerWord(sql, i);
  bool control = false;
  for (const char* k : kWords) control = control || first == k;
  if (!control) return "";
  // The words that follow, as far as they belong to the command ("commit work", "rollback
  // to x", "start transaction").
  std::string words = first;
  for (int more = 0; more < 3; ++more) {
    size_t k = i;
    while (k < sql.size()) {
      size_t next = SkipComment(sql, k, pg);
      if (next == k && !IsSpace(sql[k])) break;
      k = next == k ? k + 1 : next;
    }
    std::string w = LowerWord(sql, k);
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

}  // namespace

std::string TransactionControlStatement(const std::string& sql, bool firstOnly, bool pgSyntax) {
  const size_t n = sql.size();
  size_t i = 0;
  bool start = true;  // at the beginning of a statement
  while (i < n) {
    if (IsSpace(sql[i]) || (start && sql[i] == ';')) {
      ++i;
      continue;
    }
    size_t next = SkipComment(sql, i, pgSyntax);
    if (next != i) {
      i = next;
      continue;
    }
    if (start) {
      std::string words = ControlWords(sql, i, pgSyntax);
      if (!words.empty()) return words;
      if (firstOnly) return "";
      start = false;
    }
    next = SkipQuoted(sql, i, pgSyntax);
    if (next != i) {
      i = next;
    } else {
      start = sql[i] == ';';
      ++i;
    }
  }
  return "";
}

std::string TTransactionHold::Refusal(const std::string& sql, bool firstOnly, bool pgSyntax) {
  if (!held_) return "";
  const std::string words = TransactionControlStatement(sql, firstOnly, pgSyntax);
  if (words.empty()) return "";
  const std::string refusal = "The statement \"" + words +
                              "\" was refused: a script may not end or start a transaction "
                              "while a document is saved, deleted or cancelled";
  if (refused_.empty()) refused_ = refusal;
  return refusal;
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
