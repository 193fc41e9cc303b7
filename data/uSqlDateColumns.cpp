// Result columns of a select that are dates computed from date columns (see
// uSqlDateColumns.h): the statement is cut into tokens, its result list into expressions,
// and each expression is followed through the forms that keep a date a date, down to the
// columns it names and the table or sub-select each of them belongs to.
#include "uSqlDateColumns.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace v7 {

namespace {

struct TToken {
  char Kind = 'p';  // 'w' word, 'q' quoted name (both lower case), 's' string, 'n' number, 'p' sign
  std::string Text;
};

bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
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
      // Names are compared as SQLite compares them, without regard to case.
      const size_t end = std::min(sql.find(c == '[' ? ']' : c, i + 1), n);
      out.push_back({'q', Lower(sql.substr(i + 1, end - i - 1))});
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
      out.push_back({'w', Lower(sql.substr(start, i - start))});
    } else {
      out.push_back({'p', std::string(1, c)});
      ++i;
    }
  }
  return out;
}

const std::set<std::string>& Keywords() {
  static const std::set<std::string> words = {
      "all",    "and",    "as",    "between", "case",   "cross",   "distinct", "else",  "end",
      "except", "filter", "from",  "full",    "group",  "having",  "in",       "inner", "intersect",
      "is",     "join",   "left",  "like",    "limit",  "natural", "not",      "null",  "offset",
      "on",     "or",     "order", "outer",   "over",   "right",   "select",   "then",  "union",
      "using",  "values", "when",  "where",   "window", "with"};
  return words;
}

struct TRange {
  size_t B, E;
};

using TKind = TColumnKind;

bool IsDateKind(TKind k) { return k == TKind::Date || k == TKind::DateTime; }

// A table or sub-select that a select reads, and the name the statement gives it.
struct TSource {
  std::string Table;      // empty for a sub-select
  std::string Alias;      // empty when the statement gives none
  TRange Select{0, 0};    // a sub-select: from its "select" to its ")"
  bool Function = false;  // a table-valued function: its columns are no dates
  bool Unknown = false;   // "values" and the like in parentheses: columns not told
  const std::string& Name() const { return Alias.empty() ? Table : Alias; }
};

// Views are followed into views no deeper than this.
constexpr int kViewDepth = 8;

// The sources of one select, and the select it is written in: a name that no source of its
// own has belongs to an enclosing select.
struct TScope {
  std::vector<TSource> Sources;
  const TScope* Outer = nullptr;
};

class TDateColumns {
 public:
  TDateColumns(const std::string& sql, const TDateColumnLookup& lookup,
               const TViewTextLookup& viewText, int depth = 0)
      : t_(Tokens(sql)), lookup_(lookup), viewText_(viewText), depth_(depth) {}

  std::vector<bool> Columns(size_t count) const {
    std::vector<bool> result(count, false);
    if (!IsWord(0, "select") || ResultList(0, ArmEnd(0, t_.size())).size() != count) return result;
    for (size_t i = 0; i < count; ++i)
      result[i] = IsDateKind(SelectKind({0, t_.size()}, i, nullptr));
    return result;
  }

