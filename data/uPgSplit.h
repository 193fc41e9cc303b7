// A text of several SQL statements cut into its statements as the PostgreSQL server reads
// them, so that each can run (and be guarded) on its own.
#pragma once

#include <string>
#include <vector>

namespace v7 {

// The statements of sql, in order, without the ";" that ends each; statements of only
// blanks and comments are left out. A ";" ends a statement only outside quoted literals
// ('...', E'...' with its backslash escapes, $tag$...$tag$), quoted names ("..."), comments
// ("--" to a line feed or carriage return, "/* */" nested), parentheses, and the
// "begin atomic ... end" body of a "create [or replace] function|procedure". A literal or
// comment left open runs to the end of the text, where the server will refuse it.
std::vector<std::string> SplitPgStatements(const std::string& sql);

}  // namespace v7
