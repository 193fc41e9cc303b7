// The SQLite engine behind TDbBackend (see uSqliteBackend.h).
#include "uSqliteBackend.h"

#include <sqlite3.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <list>
#include <memory>
#include <unordered_map>

#include "uDbDates.h"
#include "uSqlDateColumns.h"
#include "uSqlDateParameters.h"

namespace v7 {

namespace {

// Every statement text is kept prepared, so that a text seen again on this connection is not
// parsed again. Generated statements carry their values as literals and are mostly seen
// once: a text enters a small probation list and moves to the kept list only when it is
// seen again, so a burst of one-off texts never pushes out the texts used over and over.
// Very long texts (a row with a large value) are prepared for one run and not kept.
constexpr size_t kProbationSize = 512;
constexpr size_t kKeptSize = 256;
constexpr size_t kLongestKeptText = 16 * 1024;

// Gives a prepared statement back after one run: a kept one is reset (its locks and bound
// values released), a one-off one finalized.
struct TStatementRelease {
  bool kept = false;
  void operator()(sqlite3_stmt* st) const {
    if (!kept) {
      sqlite3_finalize(st);
      return;
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
  }
};
using TStatement = std::unique_ptr<sqlite3_stmt, TStatementRelease>;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// What a format() mask says of dates: whether it has a date or time part ("yy", "mm", "dd",
// "hh" or "nn" in any case) and the order of day, month and year in it.
struct TDateMask {
  bool IsDate = false;
  TDateOrder Order = TDateOrder::DMY;
};

TDateMask ReadDateMask(const char* mask) {
  constexpr size_t kNone = static_cast<size_t>(-1);
  size_t y = kNone, m = kNone, d = kNone;
  TDateMask result;
  char previous = 0;
  for (size_t i = 0; mask && mask[i]; ++i) {
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(mask[i])));
    if (c == 'Y' && y == kNone) y = i;
    if (c == 'M' && m == kNone) m = i;
    if (c == 'D' && d == kNone) d = i;
    if (c == previous && (c == 'Y' || c == 'M' || c == 'D' || c == 'H' || c == 'N'))
      result.IsDate = true;
    previous = c;
  }
  if (y != kNone && y < m && y < d)
    result.Order = TDateOrder::YMD;
  else if (m != kNone && d != kNone && m < d)
    result.Order = TDateOrder::MDY;
  return result;
}

// format(value, mask), as the date template writes it: a date text read by the mask becomes
// the stored date (a Julian day); a stored date (a number) becomes its text by the mask.
// A text that is no date is refused rather than stored as text in a date column.
void FormatFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  const char* mask = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
  const TDateMask info = ReadDateMask(mask);
  if (!info.IsDate) {
    sqlite3_result_value(ctx, argv[0]);
    return;
  }
  int type = sqlite3_value_type(argv[0]);
  if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
    double dt = DateTimeFromJulian(sqlite3_value_double(argv[0]));
    std::string text = FormatDateTimeMask(mask, dt);
    sqlite3_result_text(ctx, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return;
  }
  const char* v = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  std::string value = v ? v : "";
  double dt = 0;
  if (!ParseDateTimeText(value, info.Order, dt)) {
    std::string msg = "format: '" + value + "' is not a valid date";
    sqlite3_result_error(ctx, msg.c_str(), static_cast<int>(msg.size()));
    return;
  }
  sqlite3_result_double(ctx, JulianFromDateTime(dt));
}

// datevalue(text): the date part of a day-first date text, as a stored date; the form in which
// the Access dialect writes a date key into a condition.
void DateValueFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  const char* v = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  std::string value = v ? v : "";
  double dt = 0;
  if (!ParseDateTimeText(value, ReadDateMask("dd/mm/yyyy").Order, dt)) {
    std::string msg = "datevalue: '" + value + "' is not a valid date";
    sqlite3_result_error(ctx, msg.c_str(), static_cast<int>(msg.size()));
    return;
  }
  sqlite3_result_double(ctx, JulianFromDateTime(std::floor(dt)));
}

// now(): the local date and time to the second, as a stored date.
void NowFunction(sqlite3_context* ctx, int, sqlite3_value**) {
  std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  double dt = 0;
  DateTimeFromParts(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
                    dt);
  sqlite3_result_double(ctx, JulianFromDateTime(dt));
}

void LcaseFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  const unsigned char* v = sqlite3_value_text(argv[0]);
  int n = sqlite3_value_bytes(argv[0]);
  std::string s(reinterpret_cast<const char*>(v), static_cast<size_t>(n));
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 128)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  sqlite3_result_text(ctx, s.data(), n, SQLITE_TRANSIENT);
}

