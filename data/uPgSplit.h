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

struct TPgStatements {
  std::vector<std::string> Pieces;  // as SplitPgStatements cuts the text
  // False when the server may read the text otherwise than it was cut: a literal, quoted
  // name, dollar quote or comment left open; a "begin" in a "create function|procedure"
  // that opens no "begin atomic" body; a backslash in a '...' literal while
  // standard_conforming_strings is off, or where the text itself may turn it off. Such a
  // text must run whole, as the server reads it, or not at all.
  bool Sure = true;
};

// The statements of sql as above, and whether the cut is sure; standardStrings: the
// session's standard_conforming_strings is on.
TPgStatements CutPgStatements(const std::string& sql, bool standardStrings);

// The places where a statement of sql may begin however the server reads its quotes: the
// start and every place after a ";". A text that cannot be cut surely is guarded by these.
std::vector<size_t> PgStatementStarts(const std::string& sql);

}  // namespace v7
