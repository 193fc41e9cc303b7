// The built-in function library of every evaluator: 64 functions registered in a fixed
// order with their result types (arithmetic, text, dates, amounts in words, variables, SQL
// over named queries, mail, MD5, and names that only hand their arguments to a host hook).
//
// Arguments arrive as the texts of their evaluated values, "~e~" already blanked. Number,
// integer and date arguments are converted strictly (uValues.h); a text that does not
// convert raises EConvertError, which fails the evaluation, except where a function guards
// itself (MakeDate: '', AddToDate: "01/01/1990", Power: "0"). A hook-only function whose
// hook is not set does nothing and leaves the result as it came (empty).
//
// sendmail: its one argument carries the server settings as name=value lines followed by
// the message XML (see SendMail in uExprRoutines.h); it answers the mail sender's status,
// "done" or the error that stopped the sending, so a script can tell a sent mail from a
// failed one.
#pragma once

#include "UParse.h"

namespace v7 {

// Number of functions RegisterBuiltinFunctions registers.
constexpr int kBuiltinFunctionCount = 64;

// Declared in UParse.h; registers the library on a new evaluator.
void RegisterBuiltinFunctions(TEVAL& eval);

}  // namespace v7
