// Which result columns of a select statement are dates computed from date columns. SQLite
// reports a declared type only for a result column that names a table column; a value
// computed from date columns (max, min, coalesce, ifnull, nullif, iif, case, a sub-select,
// parentheses, an aggregate over a window or with a filter, lag, lead, first_value,
// last_value, nth_value, a cast to a date type, a date plus or minus whole days, however they
// are computed: coalesce(days, 0), abs(days), length(code), a case or a sub-select) or read
// through a "with" table, a view of such values or a "*" has none, and its stored form, a
// Julian day number, would reach the caller as a plain number. now(), datevalue() and the
// date template format(text, mask) make dates too. A null, a text or a parameter beside
// other values (in coalesce, case, a compound select) takes their type, as a server infers
// a parameter's. Other arithmetic, comparisons and other functions make no date:
// "max(d) - min(d)" is a number of days and "count(d)" a count, as on a server database.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace v7 {

// What a source of a select says of a column name, weakest first.
enum class TColumnKind {
  Unknown,   // its columns cannot be told (no table of that name)
  Missing,   // it has no column of that name
  Other,     // the column holds no date
  Integer,   // whole numbers (a declared INT type): days that a date may be moved by
  Date,      // a date without a time of day (DATE)
  DateTime,  // a date and time (DATETIME, TIMESTAMP)
  Time,      // a time of day (a cast to TIME), read as its text "hh:mm:ss"
};

// What the database says of its tables and views. Names are as the statement writes them;
// an empty schema means the name alone, looked up as the database looks it up.
struct TSchemaLookup {
  // What the named table says of the named column (Unknown when it is no table).
  std::function<TColumnKind(const std::string& schema, const std::string& table,
                            const std::string& column)>
      Column;
  // The statement that made the named view ("create view ... as select ..."), empty when the
  // name is no view; found: the schema that holds it.
  std::function<std::string(const std::string& schema, const std::string& name, std::string& found)>
      ViewText;
  // The names of the columns that "select *" reads from the named table, view or
  // table-valued function, in order; empty when there is no such thing.
  std::function<std::vector<std::string>(const std::string& schema, const std::string& name)>
      ColumnNames;
};

// For each of the columnCount result columns of the select text, Date or DateTime when its
// expression is a date computed from date columns of the tables the statement reads, Time
// for a time of day cast from one, Other elsewhere. A name is followed to its own table
// through its qualifier (an alias or the table's name, with its schema) or, alone, through
// the nearest select whose sources have it; a "with" table, a sub-select's columns and a
// view's by its own result list, where a "*" brings the columns of its sources (those a
// "using" or natural join names once; of a sub-select or "with" table by their place); a
// table-valued function's columns are no dates. Other wherever the source is not certain,
// and everywhere when the text is no select or its result list does not give columnCount
// columns.
std::vector<TColumnKind> ComputedDateColumns(const std::string& sql, size_t columnCount,
                                             const TSchemaLookup& lookup);

}  // namespace v7