 private:
  std::vector<TToken> t_;
  const TDateColumnLookup& lookup_;
  const TViewTextLookup& viewText_;
  const int depth_;

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
  bool IsWholeNumber(TRange r) const {
    return r.E - r.B == 1 && t_[r.B].Kind == 'n' &&
           t_[r.B].Text.find_first_not_of("0123456789") == std::string::npos;
  }
  bool IsNullOrText(TRange r) const {
    return r.E - r.B == 1 && (IsWord(r.B, "null") || t_[r.B].Kind == 's');
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
  // The token after the one at k, or after the parentheses that open there.
  size_t Next(size_t k) const { return IsSign(k, '(') ? Closing(k) + 1 : k + 1; }

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

  // The end of the select that begins at b: the union, intersect, except or ";" that
  // follows it outside parentheses, or e.
  size_t ArmEnd(size_t b, size_t e) const {
    size_t k = b + 1;
    while (k < e && !IsWord(k, "union") && !IsWord(k, "intersect") && !IsWord(k, "except") &&
           !IsSign(k, ';'))
      k = Next(k);
    return std::min(k, e);
  }

  // The selects of a compound select.
  std::vector<TRange> Arms(TRange select) const {
    std::vector<TRange> arms;
    for (size_t b = select.B; b < select.E;) {
      const size_t end = ArmEnd(b, select.E);
      arms.push_back({b, end});
      if (IsSign(end, ';')) break;
      b = IsWord(end + 1, "all") || IsWord(end + 1, "distinct") ? end + 2 : end + 1;
    }
    return arms;
  }

  // The result expressions of the select [b, e), up to its "from".
  std::vector<TRange> ResultList(size_t b, size_t e) const {
    size_t k = b + 1;
    if (IsWord(k, "distinct") || IsWord(k, "all")) ++k;
    size_t end = k;
    while (end < e && !IsWord(end, "from")) end = Next(end);
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

  // The name under which a result expression is read: its alias, or the column it names.
  std::string OutputName(TRange item) const {
    const TRange value = WithoutAlias(item);
    if (value.E != item.E) return t_[item.E - 1].Text;
    const size_t n = value.E - value.B;
    if ((n == 1 || (n == 3 && IsSign(value.B + 1, '.'))) && IsName(value.E - 1))
      return t_[value.E - 1].Text;
    return "";
  }

  // The sources of the select [arm), read from its "from" to the clause after it.
  TScope ScopeOf(TRange arm, const TScope* outer) const {
    TScope scope;
    scope.Outer = outer;
    size_t from = arm.B + 1;
    while (from < arm.E && !IsWord(from, "from")) from = Next(from);
    size_t end = from + 1;
    while (end < arm.E && !IsWord(end, "where") && !IsWord(end, "group") &&
           !IsWord(end, "having") && !IsWord(end, "window") && !IsWord(end, "order") &&
           !IsWord(end, "limit"))
      end = Next(end);
    SourceList(from + 1, std::min(end, arm.E), scope);
    return scope;
  }

  // The sources of [b, e), parted by commas and joins; their "on" and "using" are passed over.
  void SourceList(size_t b, size_t e, TScope& scope) const {
    for (size_t k = b; k < e; ++k) {
      k = Source(k, e, scope);
      while (k < e && !IsSign(k, ',') && !IsWord(k, "join")) k = Next(k);
    }
  }

  // Adds the source that begins at k, with its alias; returns the token after them.
  size_t Source(size_t k, size_t e, TScope& scope) const {
    TSource s;
    if (IsSign(k, '(')) {
      const size_t close = std::min(Closing(k), e);
      if (IsSign(k + 1, '(') || IsName(k + 1)) {  // joins in parentheses
        SourceList(k + 1, close, scope);
        return close + 1;
      }
      if (IsWord(k + 1, "select"))
        s.Select = {k + 1, close};
      else
        s.Unknown = true;
      k = close + 1;
    } else if (IsName(k)) {
      if (IsSign(k + 1, '.') && IsName(k + 2)) k += 2;  // schema.table
      s.Table = t_[k++].Text;
      if (IsSign(k, '(')) {  // a table-valued function
        s.Function = true;
        k = Closing(k) + 1;
      }
    } else {
      return k;
    }
    if (IsWord(k, "as")) ++k;
    if (k < e && IsName(k)) s.Alias = t_[k++].Text;
    scope.Sources.push_back(std::move(s));
    return k;
  }

  // "*" alone or "name.*".
  bool IsStar(TRange item) const {
    const size_t n = item.E - item.B;
    return (n == 1 && IsSign(item.B, '*')) ||
           (n == 3 && IsName(item.B) && IsSign(item.B + 1, '.') && IsSign(item.B + 2, '*'));
  }
  bool HasStar(TRange select) const {
    for (const TRange arm : Arms(select))
      for (const TRange item : ResultList(arm.B, arm.E))
        if (IsStar(item)) return true;
    return false;
  }

  // What a source says of a column: a table through the lookup, a view and a sub-select
  // through their own result lists.
  TKind KindIn(const TSource& s, const std::string& column, const TScope& scope) const {
    if (s.Unknown) return TKind::Unknown;
    if (s.Select.E != 0) return NamedKind(s.Select, column, scope.Outer);
    const TKind kind = lookup_(s.Table, column);
    return kind == TKind::Unknown ? ViewKind(s.Table, column) : kind;
  }

  // The column of that name of a select: by the names of its first select's result list,
  // where a "*" stands for the columns of its sources. A "*" in a compound select leaves the
  // places of the columns of its other parts untold.
  TKind NamedKind(TRange select, const std::string& column, const TScope* outer) const {
    const std::vector<TRange> arms = Arms(select);
    const TRange first = arms.front();
    if (!IsWord(first.B, "select")) return TKind::Unknown;
    const bool compoundStar = arms.size() > 1 && HasStar(select);
    const std::vector<TRange> items = ResultList(first.B, first.E);
    for (size_t i = 0; i < items.size(); ++i) {
      if (IsStar(items[i])) {
        if (compoundStar) return TKind::Unknown;
        const std::string qualifier = items[i].E - items[i].B == 3 ? t_[items[i].B].Text : "";
        const TKind kind = ScopeKind(ScopeOf(first, outer), qualifier, column);
        if (kind != TKind::Missing) return kind;
      } else if (OutputName(items[i]) == column) {
        return compoundStar ? TKind::Unknown : SelectKind(select, i, outer);
      }
    }
    return TKind::Missing;
  }

  // A view is typed by the select it was made with: "create view name [(columns)] as ...".
  TKind ViewKind(const std::string& name, const std::string& column) const {
    if (!viewText_ || depth_ >= kViewDepth) return TKind::Unknown;
    const std::string text = viewText_(name);
    if (text.empty()) return TKind::Unknown;
    return TDateColumns(text, lookup_, viewText_, depth_ + 1).ViewColumnKind(column);
  }

  TKind ViewColumnKind(const std::string& column) const {
    size_t as = 0;
    while (as < t_.size() && !IsWord(as, "as")) as = Next(as);
    if (as == 0 || !IsWord(as + 1, "select")) return TKind::Unknown;
    const TRange select{as + 1, t_.size()};
    if (!IsSign(as - 1, ')')) return NamedKind(select, column, nullptr);
    // Columns named by the view itself, in the order of its result list.
    size_t open = 0;
    while (open < as && !IsSign(open, '(')) ++open;
    const std::vector<TRange> names = Split(open + 1, as - 1);
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i].E - names[i].B != 1 || t_[names[i].B].Text != column) continue;
      return HasStar(select) ? TKind::Unknown : SelectKind(select, i, nullptr);
    }
    return TKind::Missing;
  }

  // What the sources of one select say of a column: Missing when none of them (or none of
  // the name qualifier) has it, Unknown when one that might cannot be read. A column named
  // alone that no other source has is the table-valued function's, and no date.
  TKind ScopeKind(const TScope& scope, const std::string& qualifier,
                  const std::string& column) const {
    bool has = false, unsure = false, function = false;
    TKind kind = TKind::Other;
    for (const TSource& s : scope.Sources) {
      if (!qualifier.empty() && s.Name() != qualifier) continue;
      if (s.Function && qualifier.empty()) {
        function = true;
        continue;
      }
      const TKind k = s.Function ? TKind::Other : KindIn(s, column, scope);
      if (k == TKind::Unknown) {
        unsure = true;
      } else if (k != TKind::Missing) {
        kind = has && k != kind ? TKind::Other : k;
        has = true;
      }
    }
    if (unsure) return TKind::Unknown;
    if (has) return kind;
    return function ? TKind::Other : TKind::Missing;
  }

  // A column named through a qualifier (an alias, or the name of a table without one) is
  // that source's; a column named alone is of the nearest select with a source that has
  // it. Where a source that might have it cannot be read, the column is no certain date.
  TKind ColumnKind(const TScope* scope, const std::string& qualifier,
                   const std::string& column) const {
    for (; scope; scope = scope->Outer) {
      const TKind kind = ScopeKind(*scope, qualifier, column);
      if (kind == TKind::Unknown) return TKind::Other;
      if (kind != TKind::Missing) return kind;
      if (!qualifier.empty())
        for (const TSource& s : scope->Sources)
          if (s.Name() == qualifier) return TKind::Other;
    }
    return TKind::Other;
  }

  // Result column index of a select: of each of its parts a date, a null or a text, and of
  // one at least a date. A date with a date and time makes a date and time.
  TKind SelectKind(TRange select, size_t index, const TScope* outer) const {
    TKind kind = TKind::Other;
    for (const TRange arm : Arms(select)) {
      if (!IsWord(arm.B, "select")) return TKind::Other;
      const std::vector<TRange> items = ResultList(arm.B, arm.E);
      if (index >= items.size()) return TKind::Other;
      const TRange item = WithoutAlias(items[index]);
      if (IsNullOrText(item)) continue;
      const TKind k = KindOf(item, ScopeOf(arm, outer));
      if (!IsDateKind(k)) return TKind::Other;
      kind = std::max(kind, k);
    }
    return kind;
  }

  // As a select's parts: dates, nulls and texts, one at least a date.
  TKind AllDates(const std::vector<TRange>& values, const TScope& scope) const {
    TKind kind = TKind::Other;
    for (const TRange v : values) {
      if (IsNullOrText(v)) continue;
      const TKind k = KindOf(v, scope);
      if (!IsDateKind(k)) return TKind::Other;
      kind = std::max(kind, k);
    }
    return kind;
  }

  TKind KindOf(TRange r, const TScope& scope) const {
    while (r.E - r.B >= 2 && IsSign(r.B, '(') && Closing(r.B) == r.E - 1) {
      if (IsWord(r.B + 1, "select")) {
        const TRange select{r.B + 1, r.E - 1};
        if (ResultList(select.B, ArmEnd(select.B, select.E)).size() != 1) return TKind::Other;
        return SelectKind(select, 0, &scope);
      }
      r = {r.B + 1, r.E - 1};
    }
    const size_t n = r.E - r.B;
    if (n == 0) return TKind::Other;
    const std::vector<TRange> terms = Terms(r);
    if (terms.size() > 1) return SumKind(terms, scope);
    if (IsWord(r.B, "case")) return CaseKind(r, scope);
    if (t_[r.B].Kind == 'w' && IsSign(r.B + 1, '(')) {
      // A call, and over it the filter of an aggregate and the window it runs over.
      const size_t close = Closing(r.B + 1);
      size_t k = close + 1;
      if (IsWord(k, "filter") && IsSign(k + 1, '(')) k = Closing(k + 1) + 1;
      if (IsWord(k, "over")) k = IsSign(k + 1, '(') ? Closing(k + 1) + 1 : k + 2;
      if (k != r.E) return TKind::Other;
      return FunctionKind(t_[r.B].Text, Split(r.B + 2, close), scope);
    }
    if (n == 1 && IsName(r.B)) return ColumnKind(&scope, "", t_[r.B].Text);
    if (n == 3 && IsName(r.B) && IsSign(r.B + 1, '.') && IsName(r.B + 2))
      return ColumnKind(&scope, t_[r.B].Text, t_[r.B + 2].Text);
    return TKind::Other;
  }

  // The terms of a sum: the parts between "+" and "-" signs outside parentheses and case
  // expressions; each term after the first follows its sign.
  std::vector<TRange> Terms(TRange r) const {
    std::vector<TRange> terms;
    size_t start = r.B;
    int cases = 0;
    for (size_t k = r.B; k < r.E; ++k) {
      if (IsSign(k, '(')) {
        k = std::min(Closing(k), r.E);
      } else if (IsWord(k, "case")) {
        ++cases;
      } else if (IsWord(k, "end")) {
        --cases;
      } else if (cases == 0 && (IsSign(k, '+') || IsSign(k, '-'))) {
        terms.push_back({start, k});
        start = k + 1;
      }
    }
    terms.push_back({start, r.E});
    return terms;
  }

  // A date plus or minus whole days, or whole days plus a date, is a date, as a server adds
  // an integer to a date; a date and time with a number, a date minus a date, no date.
  TKind SumKind(const std::vector<TRange>& terms, const TScope& scope) const {
    bool whole = IsWholeNumber(terms[0]);
    bool date = !whole && KindOf(terms[0], scope) == TKind::Date;
    for (size_t i = 1; i < terms.size(); ++i) {
      if (IsWholeNumber(terms[i])) {
        if (!whole && !date) return TKind::Other;
      } else if (whole && IsSign(terms[i].B - 1, '+') && KindOf(terms[i], scope) == TKind::Date) {
        whole = false;
        date = true;
      } else {
        return TKind::Other;
      }
    }
    return date ? TKind::Date : TKind::Other;
  }

  TKind FunctionKind(const std::string& name, std::vector<TRange> args, const TScope& scope) const {
    if (name == "max" || name == "min" || name == "coalesce" || name == "ifnull") {
      for (TRange& a : args)
        if (IsWord(a.B, "distinct")) ++a.B;
      return AllDates(args, scope);
    }
    if (name == "nullif") return args.empty() ? TKind::Other : KindOf(args[0], scope);
    if (name == "iif") return args.size() == 3 ? AllDates({args[1], args[2]}, scope) : TKind::Other;
    return TKind::Other;
  }

  // The values of a case expression are what follows each "then" and its "else".
  TKind CaseKind(TRange r, const TScope& scope) const {
    if (!IsWord(r.E - 1, "end")) return TKind::Other;
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
    return AllDates(values, scope);
  }
};

}  // namespace

std::vector<bool> ComputedDateColumns(const std::string& sql, size_t columnCount,
                                      const TDateColumnLookup& lookup,
                                      const TViewTextLookup& viewText) {
  return TDateColumns(sql, lookup, viewText).Columns(columnCount);
}

}  // namespace v7