// Kind of a column by its declared type (SQLite's affinity rules, dates first).
bool KindOfDeclType(const char* decl, TDbKind& kind, int& size) {
  size = 0;
  if (!decl || !*decl) return false;
  std::string u = Upper(decl);
  size_t p = u.find('(');
  if (p != std::string::npos) size = std::atoi(u.c_str() + p + 1);
  if (u.find("DATE") != std::string::npos || u.find("TIME") != std::string::npos)
    kind = TDbKind::DateTime;
  else if (u.find("INT") != std::string::npos)
    kind = TDbKind::Integer;
  else if (u.find("CHAR") != std::string::npos || u.find("CLOB") != std::string::npos ||
           u.find("TEXT") != std::string::npos)
    kind = TDbKind::Text;
  else if (u.find("BLOB") != std::string::npos)
    kind = TDbKind::Blob;
  else
    kind = TDbKind::Float;
  if (kind != TDbKind::Text) size = 0;
  return true;
}

TDbValue ReadColumn(sqlite3_stmt* st, int i) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER:
      return TDbValue::FromInt(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT:
      return TDbValue::FromFloat(sqlite3_column_double(st, i));
    case SQLITE_TEXT: {
      const char* t = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
      return TDbValue::FromText(std::string(t, static_cast<size_t>(sqlite3_column_bytes(st, i))));
    }
    case SQLITE_BLOB: {
      const char* b = static_cast<const char*>(sqlite3_column_blob(st, i));
      int n = sqlite3_column_bytes(st, i);
      return TDbValue::FromBlob(b ? std::string(b, static_cast<size_t>(n)) : std::string());
    }
    default:
      return TDbValue::Null();
  }
}

// A value of a date column as a DateTime value: numbers are Julian days, texts are read as
// dates (ISO or day first); anything else stays as it is.
TDbValue AsDateValue(const TDbValue& v) {
  if (v.Kind == TDbKind::Integer)
    return TDbValue::FromDateTime(DateTimeFromJulian(static_cast<double>(v.Int)));
  if (v.Kind == TDbKind::Float) return TDbValue::FromDateTime(DateTimeFromJulian(v.Float));
  if (v.Kind == TDbKind::Text) {
    double dt = 0;
    if (ParseDateTimeText(v.Text, TDateOrder::DMY, dt)) return TDbValue::FromDateTime(dt);
  }
  return v;
}

// The same, at the start of its day.
TDbValue AsDayValue(const TDbValue& v) {
  TDbValue date = AsDateValue(v);
  if (date.Kind != TDbKind::DateTime) return date;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  DateTimeToParts(date.Float, year, month, day, hour, minute, second);
  DateTimeFromParts(year, month, day, 0, 0, 0, date.Float);
  return date;
}

// Whether every value of a column could be a stored date: a Julian day number of the years
// 1 to 9999, or a date text. A column of nulls, or of no rows, is typed by its statement
// alone, as a server types it.
bool MayHoldDates(const TDbRowSet& result, size_t column) {
  for (const auto& row : result.Rows) {
    const TDbValue& v = row[column];
    double number = 0;
    if (v.Kind == TDbKind::Null) continue;
    if (v.Kind == TDbKind::Integer)
      number = static_cast<double>(v.Int);
    else if (v.Kind == TDbKind::Float)
      number = v.Float;
    else if (v.Kind != TDbKind::Text || !ParseDateTimeText(v.Text, TDateOrder::DMY, number))
      return false;
    if (v.Kind != TDbKind::Text && !(number >= kFirstJulianDate && number <= kLastJulianDate))
      return false;
  }
  return true;
}

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

bool OnlyBlanks(const char* p) {
  // What may follow the last statement of a text: blanks, ";" and comments.
  while (*p) {
    if (std::isspace(static_cast<unsigned char>(*p)) || *p == ';') {
      ++p;
    } else if (p[0] == '-' && p[1] == '-') {
      while (*p && *p != '\n') ++p;
    } else if (p[0] == '/' && p[1] == '*') {
      const char* e = std::strstr(p + 2, "*/");
      if (!e) return true;
      p = e + 2;
    } else {
      return false;
    }
  }
  return true;
}

bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// The shape of a generated statement: its string and whole-number literals written as
// positional parameters, and their values in order, so that statements that differ only in
// their values share one prepared statement. Only where a parameter means exactly what the
// literal meant: in insert, update and delete statements, and after the top-level "where" of
// a select (its result columns, which take their names from the text, are left alone); never
// in a statement with parameters of its own, an "order by" or "group by" (where a number
// names a column), a blob literal, or more than one statement. False: run the text as it is.
bool LiteralsAsParameters(const std::string& sql, std::string& shape, TDbParams& values) {
  const size_t n = sql.size();
  size_t i = 0;
  while (i < n && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
  size_t w = i;
  while (w < n && IsWordChar(sql[w])) ++w;
  const std::string first = Upper(sql.substr(i, w - i));
  const bool select = first == "SELECT";
  if (!select && first != "INSERT" && first != "UPDATE" && first != "DELETE") return false;
  bool open = !select;  // literals may become parameters from here on
  int depth = 0;
  shape.clear();
  shape.reserve(n);
  values.clear();
  while (i < n) {
    const char c = sql[i];
    if (c == '\'') {
      std::string text;
      size_t j = i + 1;
      for (;; ++j) {
        if (j >= n) return false;
        if (sql[j] == '\'') {
          if (j + 1 < n && sql[j + 1] == '\'') {
            text += '\'';
            ++j;
            continue;
          }
          break;
        }
        text += sql[j];
      }
      if (open) {
        shape += '?';
        values.emplace_back(std::string(), TDbValue::FromText(std::move(text)));
      } else {
        shape.append(sql, i, j + 1 - i);
      }
      i = j + 1;
    } else if (c == '"' || c == '`' || c == '[') {
      const size_t end = sql.find(c == '[' ? ']' : c, i + 1);
      if (end == std::string::npos) return false;
      shape.append(sql, i, end + 1 - i);
      i = end + 1;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      const size_t end = std::min(sql.find('\n', i), n);
      shape.append(sql, i, end - i);
      i = end;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const size_t end = sql.find("*/", i + 2);
      if (end == std::string::npos) return false;
      shape.append(sql, i, end + 2 - i);
      i = end + 2;
    } else if (c == ':' || c == '?' || c == '@' || c == '$' || c == '#') {
      return false;
    } else if (c == ';') {
      if (!OnlyBlanks(sql.c_str() + i)) return false;
      break;
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '.' && i + 1 < n && std::isdigit(static_cast<unsigned char>(sql[i + 1])))) {
      size_t j = i;
      while (j < n && std::isdigit(static_cast<unsigned char>(sql[j]))) ++j;
      const bool whole = j == n || !(IsWordChar(sql[j]) || sql[j] == '.');
      if (whole && open && j - i <= 18) {
        shape += '?';
        values.emplace_back(std::string(), TDbValue::FromInt(std::stoll(sql.substr(i, j - i))));
        i = j;
        continue;
      }
      // A real, a hexadecimal or an over-long number stays as written.
      while (j < n && (IsWordChar(sql[j]) || sql[j] == '.' ||
                       ((sql[j] == '+' || sql[j] == '-') && (sql[j - 1] | 32) == 'e')))
        ++j;
      shape.append(sql, i, j - i);
      i = j;
    } else if (IsWordChar(c)) {
      size_t j = i;
      while (j < n && IsWordChar(sql[j])) ++j;
      const std::string word = Upper(sql.substr(i, j - i));
      if (word == "ORDER" || word == "GROUP") return false;
      if ((word == "X") && j < n && sql[j] == '\'') return false;
      if (select && word == "WHERE" && !open) {
        if (depth != 0) return false;
        open = true;
      }
      shape.append(sql, i, j - i);
      i = j;
    } else {
      if (c == '(') ++depth;
      if (c == ')') --depth;
      shape += c;
      ++i;
    }
  }
  return !values.empty();
}

}  // namespace

struct TSqliteBackend::Impl {
  sqlite3* db = nullptr;
  std::string lastError;
  int prepared = 0;
  bool wal = false;       // the file is in WAL mode, its commits not synced one by one
  TTransactionHold hold;  // the transaction that StartTransaction began
  // Two lists, most recently used first: texts seen once, and texts seen again. The map
  // points into them.
  struct TCached {
    sqlite3_stmt* st = nullptr;
    bool kept = false;  // in the list of texts seen again
    std::list<std::string>::iterator place;
    // The computed dates among its result columns, as found when SQLite had prepared it
    // typedAt times again (after a change of the schema); -1: not looked for yet.
    std::vector<TColumnKind> dates;
    int typedAt = -1;
  };
  std::list<std::string> probation, keptList;
  std::unordered_map<std::string, TCached> cache;
  // The statement being prepared changes a schema (the authorizer saw it make, drop or
  // alter something, attach or detach a database); one was prepared since the kept ones.
  bool schemaStatement = false;
  bool schemaChanged = false;

  // Notes the statements that change a schema, whichever schema: a kept statement is
  // prepared again by SQLite when a schema it reads changes, not when another gains a table
  // that now takes a name it reads ("rates" of main made while "aux.rates" was read).
  static int Authorize(void* data, int action, const char*, const char*, const char*, const char*) {
    switch (action) {
      case SQLITE_CREATE_INDEX:
      case SQLITE_CREATE_TABLE:
      case SQLITE_CREATE_TEMP_INDEX:
      case SQLITE_CREATE_TEMP_TABLE:
      case SQLITE_CREATE_TEMP_TRIGGER:
      case SQLITE_CREATE_TEMP_VIEW:
      case SQLITE_CREATE_TRIGGER:
      case SQLITE_CREATE_VIEW:
      case SQLITE_DROP_INDEX:
      case SQLITE_DROP_TABLE:
      case SQLITE_DROP_TEMP_INDEX:
      case SQLITE_DROP_TEMP_TABLE:
      case SQLITE_DROP_TEMP_TRIGGER:
      case SQLITE_DROP_TEMP_VIEW:
      case SQLITE_DROP_TRIGGER:
      case SQLITE_DROP_VIEW:
      case SQLITE_ATTACH:
      case SQLITE_DETACH:
      case SQLITE_ALTER_TABLE:
      case SQLITE_CREATE_VTABLE:
      case SQLITE_DROP_VTABLE:
        static_cast<Impl*>(data)->schemaStatement = true;
        break;
      default:
        break;
    }
    return SQLITE_OK;
  }

