// Result columns of a select that are dates computed from date columns (see
// uSqlDateColumns.h): the statement is cut into tokens, its result list into expressions,
// and each expression is followed through the forms that keep a date a date, down to the
// columns it names and the table or sub-select each of them belongs to.
#include "uSqlDateColumns.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "uSqlTokens.h"

namespace v7 {

namespace {

using TToken = TSqlToken;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
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
// A kind that a computed value keeps through the forms that keep it (max, coalesce, case...).
bool IsKept(TKind k) { return IsDateKind(k) || k == TKind::Time || k == TKind::Integer; }

// Two values that stand in one place (the parts of a compound select, the values of a
// case): dates give a date (a date and time with either), whole numbers whole numbers.
TKind Join(TKind a, TKind b) {
  if (IsDateKind(a) && IsDateKind(b)) return std::max(a, b);
  return a == b ? a : TKind::Other;
}

// A table or sub-select that a select reads, and the name the statement gives it.
struct TSource {
  std::string Schema;              // as the statement qualifies the table, else empty
  std::string Table;               // empty for a sub-select
  std::string Alias;               // empty when the statement gives none
  TRange Select{0, 0};             // a sub-select: from its "select" (or "with") to its ")"
  bool Function = false;           // a table-valued function: its columns are no dates
  bool Unknown = false;            // "values" and the like in parentheses: columns not told
  bool Natural = false;            // joined by "natural join": "*" brings its shared columns once
  std::vector<std::string> Using;  // joined "using" these: "*" brings them once
  const std::string& Name() const { return Alias.empty() ? Table : Alias; }
};

// A table named by a "with" clause.
struct TCte {
  std::string Name;
  std::vector<std::string> Columns;  // the names it gives its columns, else empty
  TRange Select{0, 0};  // of a recursive one, the first select only: it fixes the types
};

// The sources of one select, and the select it is written in: a name that no source of its
// own has belongs to an enclosing select. A "with" clause is a scope of its own, with the
// tables it names and no sources.
struct TScope {
  std::vector<TSource> Sources;
  std::vector<TCte> Ctes;
  const TScope* Outer = nullptr;
};

// A result column of a select: an expression, or a column that a "*" brings from a source.
struct TItem {
  TRange Expr{0, 0};
  const TSource* Source = nullptr;
  std::string Column;
  size_t Index = 0;  // of a column a "*" brings: its place among the source's columns
};

// Views are followed into views no deeper than this.
constexpr int kViewDepth = 64;

class TDateColumns;

// What one statement's typing has learned of the database, kept while it is typed: a view
// used twice is read once.
struct TContext {
  const TSchemaLookup& Lookup;
  std::map<std::string, TKind> Kinds;
  std::map<std::string, std::vector<std::string>> Names;
  std::map<std::string, std::shared_ptr<const TDateColumns>> Views;
  std::map<std::string, TKind> ViewKinds;

  static std::string Key(const std::string& a, const std::string& b, const std::string& c = "") {
    return a + '\x1f' + b + '\x1f' + c;
  }
  TKind Column(const std::string& schema, const std::string& table, const std::string& column) {
    const std::string key = Key(schema, table, column);
    const auto it = Kinds.find(key);
    if (it != Kinds.end()) return it->second;
    const TKind kind = Lookup.Column ? Lookup.Column(schema, table, column) : TKind::Unknown;
    Kinds.emplace(key, kind);
    return kind;
  }
  const std::vector<std::string>& ColumnNames(const std::string& schema, const std::string& name) {
    const std::string key = Key(schema, name);
    auto it = Names.find(key);
    if (it == Names.end()) {
      std::vector<std::string> names;
      if (Lookup.ColumnNames) names = Lookup.ColumnNames(schema, name);
      for (std::string& n : names) n = Lower(n);
      it = Names.emplace(key, std::move(names)).first;
    }
    return it->second;
  }
};

class TDateColumns {
 public:
  // schema: the schema that a name alone stands for in the text (a view's own, as SQLite
  // binds it), or empty.
  TDateColumns(const std::string& sql, TContext& context, int depth = 0,
               const std::string& schema = "")
      : sql_(sql),
        t_(SqlTokens(sql, TSqlDialect::Sqlite)),
        context_(context),
        depth_(depth),
        schema_(schema) {}

