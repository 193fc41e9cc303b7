// SQL functions of the evaluator over named cached result sets. The operations are members
// of TEVAL (UParse.h: FireSql, PrepareExprQuery, ExpandSqlMacros, SqlGet, FindRecord,
// GetDelimitedStr, CloseExprQueries); this unit defines them.
//
// firesql(name, sql) runs the statement on a query object named "Expr_" + name, made on
// the evaluator's DBManager on first use, switched to cached mode and kept until the
// evaluator goes. A "{variable}" in the text is replaced by the variable's value (expanded
// again when the value holds macros): inside a quoted literal of the statement the value's
// quotes are doubled, so it stays inside that literal whatever it holds; outside quotes it
// is inserted as it is (a statement may take an SQL fragment from a variable on purpose).
// Every ":param" takes the value and type letter of the variable of its name (an empty
// number is sent as 0). A text that begins with "select" is opened, any other executed.
#pragma once

#include <string>
#include <string_view>

namespace v7 {

// Name prefix of the query objects of the named result sets.
inline constexpr const char* kExprQueryPrefix = "Expr_";
// Macro replacements allowed in one statement: a variable whose value holds its own macro
// fails with "Invalid sql ..." instead of expanding for ever.
constexpr int kMaxSqlMacroExpansions = 1000;

// Quoted literals of a statement: '...', where '' stands for one quote inside the literal.
// True when the character at pos lies inside such a literal (its opening quote counts as
// outside, its closing quote as inside).
bool IsInsideSqlLiteral(std::string_view sql, size_t pos);
// The text with every "'" doubled: the content of one literal, whatever the text holds.
std::string DoubleSqlQuotes(std::string_view text);
// A value as it must replace the macro that starts at pos of sql: quotes doubled inside a
// literal, as it is outside.
std::string SqlMacroValue(std::string_view sql, size_t pos, std::string_view value);

}  // namespace v7