  // The rows of a statement that reads the schema, as texts; none when it fails.
  std::vector<std::vector<std::string>> SchemaRows(const std::string& sql,
                                                   const std::string& name = "") {
    std::vector<std::vector<std::string>> rows;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) ==
            SQLITE_OK &&
        st &&
        (name.empty() || sqlite3_bind_text(st, 1, name.c_str(), static_cast<int>(name.size()),
                                           SQLITE_TRANSIENT) == SQLITE_OK))
      while (sqlite3_step(st) == SQLITE_ROW) {
        std::vector<std::string>& row = rows.emplace_back();
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
          const unsigned char* text = sqlite3_column_text(st, i);
          row.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
        }
      }
    sqlite3_finalize(st);
    return rows;
  }

  static std::string Quoted(const std::string& name) {
    std::string q = "\"";
    for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
  }

  // What the schema says of a column of a table: the declared type of a date, a date and
  // time or a whole number. An empty schema searches as a name alone does.
  TColumnKind ColumnKindOf(const std::string& schema, const std::string& table,
                           const std::string& column) {
    const char* base = schema.empty() ? nullptr : schema.c_str();
    const char* decl = nullptr;
    // A view or a name of the statement's own (a "with" table) has no columns here.
    if (sqlite3_table_column_metadata(db, base, table.c_str(), nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr) != SQLITE_OK)
      return TColumnKind::Unknown;
    if (sqlite3_table_column_metadata(db, base, table.c_str(), column.c_str(), &decl, nullptr,
                                      nullptr, nullptr, nullptr) != SQLITE_OK)
      return TColumnKind::Missing;
    TDbKind kind = TDbKind::Null;
    int size = 0;
    if (!KindOfDeclType(decl, kind, size)) return TColumnKind::Other;
    if (kind == TDbKind::Integer) return TColumnKind::Integer;
    if (kind != TDbKind::DateTime) return TColumnKind::Other;
    return Upper(decl).find("TIME") == std::string::npos ? TColumnKind::Date
                                                         : TColumnKind::DateTime;
  }

  // The statement that made a view. A name alone is found as SQLite finds it: a temporary
  // view first, then the main database's, then those of attached databases in their order.
  std::string ViewText(const std::string& schema, const std::string& name, std::string& found) {
    std::vector<std::string> schemas{schema};
    if (schema.empty()) {
      schemas = {"temp", "main"};
      for (const auto& row : SchemaRows("pragma database_list"))
        if (row.size() > 1 && row[1] != "main" && row[1] != "temp") schemas.push_back(row[1]);
    }
    for (const std::string& s : schemas) {
      const auto rows = SchemaRows("select sql from " + Quoted(s) +
                                       ".sqlite_master where type = 'view' and name = ?1 "
                                       "collate nocase",
                                   name);
      if (!rows.empty() && !rows[0].empty()) {
        found = s;
        return rows[0][0];
      }
    }
    return "";
  }

  // The columns of a table, a view or a table-valued function, in order, those whose
  // "hidden" value of table_xinfo keep allows (0: a plain column, 1: a hidden column of a
  // virtual table, 2 and 3: a generated column).
  std::vector<std::string> XinfoColumns(const std::string& schema, const std::string& name,
                                        const std::function<bool(const std::string&)>& keep) {
    std::vector<std::string> names;
    const std::string base = schema.empty() ? "" : Quoted(schema) + ".";
    for (const auto& row : SchemaRows("pragma " + base + "table_xinfo(" + Quoted(name) + ")"))
      if (row.size() > 6 && keep(row[6])) names.push_back(row[1]);
    return names;
  }

  // The columns that "select *" reads from a table, a view or a table-valued function.
  std::vector<std::string> ColumnNames(const std::string& schema, const std::string& name) {
    return XinfoColumns(schema, name, [](const std::string& hidden) { return hidden != "1"; });
  }

  // The computed dates among the result columns of a statement, found once for each
  // prepared form of it.
  std::vector<TColumnKind> ComputedDates(const std::string& sql, sqlite3_stmt* st, size_t count) {
    const char* text = sqlite3_sql(st);
    auto it = text ? cache.find(text) : cache.end();
    TCached* cached = it != cache.end() && it->second.st == st ? &it->second : nullptr;
    const int prepared = sqlite3_stmt_status(st, SQLITE_STMTSTATUS_REPREPARE, 0);
    if (cached && cached->typedAt == prepared && cached->dates.size() == count)
      return cached->dates;
    TSchemaLookup lookup;
    lookup.Column = [this](const std::string& schema, const std::string& table,
                           const std::string& column) {
      return ColumnKindOf(schema, table, column);
    };
    lookup.ViewText = [this](const std::string& schema, const std::string& name,
                             std::string& found) { return ViewText(schema, name, found); };
    lookup.ColumnNames = [this](const std::string& schema, const std::string& name) {
      return ColumnNames(schema, name);
    };
    std::vector<TColumnKind> dates = ComputedDateColumns(sql, count, lookup);
    if (cached) {
      cached->dates = dates;
      cached->typedAt = prepared;
    }
    return dates;
  }

  // A date computed from date columns (max(docdate), a sub-select...) has no declared type:
  // its columns become dates here, as a server database types them. Only a column whose
  // every value could be a stored date is worth reading the statement for: counts, sums and
  // texts are left at once.
  void TypeComputedDates(TDbRowSet& result, const std::vector<bool>& declared,
                         const std::string& sql, sqlite3_stmt* st) {
    std::vector<size_t> candidates;
    for (size_t i = 0; i < result.Columns.size(); ++i)
      if (!declared[i] && MayHoldDates(result, i)) candidates.push_back(i);
    if (candidates.empty()) return;
    const std::vector<TColumnKind> dates = ComputedDates(sql, st, result.Columns.size());
    for (size_t i : candidates) {
      if (dates[i] == TColumnKind::Time) {
        // A time of day, as the server's time type reads: "hh:mm:ss".
        result.Columns[i].Kind = TDbKind::Text;
        for (auto& row : result.Rows) {
          const TDbValue date = AsDateValue(row[i]);
          if (date.Kind == TDbKind::DateTime)
            row[i] = TDbValue::FromText(FormatDateTimeMask("hh:nn:ss", date.Float));
        }
        continue;
      }
      if (dates[i] != TColumnKind::Date && dates[i] != TColumnKind::DateTime) continue;
      result.Columns[i].Kind = TDbKind::DateTime;
      // A value of the server's date type holds no time of day.
      const bool day = dates[i] == TColumnKind::Date;
      for (auto& row : result.Rows)
        if (!row[i].IsNull()) row[i] = day ? AsDayValue(row[i]) : AsDateValue(row[i]);
    }
  }

  [[noreturn]] void Fail(const std::string& message, const std::string& sql) {
    lastError = message;
    throw EDatabaseError(message, sql);
  }

  // The failure of a call that answered rc. A failure of the site (the disk is full, a file
  // size limit, an I/O error, the file locked, read-only, damaged or gone, no memory) is no
  // fault of the statement: it is raised as such, with what the system said of the disk.
  // callErrno: errno as the failing call left it (cleared before the call), for a failure
  // that SQLite does not record as the system's (a write cut short by the file size limit).
  [[noreturn]] void FailCode(int rc, const std::string& sql, int callErrno = 0) {
    std::string message = sqlite3_errmsg(db);
    switch (rc & 0xff) {
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        lastError = message;
        RaiseSiteFailure<EDatabaseLocked>(message, sql);
      case SQLITE_IOERR:
      case SQLITE_FULL:
      case SQLITE_CANTOPEN:
      case SQLITE_READONLY:
      case SQLITE_CORRUPT:
      case SQLITE_NOTADB:
      case SQLITE_NOMEM:
      case SQLITE_NOLFS:
      case SQLITE_PROTOCOL:
      case SQLITE_PERM: {
        // "disk I/O error" alone does not tell a full disk from a file size limit.
        const int system = sqlite3_system_errno(db) != 0 ? sqlite3_system_errno(db) : callErrno;
        if (system != 0) message += std::string(" (") + strerror(system) + ")";
        lastError = message;
        RaiseSiteFailure(message, sql);
      }
      default:
        Fail(message, sql);
    }
  }

  void Require(const std::string& sql) {
    if (!db) Fail("The database is not open", sql);
  }

  // Refuses the first statement of text when it steers the transaction that is held.
  void Guard(const std::string& text, const std::string& statement) {
    const std::string refusal = hold.Refusal(text, false);
    if (!refusal.empty()) Fail(refusal, statement);
  }

  void ClearCache() {
    for (auto& e : cache) sqlite3_finalize(e.second.st);
    probation.clear();
    keptList.clear();
    cache.clear();
  }

  // Drops the least recently used text of a list that has grown past its size.
  void Trim(std::list<std::string>& list, size_t size) {
    while (list.size() > size) {
      auto it = cache.find(list.back());
      sqlite3_finalize(it->second.st);
      cache.erase(it);
      list.pop_back();
    }
  }

  // The first statement of a text, prepared (null for a text of only blanks or comments);
  // tail receives what follows it, empty when only blanks, ";" or comments do.
  // statement: the text the caller gave, for the error message (sql may be its shape).
  TStatement Prepare(const std::string& sql, std::string& tail, const std::string& statement) {
    tail.clear();
    // After a change of a schema no kept statement may read through the names as they were.
    if (schemaChanged) {
      ClearCache();
      schemaChanged = false;
    }
    auto it = cache.find(sql);
    if (it != cache.end()) {
      TCached& c = it->second;
      if (c.kept) {
        keptList.splice(keptList.begin(), keptList, c.place);
      } else {
        keptList.splice(keptList.begin(), probation, c.place);
        c.kept = true;
        Trim(keptList, kKeptSize);
      }
      return TStatement(c.st, TStatementRelease{true});
    }
    sqlite3_stmt* st = nullptr;
    const char* rest = nullptr;
    schemaStatement = false;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, &rest);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(st);  // null after a failed prepare: the error stays
      FailCode(rc, statement);
    }
    ++prepared;
    if (rest && !OnlyBlanks(rest)) tail = rest;
    if (schemaStatement) {
      // The statements kept so far go once it has run; it is not kept itself.
      schemaChanged = true;
      return TStatement(st);
    }
    // A text of several statements is run piece by piece and never kept whole.
    if (!st || !tail.empty() || sql.size() > kLongestKeptText) return TStatement(st);
    probation.push_front(sql);
    cache.emplace(sql, TCached{st, false, probation.begin(), {}, -1});
    Trim(probation, kProbationSize);
    return TStatement(st, TStatementRelease{true});
  }

  // The shape of a statement fails to prepare where the grammar wants a literal as written
  // (the size of a type in a cast, "varchar(20)"): such a text runs as it is.
  TStatement PrepareShaped(const std::string& sql, const std::string& shape, bool& general,
                           std::string& tail) {
    if (general) {
      try {
        return Prepare(shape, tail, sql);
      } catch (const EDatabaseUnavailable&) {
        throw;
      } catch (const std::exception&) {
        general = false;
      }
    }
    return Prepare(sql, tail, sql);
  }

  // The statements of the tail of a text that must not run as several (rows wanted): none
  // runs, but one that would steer the held transaction is refused, so that the transaction
  // goes with it, as when the text runs (Execute). Read as far as they prepare.
  void GuardTail(std::string rest, const std::string& sql) {
    while (hold.Held() && !rest.empty()) {
      Guard(rest, sql);
      sqlite3_stmt* st = nullptr;
      const char* next = nullptr;
      const int rc =
          sqlite3_prepare_v2(db, rest.c_str(), static_cast<int>(rest.size()), &st, &next);
      sqlite3_finalize(st);
      if (rc != SQLITE_OK || !next || OnlyBlanks(next)) return;
      rest = next;
    }
  }

  // One statement, its parameters bound (its literals when it has none); a tail or an empty
  // text is refused.
  TStatement PrepareSingle(const std::string& sql, const TDbParams& params) {
    CheckText(sql);
    Guard(sql, sql);
    std::string tail, shape;
    TDbParams literals;
    bool general = params.empty() && LiteralsAsParameters(sql, shape, literals);
    TStatement st = PrepareShaped(sql, shape, general, tail);
    if (!tail.empty()) {
      GuardTail(tail, sql);
      Fail("Characters found after end of SQL statement", sql);
    }
    if (!st) Fail("The statement is empty", sql);
    Bind(st.get(), general ? literals : params, sql);
    return st;
  }

  // The parameters of a write statement that go into date columns as they stand.
  std::vector<bool> DateParametersOf(sqlite3_stmt* st) {
    const int count = sqlite3_bind_parameter_count(st);
    const char* text = sqlite3_sql(st);
    if (!text) return std::vector<bool>(static_cast<size_t>(count) + 1, false);
    TWriteLookup lookup;
    lookup.ParameterIndex = [st](const std::string& name) {
      return sqlite3_bind_parameter_index(st, name.c_str());
    };
    lookup.Column = [this](const std::string& schema, const std::string& table,
                           const std::string& column) {
      return ColumnKindOf(schema, table, column);
    };
    lookup.StoredColumns = [this](const std::string& schema, const std::string& table) {
      // Those the table computes itself (generated columns) take no value.
      return XinfoColumns(schema, table, [](const std::string& hidden) { return hidden == "0"; });
    };
    return DateParameters(text, count, lookup);
  }

  void Bind(sqlite3_stmt* st, const TDbParams& params, const std::string& sql) {
    int count = sqlite3_bind_parameter_count(st);
    // An empty text is no date: written into a date column it is null, as the query
    // object's own statements write an empty date and as a server database takes it.
    std::vector<bool> dates;
    for (int i = 1; i <= count; ++i) {
      const char* name = sqlite3_bind_parameter_name(st, i);
      const TDbValue* value = nullptr;
      if (name && (*name == ':' || *name == '@' || *name == '$')) {
        for (const auto& p : params)
          if (strcasecmp(p.first.c_str(), name + 1) == 0) {
            value = &p.second;
            break;
          }
        if (!value) Fail(std::string("No value given for parameter '") + (name + 1) + "'", sql);
      } else if (static_cast<size_t>(i) <= params.size()) {
        value = &params[static_cast<size_t>(i) - 1].second;
      } else {
        Fail("No value given for parameter " + std::to_string(i), sql);
      }
      int rc = SQLITE_OK;
      switch (value->Kind) {
        case TDbKind::Null:
          rc = sqlite3_bind_null(st, i);
          break;
        case TDbKind::Integer:
          rc = sqlite3_bind_int64(st, i, value->Int);
          break;
        case TDbKind::Float:
          rc = sqlite3_bind_double(st, i, value->Float);
          break;
        case TDbKind::DateTime:
          rc = sqlite3_bind_double(st, i, JulianFromDateTime(value->Float));
          break;
        case TDbKind::Text:
          if (value->Text.empty()) {
            if (dates.empty()) dates = DateParametersOf(st);
            if (dates[static_cast<size_t>(i)]) {
              rc = sqlite3_bind_null(st, i);
              break;
            }
          }
          if (HasNul(value->Text))
            Fail(std::string("The value of parameter '") + (name ? name + 1 : "?") +
                     "' holds a NUL character",
                 sql);
          rc = sqlite3_bind_text64(st, i, value->Text.data(), value->Text.size(), SQLITE_TRANSIENT,
                                   SQLITE_UTF8);
          break;
        case TDbKind::Blob:
          rc = sqlite3_bind_blob64(st, i, value->Text.data(), value->Text.size(), SQLITE_TRANSIENT);
          break;
      }
      if (rc != SQLITE_OK) Fail(sqlite3_errmsg(db), sql);
    }
  }

  void CheckText(const std::string& sql) {
    Require(sql);
    if (HasNul(sql)) Fail("The statement holds a NUL character", sql);
  }

  int Step(sqlite3_stmt* st, const std::string& sql) {
    errno = 0;
    int rc = sqlite3_step(st);
    const int stepErrno = errno;
    // A conflict clause "or rollback", a trigger's raise(rollback, ...) or an error after
    // which SQLite rolls back (a full disk) ends a held transaction from inside; the
    // statement's own failure, when it failed, says why.
    const bool ended = hold.EndedBy(sqlite3_get_autocommit(db) == 0);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) FailCode(rc, sql, stepErrno);
    if (ended) Fail(kTransactionEndedBy, sql);
    return rc;
  }
};

