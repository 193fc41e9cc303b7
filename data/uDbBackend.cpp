// The statement scanner shared by the database backends (see uDbBackend.h).
#include "uDbBackend.h"

#include <strings.h>

#include <cctype>

namespace v7 {

namespace {
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
}  // namespace

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