  std::vector<TKind> Columns(size_t count) const {
    std::vector<TKind> result(count, TKind::Other);
    const TRange all{0, t_.size()};
    const std::optional<std::vector<std::string>> names = Names(all, nullptr);
    if (!names || names->size() != count) return result;
    for (size_t i = 0; i < count; ++i) {
      const TKind kind = SelectKind(all, i, nullptr);
      if (IsDateKind(kind) || kind == TKind::Time) result[i] = kind;
    }
    return result;
  }

  // A view is typed by the select it was made with: "create view name [(columns)] as ...".
  TKind ViewColumnKind(const std::string& column) const {
    size_t as = 0;
    while (as < t_.size() && !IsWord(as, "as")) as = Next(as);
    if (as == 0 || !(IsWord(as + 1, "select") || IsWord(as + 1, "with"))) return TKind::Unknown;
    const TRange select{as + 1, t_.size()};
    if (!IsSign(as - 1, ')')) return NamedKind(select, column, nullptr);
    // Columns named by the view itself, in the order of its result list.
    size_t open = 0;
    while (open < as && !IsSign(open, '(')) ++open;
    const std::vector<TRange> names = Split(open + 1, as - 1);
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i].E - names[i].B == 1 && t_[names[i].B].Text == column)
        return SelectKind(select, i, nullptr);
    return TKind::Missing;
  }

 private:
  const std::string sql_;
  const std::vector<TToken> t_;
  TContext& context_;
  const int depth_;
  const std::string schema_;
  // "with" tables being typed (by where their select begins): a table that reads itself
  // is typed by its first select alone.
  mutable std::set<size_t> busy_;

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
  bool IsNullOrText(TRange r) const {
    return r.E - r.B == 1 && (IsWord(r.B, "null") || t_[r.B].Kind == 's');
  }
  // A parameter alone: ":name", "@name", "$name", "?" or "?NNN". Like a null, it takes the
  // type of the values beside it, as a server infers a parameter's type from them.
  bool IsParameter(TRange r) const {
    if (r.E - r.B == 1) return IsSign(r.B, '?') || (t_[r.B].Kind == 'w' && t_[r.B].Text[0] == '$');
    return r.E - r.B == 2 && (IsSign(r.B, ':') || IsSign(r.B, '@') || IsSign(r.B, '?')) &&
           t_[r.B].E == t_[r.B + 1].B && (t_[r.B + 1].Kind == 'w' || t_[r.B + 1].Kind == 'n');
  }
  // Names joined by dots: "column", "table.column", "schema.table.column".
  bool IsDotted(TRange r) const {
    if ((r.E - r.B) % 2 == 0 || r.E - r.B > 5) return false;
    for (size_t k = r.B; k < r.E; k += 2)
      if (!IsName(k) || (k + 1 < r.E && !IsSign(k + 1, '.'))) return false;
    return true;
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
    if (arms.empty()) arms.push_back(select);
    return arms;
  }

  // The select that follows the "with" clause that select begins with, if any; the clause's
  // tables go into with, whose outer scope is outer.
  TRange Body(TRange select, const TScope* outer, TScope& with) const {
    with.Outer = outer;
    if (!IsWord(select.B, "with")) return select;
    size_t k = select.B + 1;
    const bool recursive = IsWord(k, "recursive");
    if (recursive) ++k;
    while (k < select.E && IsName(k)) {
      TCte cte;
      cte.Name = t_[k++].Text;
      if (IsSign(k, '(')) {
        const size_t close = Closing(k);
        for (const TRange part : Split(k + 1, close))
          cte.Columns.push_back(part.E - part.B == 1 ? t_[part.B].Text : "");
        k = close + 1;
      }
      if (!IsWord(k, "as")) break;
      ++k;
      if (IsWord(k, "not")) ++k;
      if (IsWord(k, "materialized")) ++k;
      if (!IsSign(k, '(')) break;
      const size_t close = std::min(Closing(k), select.E);
      cte.Select = {k + 1, close};
      if (recursive) cte.Select = Arms(cte.Select).front();
      with.Ctes.push_back(std::move(cte));
      k = close + 1;
      if (!IsSign(k, ',')) break;
      ++k;
    }
    return {std::min(k, select.E), select.E};
  }
  static const TScope* Inner(const TScope& with) { return with.Ctes.empty() ? with.Outer : &with; }