TSqliteBackend::TSqliteBackend() : impl_(std::make_unique<Impl>()) {}

TSqliteBackend::~TSqliteBackend() { Close(); }

void TSqliteBackend::Open(const std::string& fileName) {
  Close();
  sqlite3* db = nullptr;
  int rc =
      sqlite3_open_v2(fileName.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close_v2(db);
    impl_->Fail("Unable to open database " + fileName + ": " + msg, "");
  }
  impl_->db = db;
  sqlite3_busy_timeout(db, BusyTimeoutMs);
  sqlite3_extended_result_codes(db, 0);
  const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
  sqlite3_create_function(db, "format", 2, flags, nullptr, FormatFunction, nullptr, nullptr);
  sqlite3_create_function(db, "lcase", 1, flags, nullptr, LcaseFunction, nullptr, nullptr);
  sqlite3_create_function(db, "datevalue", 1, flags, nullptr, DateValueFunction, nullptr, nullptr);
  sqlite3_create_function(db, "now", 0, SQLITE_UTF8, nullptr, NowFunction, nullptr, nullptr);
  sqlite3_set_authorizer(db, &Impl::Authorize, impl_.get());
  try {
    // Readers and one writer at a time from several processes.
    TDbRowSet mode = Query("PRAGMA journal_mode=WAL");
    // In WAL a commit need not wait for the disk: a power cut can then lose the last
    // commits but never corrupt the file, and MakeDurable syncs the log where it matters.
    // Other journal modes keep the default, a sync at every commit.
    if (!mode.Rows.empty() && Upper(mode.Rows[0][0].Text) == "WAL") {
      Execute("PRAGMA synchronous=NORMAL");
      impl_->wal = true;
    }
    // The dialect reads the server date and constants from a one-row table "dual".
    bool ready = false;
    try {
      TDbRowSet r = Query("select count(*) from dual");
      ready = !r.Rows.empty() && r.Rows[0][0].Int > 0;
    } catch (const EDatabaseError&) {
    }
    if (!ready) {
      Execute("BEGIN IMMEDIATE");
      try {
        Execute("create table if not exists dual (dummy varchar(1))");
        Execute("insert into dual (dummy) select 'X' where not exists (select 1 from dual)");
        Execute("COMMIT");
      } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
      }
    }
  } catch (...) {
    Close();
    throw;
  }
  impl_->lastError.clear();
}

