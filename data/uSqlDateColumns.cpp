// Result columns of a select that are dates computed from date columns (see
// uSqlDateColumns.h): the statement is cut into tokens, its result list into expressions,
// and each expression is followed through the forms that keep a date a date.
#include "uSqlDateColumns.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace v7 {

namespace {

struct TToken {
  char Kind = 'p';  // 'w' word (lower case), 'q' quoted name, 's' string, 'n' number, 'p' sign
  std::string Text;
};

bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

std::vector<TToken> Tokens(const std::string& sql) {
  std::vector<TToken> out;
  const size_t n = sql.size();
  size_t i = 0;
  while (i < n) {
    const char c = sql[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      i = std::min(sql.find('\n', i), n);
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const size_t end = sql.find("*/", i + 2);
      i = end == std::string::npos ? n : end + 2;
    } else if (c == '\'') {
      TToken t{'s', ""};
      for (++i; i < n; ++i) {
        if (sql[i] == '\'') {
          if (i + 1 < n && sql[i + 1] == '\'') {
            t.Text += '\'';
            ++i;
            continue;
          }
          break;
        }
        t.Text += sql[i];
      }
      ++i;
      out.push_back(std::move(t));
    } else if (c == '"' || c == '`' || c == '[') {
      const size_t end = std::min(sql.find(c == '[' ? ']' : c, i + 1), n);
      out.push_back({'q', sql.substr(i + 1, end - i - 1)});
      i = end + 1;
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '.' && i + 1 < n && std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
      const size_t start = i;
      while (i < n && (IsWordChar(sql[i]) || sql[i] == '.' ||
                       ((sql[i] == '+' || sql[i] == '-') && (sql[i - 1] | 32) == 'e')))
        ++i;
      out.push_back({'n', sql.substr(start, i - start)});
    } else if (IsWordChar(c)) {
      const size_t start = i;
      while (i < n && IsWordChar(sql[i])) ++i;
      std::string word = sql.substr(start, i - start);
      for (char& ch : word) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      out.push_back({'w', std::move(word)});
    } else {
      out.push_back({'p', std::string(1, c)});
      ++i;
    }
  }
  return out;
}

const std::set<std::string>& Keywords() {
  static const std::set<std::string> words = {
      "all",       "and",    "as",    "between", "case",  "cross",  "distinct", "else",
      "end",       "except", "from",  "full",    "group", "having", "in",       "inner",
      "intersect", "is",     "join",  "left",    "like",  "limit",  "natural",  "not",
      "null",      "offset", "on",    "or",      "order", "outer",  "right",    "select",
      "then",      "union",  "using", "when",    "where", "window"};
  return words;
}

struct TRange {
  size_t B, E;
};

class TDateColumns {
 public:
  TDateColumns(const std::string& sql, const TDateColumnLookup& lookup)
      : t_(Tokens(sql)), lookup_(lookup) {
    CollectTables();
  }

  std::vector<bool> Columns(size_t count) {
    std::vector<bool> result(count, false);
    if (t_.empty() || !IsWord(0, "select")) return result;
    const std::vector<TRange> items = ResultList(0, t_.size());
    if (items.size() != count) return result;
    for (size_t i = 0; i < count; ++i) result[i] = IsDate(WithoutAlias(items[i]));
    return result;
  }

 private:
  std::vector<TToken> t_;
  const TDateColumnLookup& lookup_;
  std::vector<std::string> tables_;

  bool IsWord(size_t i, const char* word) const {
    return i < t_.size() && t_[i].Kind == 'w' && t_[i].Text == word;
  }
  bool IsSign(size_t i, char c) const {
    return i < t_.size() && t_[i].Kind == 'p' && t_[i].Text[0] == c;
  }
  // A name that is no keyword: of a table, a column or an alias.
  bool IsName(size_t i) const {
    return i < t_.size() &&
           (t_[i].Kind == 'q' || (t_[i].Kind == 'w' && !Keywords().count(t_[i].Text)));
  }

  // The index of the ")" that closes the "(" at i; the end of the tokens when none does.
  size_t Closing(size_t i) const {
    int depth = 0;
    for (size_t k = i; k < t_.size(); ++k) {
      if (IsSign(k, '(')) ++depth;
      if (IsSign(k, ')') && --depth == 0) return k;
    }
    return t_.size();
  }

  // The parts of [b, e) between commas outside parentheses.
  std::vector<TRange> Split(size_t b, size_t e) const {
    std::vector<TRange> parts;
    size_t start = b;
    for (size_t k = b; k < e; ++k) {
      if (IsSign(k, '(')) {
        k = std::min(Closing(k), e);
      } else if (IsSign(k, ',')) {
        parts.push_back({start, k});
        start = k + 1;
      }
    }
    if (start < e || !parts.empty()) parts.push_back({start, e});
    return parts;
  }

