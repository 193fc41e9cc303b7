// Which parameters of a write statement go into date columns (see uSqlDateParameters.h).
#include "uSqlDateParameters.h"

#include <algorithm>
#include <cstdlib>

#include "uSqlTokens.h"

namespace v7 {

std::vector<bool> DateParameters(const std::string& sql, int parameterCount,
                                 const TWriteLookup& lookup) {
  std::vector<bool> dates(static_cast<size_t>(parameterCount) + 1, false);
  const std::vector<TSqlToken> t = SqlTokens(sql, TSqlDialect::Sqlite);
  const auto sign = [&](size_t k, char c) {
    return k < t.size() && t[k].Kind == 'p' && t[k].Text[0] == c;
  };
  const auto word = [&](size_t k, const char* w) {
    return k < t.size() && t[k].Kind == 'w' && t[k].Text == w;
  };
  // The number of the parameter that stands at k, and the token after it; 0 for none.
  int last = 0;
  std::vector<int> number(t.size() + 1, 0);
  std::vector<size_t> after(t.size() + 1, 0);
  for (size_t k = 0; k < t.size(); ++k) {
    const bool glued = k + 1 < t.size() && t[k + 1].B == t[k].E;
    int n = 0;
    size_t next = k + 1;
    if ((sign(k, ':') || sign(k, '@')) && glued && (t[k + 1].Kind == 'w' || t[k + 1].Kind == 'n')) {
      n = lookup.ParameterIndex(sql.substr(t[k].B, t[k + 1].E - t[k].B));
      next = k + 2;
    } else if (t[k].Kind == 'w' && t[k].Text[0] == '$') {
      n = lookup.ParameterIndex(sql.substr(t[k].B, t[k].E - t[k].B));
    } else if (sign(k, '?')) {
      n = glued && t[k + 1].Kind == 'n' ? std::atoi(t[k + 1].Text.c_str()) : last + 1;
      if (glued && t[k + 1].Kind == 'n') next = k + 2;
    }
    if (n <= 0) continue;
    last = std::max(last, n);
    number[k] = n;
    after[k] = next;
  }
  // The end of the expression that begins at k: the "," or ")" or clause word outside
  // parentheses.
  const auto end = [&](size_t k) {
    int depth = 0;
    for (; k < t.size(); ++k) {
      if (sign(k, '(')) ++depth;
      if (sign(k, ')') && depth-- == 0) return k;
      if (depth == 0 && (sign(k, ',') || sign(k, ';') || word(k, "from") || word(k, "where") ||
                         word(k, "returning")))
        return k;
    }
    return k;
  };
  const auto closing = [&](size_t k) {
    for (int depth = 0; k < t.size(); ++k) {
      if (sign(k, '(')) ++depth;
      if (sign(k, ')') && --depth == 0) return k;
    }
    return k;
  };
  // The parameters of the value [b, e) that give it as they stand: alone, in parentheses,
  // or a value of coalesce, ifnull, nullif, iif, max, min or case, as a server types a
  // parameter by the column it goes into.
  std::function<void(size_t, size_t, std::vector<int>&)> values = [&](size_t b, size_t e,
                                                                      std::vector<int>& out) {
    for (; e - b >= 2 && sign(b, '(') && closing(b) == e - 1; --e) ++b;
    if (b >= e) return;
    if (number[b] != 0 && after[b] == e) {
      out.push_back(number[b]);
      return;
    }
    if (word(b, "case") && word(e - 1, "end")) {
      size_t from = 0;
      int nested = 0;
      for (size_t k = b + 1; k < e; ++k) {
        if (sign(k, '(')) {
          k = closing(k);
        } else if (word(k, "case")) {
          ++nested;
        } else if (word(k, "end") && k != e - 1 && nested > 0) {
          --nested;
        } else if (nested == 0) {
          if (from && (word(k, "when") || word(k, "else") || k == e - 1)) {
            values(from, k, out);
            from = 0;
          }
          if (word(k, "then") || word(k, "else")) from = k + 1;
        }
      }
      return;
    }
    if (t[b].Kind != 'w' || !sign(b + 1, '(') || closing(b + 1) != e - 1) return;
    const std::string& f = t[b].Text;
    const bool all = f == "coalesce" || f == "ifnull" || f == "max" || f == "min";
    if (!all && f != "nullif" && f != "iif") return;
    size_t place = 0;
    for (size_t k = b + 2; k < e - 1; ++place) {
      const size_t stop = end(k);
      if (all || (f == "nullif" && place == 0) || (f == "iif" && place > 0))
        values(k, std::min(stop, e - 1), out);
      k = stop + 1;
      if (stop >= e - 1) break;
    }
  };
  // The statement after its "with" clause.
  size_t k = 0;
  if (word(0, "with"))
    while (k < t.size() && !word(k, "update") && !word(k, "insert") && !word(k, "replace"))
      k = sign(k, '(') ? closing(k) + 1 : k + 1;
  const bool update = word(k, "update");
  if (!update && !word(k, "insert") && !word(k, "replace")) return dates;
  while (k < t.size() && !(update ? word(k, "update") : word(k, "into"))) ++k;
  if (update && (word(k + 1, "or"))) k += 2;
  ++k;
  std::string schema, table;
  if (k < t.size() && (t[k].Kind == 'w' || t[k].Kind == 'q')) table = t[k++].Text;
  if (sign(k, '.') && k + 1 < t.size()) {
    schema = table;
    table = t[k + 1].Text;
    k += 2;
  }
  const auto isDate = [&](const std::string& column) {
    const TColumnKind kind = lookup.Column(schema, table, column);
    return kind == TColumnKind::Date || kind == TColumnKind::DateTime;
  };
  // The value [b, e) goes into the column.
  const auto mark = [&](size_t b, size_t e, const std::string& column) {
    std::vector<int> found;
    values(b, e, found);
    if (found.empty() || !isDate(column)) return;
    for (const int n : found)
      if (n > 0 && static_cast<size_t>(n) < dates.size()) dates[static_cast<size_t>(n)] = true;
  };
  if (update) {
    while (k < t.size() && !word(k, "set")) ++k;
    for (++k; k + 2 < t.size() && sign(k + 1, '=');) {
      const size_t e = end(k + 2);
      mark(k + 2, e, t[k].Text);
      if (!sign(e, ',')) break;
      k = e + 1;
    }
    return dates;
  }
  if (word(k, "as")) k += 2;
  std::vector<std::string> columns;
  if (sign(k, '(')) {
    for (++k; k < t.size() && !sign(k, ')'); ++k)
      if (!sign(k, ',')) columns.push_back(t[k].Text);
    ++k;
  } else {
    // Without a list of columns, the values go into the table's columns in order.
    columns = lookup.StoredColumns(schema, table);
  }
  if (word(k, "select")) {
    // The result columns of the select go into the columns in order.
    size_t place = 0;
    for (++k; k < t.size(); ++place) {
      const size_t e = end(k);
      if (place < columns.size()) mark(k, e, columns[place]);
      if (!sign(e, ',')) break;
      k = e + 1;
    }
    return dates;
  }
  if (!word(k, "values")) return dates;
  for (++k; sign(k, '(');) {
    size_t place = 0;
    for (++k; k < t.size();) {
      const size_t e = end(k);
      if (place < columns.size()) mark(k, e, columns[place]);
      ++place;
      k = e + 1;
      if (!sign(e, ',')) break;
    }
    if (!sign(k, ',')) break;
    ++k;
  }
  return dates;
}

}  // namespace v7