void TSqliteBackend::Close() {
  if (!impl_->db) return;
  impl_->wal = false;
  impl_->hold.End();
  impl_->ClearCache();
  sqlite3_close_v2(impl_->db);
  impl_->db = nullptr;
}

bool TSqliteBackend::IsOpen() const { return impl_->db != nullptr; }

long long TSqliteBackend::Execute(const std::string& sql, const TDbParams& params) {
  impl_->CheckText(sql);
  impl_->Guard(sql, sql);
  const long long before = sqlite3_total_changes64(impl_->db);
  std::string shape, tail, rest;
  TDbParams literals;
  bool general = params.empty() && LiteralsAsParameters(sql, shape, literals);
  TStatement st = impl_->PrepareShaped(sql, shape, general, tail);
  const TDbParams& values = general ? literals : params;
  bool ran = false;
  try {
    while (true) {
      if (st) {
        impl_->Bind(st.get(), values, sql);
        while (impl_->Step(st.get(), sql) == SQLITE_ROW) {
        }
        ran = true;
      }
      if (tail.empty()) break;
      rest = std::move(tail);
      tail.clear();
      impl_->Guard(rest, sql);
      st.reset();  // given back before a change of the schema may finalize the kept ones
      st = impl_->Prepare(rest, tail, rest);
    }
  } catch (const EDatabaseError& e) {
    if (ran) impl_->hold.Spoil(e.what());
    throw;
  }
  impl_->lastError.clear();
  return sqlite3_total_changes64(impl_->db) - before;
}

