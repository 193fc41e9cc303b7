// The statement scanner shared by the database backends (see uDbBackend.h).
#include "uDbBackend.h"

#include <strings.h>

#include <cctype>

namespace v7 {

namespace {
bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
}  // namespace

std::vector<std::string> ParseParamNames(const std::string& sql) {
  std::vector<std::string> names;
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
      if (!afterName && e > b && !std::isdigit(static_cast<unsigned char>(sql[b]))) {
        std::string name = sql.substr(b, e - b);
        bool seen = false;
        for (const auto& existing : names)
          if (strcasecmp(existing.c_str(), name.c_str()) == 0) seen = true;
        if (!seen) names.push_back(name);
      }
      i = e;
    } else {
      ++i;
    }
  }
  return names;
}

}  // namespace v7
