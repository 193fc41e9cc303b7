// SQL functions of the evaluator over named cached result sets. The operations are members
// of TEVAL (UParse.h: FireSql, PrepareExprQuery, ExpandSqlMacros, SqlGet, FindRecord,
// GetDelimitedStr, CloseExprQueries); this unit defines them.
//
// firesql(name, sql) runs the statement on a query object named "Expr_" + name, made on
// the evaluator's DBManager on first use, switched to cached mode and kept until the
// evaluator goes. A "{variable}" in the text is replaced by the variable's value (unquoted,
// expanded again when the value holds macros); every ":param" takes the value and type
// letter of the variable of its name (an empty number is sent as 0). A text that begins
// with "select" is opened, any other executed.
#pragma once

namespace v7 {

// Name prefix of the query objects of the named result sets.
inline constexpr const char* kExprQueryPrefix = "Expr_";
// Macro replacements allowed in one statement: a variable whose value holds its own macro
// fails with "Invalid sql ..." instead of expanding for ever.
constexpr int kMaxSqlMacroExpansions = 1000;

}  // namespace v7