long long TSqliteBackend::ExecuteSingle(const std::string& sql, const TDbParams& params) {
  const long long before = sqlite3_total_changes64(impl_->db);
  TStatement st = impl_->PrepareSingle(sql, params);
  while (impl_->Step(st.get(), sql) == SQLITE_ROW) {
  }
  impl_->lastError.clear();
  return sqlite3_total_changes64(impl_->db) - before;
}

TDbRowSet TSqliteBackend::Query(const std::string& sql, const TDbParams& params) {
  TStatement st = impl_->PrepareSingle(sql, params);
  // The column list is read after the first step: SQLite re-prepares a kept statement
  // there when another connection changed the schema, and "select *" may then have grown.
  int rc = impl_->Step(st.get(), sql);
  const int cols = sqlite3_column_count(st.get());
  TDbRowSet result;
  result.Columns.resize(static_cast<size_t>(cols));
  std::vector<bool> declared(static_cast<size_t>(cols), true);
  for (int i = 0; i < cols; ++i) {
    TDbColumn& c = result.Columns[static_cast<size_t>(i)];
    const char* name = sqlite3_column_name(st.get(), i);
    c.Name = name ? name : "";
    if (!KindOfDeclType(sqlite3_column_decltype(st.get(), i), c.Kind, c.Size)) {
      c.Kind = TDbKind::Null;  // no declared type: the first value decides
      declared[static_cast<size_t>(i)] = false;
    }
  }
  for (; rc == SQLITE_ROW; rc = impl_->Step(st.get(), sql)) {
    std::vector<TDbValue> row;
    row.reserve(static_cast<size_t>(cols));
    for (int i = 0; i < cols; ++i) {
      TDbColumn& c = result.Columns[static_cast<size_t>(i)];
      TDbValue v = ReadColumn(st.get(), i);
      if (c.Kind == TDbKind::DateTime && !v.IsNull()) v = AsDateValue(v);
      if (c.Kind == TDbKind::Null && !v.IsNull()) c.Kind = v.Kind;
      row.push_back(std::move(v));
    }
    result.Rows.push_back(std::move(row));
  }
  impl_->TypeComputedDates(result, declared, sql, st.get());
  for (auto& c : result.Columns)
    if (c.Kind == TDbKind::Null) c.Kind = TDbKind::Text;
  impl_->lastError.clear();
  return result;
}

