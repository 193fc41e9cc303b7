// One reading of SQL text into tokens, for the engine that will run it: the date typing of
// SQLite selects and the cutting of PostgreSQL texts into their statements read the same
// words, literals, quoted names and signs, and pass over the same blanks and comments.
#pragma once

#include <string>
#include <vector>

namespace v7 {

enum class TSqlDialect {
  Sqlite,    // names also in `...` and [...]; "--" ends at a line feed; "/*" does not nest
  Postgres,  // E'...' and $tag$...$tag$ literals, $1 parameters; "/*" nests
};

struct TSqlToken {
  // 'w' word, 'q' quoted name (both in lower case), 's' literal (its text between the
  // quotes; a doubled quote stays doubled), 'n' number, 'x' parameter ($1), 'p' a sign.
  char Kind = 'p';
  std::string Text;
  size_t B = 0, E = 0;     // where it stands in the text
  bool Open = false;       // a literal or quoted name that the text never closes
  bool Escapes = false;    // E'...': backslashes escape
  bool Backslash = false;  // a '...' literal (not E'...') that holds a backslash
};

class TSqlLexer {
 public:
  TSqlLexer(const std::string& sql, TSqlDialect dialect)
      : sql_(sql), pg_(dialect == TSqlDialect::Postgres) {}
  // The next token into t; false at the end of the text.
  bool Next(TSqlToken& t);
  // A comment was left open: it ran to the end of the text.
  bool OpenComment() const { return openComment_; }

 private:
  void Quoted(TSqlToken& t, size_t open, bool escapes);
  const std::string& sql_;
  const bool pg_;
  size_t i_ = 0;
  bool openComment_ = false;
};

// Every token of sql.
std::vector<TSqlToken> SqlTokens(const std::string& sql, TSqlDialect dialect);

}  // namespace v7