  // The result expressions of the select [b, e), up to its "from".
  std::vector<TRange> ResultList(size_t b, size_t e) const {
    size_t k = b + 1;
    if (IsWord(k, "distinct") || IsWord(k, "all")) ++k;
    size_t end = k;
    while (end < e && !IsWord(end, "from") && !IsWord(end, "where") && !IsWord(end, "group") &&
           !IsWord(end, "window") && !IsWord(end, "order") && !IsWord(end, "limit"))
      end = Next(end);
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

  // The name under which a result column is read: its alias, the column it names, or the
  // text of its expression as written, as SQLite names it.
  std::string ItemName(const TItem& item) const {
    if (item.Source) return item.Column;
    const TRange value = WithoutAlias(item.Expr);
    if (value.E != item.Expr.E) return t_[item.Expr.E - 1].Text;
    if (value.E == value.B) return "";
    if (IsDotted(value)) return t_[value.E - 1].Text;
    return Lower(sql_.substr(t_[value.B].B, t_[value.E - 1].E - t_[value.B].B));
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

  // The sources of [b, e), parted by commas and joins; their "on" is passed over, their
  // "using" and "natural" kept for "*".
  void SourceList(size_t b, size_t e, TScope& scope) const {
    bool natural = false;
    for (size_t k = b; k < e; ++k) {
      const size_t before = scope.Sources.size();
      k = Source(k, e, scope);
      const bool added = scope.Sources.size() == before + 1;
      if (added) scope.Sources.back().Natural = natural;
      natural = false;
      while (k < e && !IsSign(k, ',') && !IsWord(k, "join")) {
        if (IsWord(k, "natural")) natural = true;
        if (added && IsWord(k, "using") && IsSign(k + 1, '('))
          for (const TRange part : Split(k + 2, std::min(Closing(k + 1), e)))
            if (part.E - part.B == 1) scope.Sources.back().Using.push_back(t_[part.B].Text);
        k = Next(k);
      }
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
      if (IsWord(k + 1, "select") || IsWord(k + 1, "with"))
        s.Select = {k + 1, close};
      else
        s.Unknown = true;
      k = close + 1;
    } else if (IsName(k)) {
      if (IsSign(k + 1, '.') && IsName(k + 2)) {
        s.Schema = t_[k].Text;
        k += 2;
      }
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

  // The "with" table that a name alone stands for where scope is, and the clause that names
  // it; nothing when it names none.
  std::pair<const TCte*, const TScope*> FindCte(const std::string& name,
                                                const TScope* scope) const {
    for (; scope; scope = scope->Outer)
      for (const TCte& cte : scope->Ctes)
        if (cte.Name == name) return {&cte, scope};
    return {nullptr, nullptr};
  }
  // The schema in which a table of the text is looked up.
  const std::string& SchemaOf(const TSource& s) const {
    return s.Schema.empty() ? schema_ : s.Schema;
  }

  // The names of a source's columns, in order; nothing when they cannot be told.
  std::optional<std::vector<std::string>> SourceColumns(const TSource& s,
                                                        const TScope& scope) const {
    if (s.Unknown) return std::nullopt;
    if (s.Select.E != 0) return Names(s.Select, scope.Outer);
    if (!s.Function) {
      const auto [cte, with] = FindCte(s.Table, &scope);
      if (cte && s.Schema.empty()) {
        if (!cte->Columns.empty()) return cte->Columns;
        if (!busy_.insert(cte->Select.B).second) return std::nullopt;
        auto names = Names(cte->Select, with);
        busy_.erase(cte->Select.B);
        return names;
      }
    }
    const std::vector<std::string>& names = context_.ColumnNames(SchemaOf(s), s.Table);
    if (names.empty()) return std::nullopt;
    return names;
  }

  // The result columns of the select [arm) whose sources are scope, each "*" brought out
  // into the columns of its sources; nothing when a "*" cannot be.
  std::optional<std::vector<TItem>> Items(TRange arm, const TScope& scope) const {
    std::vector<TItem> items;
    for (const TRange item : ResultList(arm.B, arm.E)) {
      if (!IsStar(item)) {
        items.push_back({item, nullptr, "", 0});
        continue;
      }
      const std::string qualifier = item.E - item.B == 3 ? t_[item.B].Text : "";
      std::vector<std::string> seen;
      bool any = false;
      for (const TSource& s : scope.Sources) {
        if (!qualifier.empty() && s.Name() != qualifier) continue;
        const std::optional<std::vector<std::string>> columns = SourceColumns(s, scope);
        if (!columns) return std::nullopt;
        const size_t before = seen.size();
        for (size_t index = 0; index < columns->size(); ++index) {
          const std::string& c = (*columns)[index];
          const auto isIn = [&](const std::vector<std::string>& list, size_t end) {
            return std::find(list.begin(), list.begin() + static_cast<long>(end), c) !=
                   list.begin() + static_cast<long>(end);
          };
          if (qualifier.empty() &&
              (isIn(s.Using, s.Using.size()) || (s.Natural && isIn(seen, before))))
            continue;
          seen.push_back(c);
          items.push_back({{0, 0}, &s, c, index});
        }
        any = true;
      }
      if (!any) return std::nullopt;
    }
    return items;
  }

  // The names of the columns of a select, as its first select gives them.
  std::optional<std::vector<std::string>> Names(TRange select, const TScope* outer) const {
    TScope with;
    const TRange body = Body(select, outer, with);
    if (!IsWord(body.B, "select")) return std::nullopt;
    const TRange first = Arms(body).front();
    const TScope scope = ScopeOf(first, Inner(with));
    const std::optional<std::vector<TItem>> items = Items(first, scope);
    if (!items) return std::nullopt;
    std::vector<std::string> names;
    for (const TItem& item : *items) names.push_back(ItemName(item));
    return names;
  }

  // What a source says of a column: a table through the lookup, a view, a "with" table and
  // a sub-select through their own result lists.
  TKind KindIn(const TSource& s, const std::string& column, const TScope& scope) const {
    if (s.Unknown) return TKind::Unknown;
    if (s.Function) return TKind::Other;
    if (s.Select.E != 0) return NamedKind(s.Select, column, scope.Outer);
    if (s.Schema.empty()) {
      const auto [cte, with] = FindCte(s.Table, &scope);
      if (cte) return CteKind(*cte, with, column);
    }
    const TKind kind = context_.Column(SchemaOf(s), s.Table, column);
    return kind == TKind::Unknown ? ViewKind(SchemaOf(s), s.Table, column) : kind;
  }

  // The column a "*" brings from a source: of a sub-select or a "with" table by its place,
  // as two columns of one name are two columns there; of a table or a view by its name.
  TKind KindAt(const TSource& s, size_t index, const std::string& column,
               const TScope& scope) const {
    if (s.Unknown) return TKind::Unknown;
    if (s.Function) return TKind::Other;
    if (s.Select.E != 0) return SelectKind(s.Select, index, scope.Outer);
    if (s.Schema.empty()) {
      const auto [cte, with] = FindCte(s.Table, &scope);
      if (cte) {
        if (!busy_.insert(cte->Select.B).second) return TKind::Unknown;
        const TKind kind = SelectKind(cte->Select, index, with);
        busy_.erase(cte->Select.B);
        return kind;
      }
    }
    return KindIn(s, column, scope);
  }

  TKind CteKind(const TCte& cte, const TScope* with, const std::string& column) const {
    if (!busy_.insert(cte.Select.B).second) return TKind::Unknown;
    TKind kind = TKind::Missing;
    if (cte.Columns.empty()) {
      kind = NamedKind(cte.Select, column, with);
    } else {
      const auto it = std::find(cte.Columns.begin(), cte.Columns.end(), column);
      if (it != cte.Columns.end())
        kind = SelectKind(cte.Select, static_cast<size_t>(it - cte.Columns.begin()), with);
    }
    busy_.erase(cte.Select.B);
    return kind;
  }

  // The column of that name of a select: the first of its result columns of that name.
  TKind NamedKind(TRange select, const std::string& column, const TScope* outer) const {
    const std::optional<std::vector<std::string>> names = Names(select, outer);
    if (!names) return TKind::Unknown;
    for (size_t i = 0; i < names->size(); ++i)
      if ((*names)[i] == column) return SelectKind(select, i, outer);
    return TKind::Missing;
  }

  TKind ViewKind(const std::string& schema, const std::string& name,
                 const std::string& column) const {
    if (!context_.Lookup.ViewText || depth_ >= kViewDepth) return TKind::Unknown;
    const std::string key = TContext::Key(schema, name, column);
    const auto known = context_.ViewKinds.find(key);
    if (known != context_.ViewKinds.end()) return known->second;
    context_.ViewKinds[key] = TKind::Unknown;  // a view that reads itself is not followed
    std::shared_ptr<const TDateColumns>& view = context_.Views[TContext::Key(schema, name)];
    if (!view) {
      std::string found;
      const std::string text = context_.Lookup.ViewText(schema, name, found);
      if (text.empty()) return TKind::Unknown;
      // A temporary view reads names as any statement does.
      view = std::make_shared<const TDateColumns>(text, context_, depth_ + 1,
                                                  Lower(found) == "temp" ? "" : found);
    }
    const TKind kind = view->ViewColumnKind(column);
    context_.ViewKinds[key] = kind;
    return kind;
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
      const TKind k = KindIn(s, column, scope);
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

  // Result column index of a select: of each of its parts a date (a null, a text or a
  // parameter counts as any), or of each a whole number.
  TKind SelectKind(TRange select, size_t index, const TScope* outer) const {
    TScope with;
    const TRange body = Body(select, outer, with);
    std::optional<TKind> kind;
    bool parameter = false;
    for (const TRange arm : Arms(body)) {
      if (!IsWord(arm.B, "select")) return TKind::Other;
      const TScope scope = ScopeOf(arm, Inner(with));
      const std::optional<std::vector<TItem>> items = Items(arm, scope);
      if (!items || index >= items->size()) return TKind::Other;
      const TItem& item = (*items)[index];
      TKind k = TKind::Other;
      if (item.Source) {
        k = KindAt(*item.Source, item.Index, item.Column, scope);
      } else {
        const TRange value = WithoutAlias(item.Expr);
        if (IsNullOrText(value)) continue;
        if (IsParameter(value)) {
          parameter = true;
          continue;
        }
        k = KindOf(value, scope);
      }
      kind = kind ? Join(*kind, k) : k;
      if (!IsKept(*kind)) return TKind::Other;
    }
    return WithParameter(kind.value_or(TKind::Other), parameter);
  }

  // A date beside a parameter: a date bound to a parameter reaches the server as a date and
  // time, which the value then is.
  static TKind WithParameter(TKind kind, bool parameter) {
    return parameter && kind == TKind::Date ? TKind::DateTime : kind;
  }

  // Values that stand in one place, as a select's parts (a null, a text or a parameter
  // counts as any): a date when each is one, whole days when each is a whole number.
  TKind Alike(const std::vector<TRange>& values, const TScope& scope) const {
    std::optional<TKind> kind;
    bool parameter = false;
    for (const TRange v : values) {
      if (IsNullOrText(v)) continue;
      if (IsParameter(v)) {
        parameter = true;
        continue;
      }
      const TKind k = KindOf(v, scope);
      kind = kind ? Join(*kind, k) : k;
      if (!IsKept(*kind)) return TKind::Other;
    }
    return WithParameter(kind.value_or(TKind::Other), parameter);
  }

  TKind KindOf(TRange r, const TScope& scope) const {
    while (r.E - r.B >= 2 && IsSign(r.B, '(') && Closing(r.B) == r.E - 1) {
      if (IsWord(r.B + 1, "select") || IsWord(r.B + 1, "with")) {
        const TRange select{r.B + 1, r.E - 1};
        const std::optional<std::vector<std::string>> names = Names(select, &scope);
        if (!names || names->size() != 1) return TKind::Other;
        return SelectKind(select, 0, &scope);
      }
      r = {r.B + 1, r.E - 1};
    }
    const size_t n = r.E - r.B;
    if (n == 0) return TKind::Other;
    const std::vector<TRange> terms = Terms(r);
    if (terms.size() > 1) return SumKind(terms, scope);
    if (IsWord(r.B, "case")) return CaseKind(r, scope);
    if (Factors(r).size() > 1) return IsWhole(r, scope) ? TKind::Integer : TKind::Other;
    // A sign before whole days keeps them whole: coalesce(days, -1), abs(-3).
    if (n >= 2 && (IsSign(r.B, '-') || IsSign(r.B, '+')))
      return IsWhole(r, scope) ? TKind::Integer : TKind::Other;
    if (n == 1 && t_[r.B].Kind == 'n')
      return t_[r.B].Text.find_first_not_of("0123456789") == std::string::npos ? TKind::Integer
                                                                               : TKind::Other;
    if (t_[r.B].Kind == 'w' && IsSign(r.B + 1, '(')) {
      // A call, and over it the filter of an aggregate and the window it runs over.
      const size_t close = Closing(r.B + 1);
      size_t k = close + 1;
      if (IsWord(k, "filter") && IsSign(k + 1, '(')) k = Closing(k + 1) + 1;
      if (IsWord(k, "over")) k = IsSign(k + 1, '(') ? Closing(k + 1) + 1 : k + 2;
      if (k != r.E) return TKind::Other;
      return FunctionKind(t_[r.B].Text, Split(r.B + 2, close), scope);
    }
    if (IsDotted(r)) {
      // "column", "table.column" or "schema.table.column": the table names the source.
      return ColumnKind(&scope, n == 1 ? "" : t_[r.E - 3].Text, t_[r.E - 1].Text);
    }
    return TKind::Other;
  }

  // The terms of a sum: the parts between "+" and "-" signs outside parentheses and case
  // expressions; each term after the first follows its sign. A sign that begins a term is
  // the term's own.
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
      } else if (cases == 0 && k != start && (IsSign(k, '+') || IsSign(k, '-'))) {
        terms.push_back({start, k});
        start = k + 1;
      }
    }
    terms.push_back({start, r.E});
    return terms;
  }

  // The factors of a product or quotient ("*", "/", "%") outside parentheses.
  std::vector<TRange> Factors(TRange r) const {
    std::vector<TRange> factors;
    size_t start = r.B;
    for (size_t k = r.B; k < r.E; ++k) {
      if (IsSign(k, '(')) {
        k = std::min(Closing(k), r.E);
      } else if (IsWord(k, "case")) {
        return {r};
      } else if (IsSign(k, '*') || IsSign(k, '/') || IsSign(k, '%')) {
        factors.push_back({start, k});
        start = k + 1;
      }
    }
    factors.push_back({start, r.E});
    return factors;
  }

  // A whole number: written so, a whole-number column, or sums and products of them, as
  // a server adds an integer to a date.
  bool IsWhole(TRange r, const TScope& scope) const {
    if (r.E - r.B >= 2 && (IsSign(r.B, '-') || IsSign(r.B, '+'))) ++r.B;
    while (r.E - r.B >= 2 && IsSign(r.B, '(') && Closing(r.B) == r.E - 1 &&
           !IsWord(r.B + 1, "select") && !IsWord(r.B + 1, "with"))
      r = {r.B + 1, r.E - 1};
    if (r.E == r.B) return false;
    const std::vector<TRange> terms = Terms(r);
    if (terms.size() > 1)
      return std::all_of(terms.begin(), terms.end(), [&](TRange t) { return IsWhole(t, scope); });
    const std::vector<TRange> factors = Factors(r);
    if (factors.size() > 1)
      return std::all_of(factors.begin(), factors.end(),
                         [&](TRange f) { return IsWhole(f, scope); });
    return KindOf(r, scope) == TKind::Integer;
  }

  // A date plus or minus whole days, or whole days plus a date, is a date, as a server adds
  // an integer to a date; a date and time with a number, a date minus a date, no date.
  TKind SumKind(const std::vector<TRange>& terms, const TScope& scope) const {
    bool whole = IsWhole(terms[0], scope);
    bool date = !whole && KindOf(terms[0], scope) == TKind::Date;
    for (size_t i = 1; i < terms.size(); ++i) {
      if (IsWhole(terms[i], scope)) {
        if (!whole && !date) return TKind::Other;
      } else if (whole && IsSign(terms[i].B - 1, '+') && KindOf(terms[i], scope) == TKind::Date) {
        whole = false;
        date = true;
      } else {
        return TKind::Other;
      }
    }
    if (date) return TKind::Date;
    return whole ? TKind::Integer : TKind::Other;
  }

  // Whether a mask of the date template reads a date: "yy", "mm", "dd", "hh" or "nn".
  static bool IsDateMask(const std::string& mask) {
    const std::string m = Lower(mask);
    for (const char* part : {"yy", "mm", "dd", "hh", "nn"})
      if (m.find(part) != std::string::npos) return true;
    return false;
  }

  // cast(value as type): by the type, as the database declares a column of that type.
  TKind CastKind(TRange r) const {
    size_t as = r.E;
    for (size_t k = r.B; k < r.E; k = Next(k))
      if (IsWord(k, "as")) as = k;
    std::string type;
    for (size_t k = as + 1; k < r.E; ++k) type += t_[k].Text + " ";
    if (type.find("timestamp") != std::string::npos || type.find("datetime") != std::string::npos)
      return TKind::DateTime;
    if (type.find("time") != std::string::npos) return TKind::Time;
    if (type.find("date") != std::string::npos) return TKind::Date;
    if (type.find("int") != std::string::npos) return TKind::Integer;
    return TKind::Other;
  }

  TKind FunctionKind(const std::string& name, std::vector<TRange> args, const TScope& scope) const {
    if (name == "max" || name == "min" || name == "coalesce" || name == "ifnull") {
      for (TRange& a : args)
        if (IsWord(a.B, "distinct")) ++a.B;
      return Alike(args, scope);
    }
    if (name == "nullif") return args.empty() ? TKind::Other : KindOf(args[0], scope);
    if (name == "iif") return args.size() == 3 ? Alike({args[1], args[2]}, scope) : TKind::Other;
    // Window functions give a value of their first argument (lag and lead, or their default).
    if (name == "lag" || name == "lead") {
      if (args.empty()) return TKind::Other;
      if (args.size() >= 3) return Alike({args[0], args[2]}, scope);
      return Alike({args[0]}, scope);
    }
    if (name == "first_value" || name == "last_value" || name == "nth_value")
      return args.empty() ? TKind::Other : Alike({args[0]}, scope);
    if (name == "cast") return args.size() == 1 ? CastKind(args[0]) : TKind::Other;
    // Whole numbers of whole numbers, as the server's integer functions give them.
    if (name == "abs")
      return args.size() == 1 && KindOf(args[0], scope) == TKind::Integer ? TKind::Integer
                                                                          : TKind::Other;
    if (name == "length") return args.size() == 1 ? TKind::Integer : TKind::Other;
    if (name == "ntile") return args.size() == 1 ? TKind::Integer : TKind::Other;
    if (name == "mod")
      return args.size() == 2 && IsWhole(args[0], scope) && IsWhole(args[1], scope) ? TKind::Integer
                                                                                    : TKind::Other;
    // The functions that the database connection adds for the dialect.
    if (name == "now") return args.empty() ? TKind::DateTime : TKind::Other;
    if (name == "datevalue") return args.size() == 1 ? TKind::Date : TKind::Other;
    if (name == "format" && args.size() == 2 && args[1].E - args[1].B == 1 &&
        t_[args[1].B].Kind == 's' && IsDateMask(t_[args[1].B].Text) &&
        !IsDateKind(KindOf(args[0], scope)))
      return TKind::DateTime;
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
    return Alike(values, scope);
  }
};

}  // namespace

std::vector<TColumnKind> ComputedDateColumns(const std::string& sql, size_t columnCount,
                                             const TSchemaLookup& lookup) {
  TContext context{lookup, {}, {}, {}, {}};
  return TDateColumns(sql, context).Columns(columnCount);
}

}  // namespace v7
