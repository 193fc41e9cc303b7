// Which result columns of a select statement are dates computed from date columns. SQLite
// reports a declared type only for a result column that names a table column; a value
// computed from date columns (max, min, coalesce, ifnull, nullif, iif, case, a sub-select,
// parentheses) has none, and its stored form, a Julian day number, would reach the caller as
// a plain number. Arithmetic, comparisons and other functions make no date: "max(d) - min(d)"
// is a number of days and "count(d)" a count, as on a server database.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace v7 {

// Answers whether the named table has a column of that name declared as a date or time.
using TDateColumnLookup = std::function<bool(const std::string& table, const std::string& column)>;

// For each of the columnCount result columns of the select text, whether its expression is
// a date computed from date columns of the tables the statement reads. All false when the
// text is no select or its result list does not match columnCount (a "*" among them).
std::vector<bool> ComputedDateColumns(const std::string& sql, size_t columnCount,
                                      const TDateColumnLookup& isDateColumn);

}  // namespace v7