  // The result expressions of the select that begins at b, up to its "from".
  std::vector<TRange> ResultList(size_t b, size_t e) const {
    size_t k = b + 1;
    if (IsWord(k, "distinct") || IsWord(k, "all")) ++k;
    size_t end = k;
    while (end < e && !IsWord(end, "from") && !IsWord(end, "union") && !IsSign(end, ';')) {
      if (IsSign(end, '(')) end = std::min(Closing(end), e);
      ++end;
    }
    return Split(k, std::min(end, e));
  }

  TRange WithoutAlias(TRange r) const {
    if (r.E - r.B < 2 || !IsName(r.E - 1)) return r;
    const size_t prev = r.E - 2;
    if (IsWord(prev, "as")) return {r.B, prev};
    if (IsSign(prev, ')') || IsWord(prev, "end") || IsName(prev) || t_[prev].Kind == 's' ||
        t_[prev].Kind == 'n')
      return {r.B, r.E - 1};
    return r;
  }

  // Every table named after "from" or "join", and after commas in a from list.
  void CollectTables() {
    for (size_t i = 0; i < t_.size(); ++i) {
      if (!IsWord(i, "from") && !IsWord(i, "join")) continue;
      size_t k = i + 1;
      for (;;) {
        if (IsSign(k, '(')) {
          k = Closing(k) + 1;
        } else if (IsName(k)) {
          if (IsSign(k + 1, '.') && IsName(k + 2)) k += 2;  // schema.table
          tables_.push_back(t_[k].Text);
          ++k;
        } else {
          break;
        }
        if (IsWord(k, "as")) ++k;
        if (IsName(k)) ++k;  // the alias
        if (!IsSign(k, ',')) break;
        ++k;
      }
    }
  }

  bool IsDateColumn(const std::string& column) const {
    return std::any_of(tables_.begin(), tables_.end(),
                       [&](const std::string& table) { return lookup_(table, column); });
  }

  bool IsNullOrText(TRange r) const {
    return r.E - r.B == 1 && (IsWord(r.B, "null") || t_[r.B].Kind == 's');
  }

  // At least one of the values is a date, and the others are dates, null or texts.
  bool AllDates(const std::vector<TRange>& values) const {
    bool any = false;
    for (TRange v : values) {
      if (IsDate(v)) {
        any = true;
      } else if (!IsNullOrText(v)) {
        return false;
      }
    }
    return any;
  }

  bool IsDate(TRange r) const {
    while (r.E - r.B >= 2 && IsSign(r.B, '(') && Closing(r.B) == r.E - 1) {
      if (IsWord(r.B + 1, "select")) {
        const std::vector<TRange> items = ResultList(r.B + 1, r.E - 1);
        return items.size() == 1 && IsDate(WithoutAlias(items[0]));
      }
      r = {r.B + 1, r.E - 1};
    }
    const size_t n = r.E - r.B;
    if (n == 0) return false;
    if (IsWord(r.B, "case")) return IsDateCase(r);
    if (t_[r.B].Kind == 'w' && IsSign(r.B + 1, '(') && Closing(r.B + 1) == r.E - 1)
      return IsDateFunction(t_[r.B].Text, Split(r.B + 2, r.E - 1));
    if (n == 1 && IsName(r.B)) return IsDateColumn(t_[r.B].Text);
    if (n == 3 && IsName(r.B) && IsSign(r.B + 1, '.') && IsName(r.B + 2))
      return IsDateColumn(t_[r.B + 2].Text);
    return false;
  }

  bool IsDateFunction(const std::string& name, std::vector<TRange> args) const {
    if (name == "max" || name == "min" || name == "coalesce" || name == "ifnull") {
      for (TRange& a : args)
        if (IsWord(a.B, "distinct")) ++a.B;
      return AllDates(args);
    }
    if (name == "nullif") return !args.empty() && IsDate(args[0]);
    if (name == "iif") return args.size() == 3 && AllDates({args[1], args[2]});
    return false;
  }

  // The values of a case expression are what follows each "then" and its "else".
  bool IsDateCase(TRange r) const {
    if (!IsWord(r.E - 1, "end")) return false;
    std::vector<TRange> values;
    size_t start = 0;
    int nested = 0;
    for (size_t k = r.B + 1; k < r.E; ++k) {
      if (IsSign(k, '(')) {
        k = std::min(Closing(k), r.E);
        continue;
      }
      if (IsWord(k, "case")) ++nested;
      if (IsWord(k, "end") && nested > 0 && k != r.E - 1) {
        --nested;
        continue;
      }
      if (nested > 0) continue;
      const bool close = IsWord(k, "when") || IsWord(k, "else") || k == r.E - 1;
      if (close && start != 0) {
        values.push_back({start, k});
        start = 0;
      }
      if (IsWord(k, "then") || IsWord(k, "else")) start = k + 1;
    }
    return AllDates(values);
  }
};

}  // namespace

std::vector<bool> ComputedDateColumns(const std::string& sql, size_t columnCount,
                                      const TDateColumnLookup& isDateColumn) {
  return TDateColumns(sql, isDateColumn).Columns(columnCount);
}

}  // namespace v7
