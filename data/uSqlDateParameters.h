// Which parameters of a write statement go into date columns as they stand: an empty text
// bound there is no date, and is written as null, as a server database takes it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "uSqlDateColumns.h"

namespace v7 {

// What the database says of the statement and the tables it writes.
struct TWriteLookup {
  // The number of the parameter written so in the text (":due", "@due", "$due"), 0 for none.
  std::function<int(const std::string& name)> ParameterIndex;
  // What the named table says of the named column (Unknown when it is no table).
  std::function<TColumnKind(const std::string& schema, const std::string& table,
                            const std::string& column)>
      Column;
  // The columns that an insert without a list of columns gives values to, in order.
  std::function<std::vector<std::string>(const std::string& schema, const std::string& table)>
      StoredColumns;
};

// For each parameter number 1 to parameterCount of sql (an update or an insert, after a
// "with" clause or not), whether it goes into a date column as it stands: alone, in
// parentheses, or a value of coalesce, ifnull, nullif, iif, max, min or case, in the "set" of
// an update or in the values or the select of an insert. Index 0 is unused.
std::vector<bool> DateParameters(const std::string& sql, int parameterCount,
                                 const TWriteLookup& lookup);

}  // namespace v7
