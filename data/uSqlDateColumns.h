// Which result columns of a select statement are dates computed from date columns. SQLite
// reports a declared type only for a result column that names a table column; a value
// computed from date columns (max, min, coalesce, ifnull, nullif, iif, case, a sub-select,
// parentheses, an aggregate over a window or with a filter, a date plus or minus whole days)
// has none, and its stored form, a Julian day number, would reach the caller as a plain
// number. Other arithmetic, comparisons and other functions make no date: "max(d) - min(d)"
// is a number of days and "count(d)" a count, as on a server database.
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
  Date,      // a date without a time of day (DATE)
  DateTime,  // a date and time (DATETIME, TIMESTAMP)
};

// What the named table says of the named column; names as the statement writes them.
using TDateColumnLookup =
    std::function<TColumnKind(const std::string& table, const std::string& column)>;
// The statement that made the named view ("create view ... as select ..."), empty when the
// name is no view.
using TViewTextLookup = std::function<std::string(const std::string& name)>;

// For each of the columnCount result columns of the select text, whether its expression is
// a date computed from date columns of the tables the statement reads. A name is followed
// to its own table through its qualifier (an alias or the table's name) or, alone, through
// the nearest select whose sources have it; a sub-select's columns and a view's by its own
// result list, where a "*" brings the columns of its sources; a table-valued function's
// columns are no dates. False wherever the source is not certain. All false when the text
// is no select or its result list does not match columnCount (a "*" among them).
std::vector<bool> ComputedDateColumns(const std::string& sql, size_t columnCount,
                                      const TDateColumnLookup& lookup,
                                      const TViewTextLookup& viewText);

}  // namespace v7
