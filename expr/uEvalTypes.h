// Records of the expression evaluator: the argument array of one call, a function of the
// function table (or a pending call), and one record of a compiled expression.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace v7 {

class TEVAL;

// A call takes at most this many arguments; a call with more fails its evaluation.
constexpr int kMaxCallArgs = 20;

// The arguments of one call, indexed from 0. Arguments a call did not supply are ''.
using TParamArray = std::array<std::string, kMaxCallArgs>;

// The body of a registered function: reads the evaluated arguments (never "~e~": the
// dispatch blanks them) and fills the result, which arrives empty. A body may raise: during
// `Evaluate` that fails the evaluation, during `EvalCompiled` it reaches the caller.
using TFunctionBody =
    std::function<void(TEVAL& eval, const TParamArray& args, std::string& result)>;

// One function of the table, or one pending call (a frame of the scan, or the call record
// of a compiled expression).
struct TFunctions {
  std::string Name;       // lower case
  char ResultType = 'v';  // type letter of the result
  TParamArray Args;       // a call's evaluated arguments
  int CallIndex = 0;      // always 0; handed to CallFunction unchanged
  int NextArg = 1;        // 1-based position the next argument fills
  TFunctionBody Body;     // registered functions: what CallFunction runs (may be empty)
  int TableIndex = -1;    // pending calls: index of the registered function in the table
};

// One record of a compiled expression. The records of one id lie consecutively in
// `TEVAL::CompiledList`, and the id is the list index of the first of them.
//  - argument record: Tokens hold the argument's postfix list; ArgIndex its 1-based position
//    and CallItem the call it feeds;
//  - call record: no tokens; CallItem is the call (owned here), its Args filled by a replay;
//  - expression record (last): the whole expression's postfix list.
// A replay never writes into Tokens: values are read straight from the variables, the
// literals and the call results, so the compiled form stays as compiled whatever happens
// during a replay.
struct TPrep {
  int Id = 0;
  int ArgIndex = -1;                      // argument records: 1-based argument position
  TFunctions* CallItem = nullptr;         // argument and call records
  std::unique_ptr<TFunctions> OwnedCall;  // call records: the call they own
  bool HasTokens = false;                 // false for a call record
  std::vector<std::string> Tokens;        // postfix list: literals unmarked, variables as
                                          // their index text, calls as "_xcall" + record index
  std::string Types;                      // type letter of each token
  // Kind of each token: 'c' literal, 'v' variable index, 'o' operator, 'u' anything else
  // (numbers, unknown words, call placeholders).
  std::string Kinds;
  std::vector<int> Refs;   // per token: variable index ('v'), call record index (a 'u'
                           // placeholder), else -1
  std::string CallResult;  // call records: the value of the call in the current replay
  bool Failed = false;     // the compile-mode evaluation of this id failed
  int BoundVarCount = 0;   // first record of an id: variable count when last resolved
};

}  // namespace v7