void TSqliteBackend::StartTransaction() {
  impl_->Require("BEGIN");
  if (InTransaction()) impl_->Fail("A transaction is already active", "BEGIN");
  impl_->hold.End();
  // Take the write lock at once: a deferred start could fail on upgrade without waiting.
  Execute("BEGIN IMMEDIATE");
  impl_->hold.Begin();
}

void TSqliteBackend::Commit() {
  const auto [held, refused] = impl_->hold.End();
  if (!InTransaction()) {
    // Ended by a statement inside it (or by the engine after an error): what followed ran
    // on its own and is kept, which is no commit of the whole.
    if (held) impl_->Fail(kTransactionEndedEarly, "COMMIT");
    return;
  }
  if (!refused.empty()) {
    Execute("ROLLBACK");
    impl_->Fail(refused, "COMMIT");
  }
  Execute("COMMIT");
}

void TSqliteBackend::Rollback() {
  impl_->hold.End();
  if (!InTransaction()) return;
  Execute("ROLLBACK");
}

bool TSqliteBackend::InTransaction() const {
  return impl_->db && sqlite3_get_autocommit(impl_->db) == 0;
}

void TSqliteBackend::MakeDurable() {
  impl_->Require("sync");
  if (!impl_->wal) return;  // every commit was synced already
  // The log file that holds the commits since the last checkpoint; syncing it is what a
  // commit under synchronous=FULL would have done. Not open yet: nothing was written.
  sqlite3_file* log = nullptr;
  int rc = sqlite3_file_control(impl_->db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log);
  if (rc == SQLITE_OK && log && log->pMethods) rc = log->pMethods->xSync(log, SQLITE_SYNC_NORMAL);
  if (rc != SQLITE_OK) {
    const std::string message = std::string("Cannot sync the database log: ") + sqlite3_errstr(rc);
    impl_->lastError = message;
    RaiseSiteFailure(message, "");
  }
}

std::string TSqliteBackend::LastError() const { return impl_->lastError; }

int TSqliteBackend::PreparedCount() const { return impl_->prepared; }

}  // namespace v7
