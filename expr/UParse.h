// The interpreter of the expression language: one object holding the function table, the
// variable store, the working lists of the scan and of the operator parser, the compiled
// expressions, the script lines and the hooks through which its owner supplies database
// work and receives trace lines.
//
// Values are texts with a one-letter type: 'n' number (general number text), 'c' text,
// 'd' date ("dd/mm/yyyy"), 's' result of an 's' function (operators read it as 'c'), 'v'
// untyped. "~e~" stands for a blank value inside an evaluation and is blanked before any
// function or operator sees it. Operators answer "1"/"0", built-in predicates "T"/"F".
//
// Extending the language: a function is a row of the function table, registered with
// `RegisterFunction`(name, result type, body). `CallFunction` (virtual) runs the body of the
// first row of that name, so libraries plug in by registering rows; a subclass may override
// `CallFunction` to wrap the dispatch (for example to trap errors) and call this one.
// The constructor registers the built-in library through `RegisterBuiltinFunctions`.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "uEvalTypes.h"
#include "uGeneralFunctions.h"

namespace v7 {

class TDBManager;
class TXDS;

// Raised inside an evaluation for a text the scan or the parser cannot take ("}" without
// "{", an unclosed call, too many arguments); Evaluate turns it into a failed evaluation.
class EParserError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Registers the built-in function library on a new evaluator, in its registration order.
// Defined by the built-in library unit of this folder; called by the TEVAL constructor.
void RegisterBuiltinFunctions(TEVAL& eval);

class TEVAL {
 public:
  // Texts of the system.
  static constexpr const char* kEmptyMark = "~e~";
  static constexpr char kCallMark = '\x01';     // stands where a function name stood
  static constexpr char kEndCallMark = '\x02';  // stands where a call's ")" stood
  // Passes of `Eval` re-evaluation allowed in one evaluation; an expression whose value
  // keeps asking for one more pass fails instead of running forever.
  static constexpr int kMaxEvalPasses = 64;
  // Nesting of `Evaluate` inside a function called by `Evaluate`.
  static constexpr int kMaxNesting = 32;
  // Calls in one expression (each holds its argument array until it is reduced).
  static constexpr int kMaxOpenCalls = 10000;

  // Hook types: the arguments are the call's argument texts, "r" an out text.
  using TTextEvent1 = std::function<void(const std::string&)>;
  using TTextEvent2 = std::function<void(const std::string&, const std::string&)>;
  using TTextEvent3 =
      std::function<void(const std::string&, const std::string&, const std::string&)>;
  using TTextEvent4 = std::function<void(const std::string&, const std::string&, const std::string&,
                                         const std::string&)>;
  using TSqlGetEvent =
      std::function<void(const std::string& name, const std::string& field, std::string& r)>;
  using TFindRecordEvent = std::function<void(const std::string& name, const std::string& field,
                                              const std::string& value, std::string& r)>;
  using TGetTransIdEvent = std::function<void(const std::string&, std::string& r)>;
  using TDataSplitEvent = std::function<void(double date, const std::string&, const std::string&)>;

  TEVAL();
  virtual ~TEVAL();
  TEVAL(const TEVAL&) = delete;
  TEVAL& operator=(const TEVAL&) = delete;

  // ---- Virtual operations ----

  // Runs the named function: the body of the first function-table row of that name (any
  // letter case), with every argument equal to "~e~" blanked. A name without a row (or a
  // row without a body) leaves Result unchanged and raises nothing.
  virtual void CallFunction(const std::string& name, const TParamArray& args, int callIndex,
                            std::string& result);
  // Whether a token of the scan names a variable; when it does, the current token takes the
  // variable's value (normal mode) or index mark (compile mode) and its type.
  virtual bool IsVariable(const std::string& token);

  // ---- Variables ----

  // Creates or updates a variable; answers its index. The type of an existing variable
  // stays; a number is stored without commas and other non-numeric characters.
  int SetVar(const std::string& name, char varType, const std::string& value);
  // Value ('' when unknown) and LastVarType ('' when unknown).
  void GetVar(const std::string& name, std::string& value);
  // Index of a variable, or -1.
  int IndexOfVar(std::string_view name) const;
  std::string IsVarEmpty(const std::string& name);                                     // "T"/"F"
  static std::string IsEmptyValue(const std::string& value, const std::string& type);  // "T"/"F"
  static std::string IsEmpty(const std::string& value);                                // "T"/"F"
  // Only "-", "." and the digits of the text, in order.
  static std::string KeepNumericChars(const std::string& text);

  // ---- Function table ----

  // Appends a row; a second registration of a name has no effect on lookups.
  void RegisterFunction(const std::string& name, char resultType, TFunctionBody body = {});
  // The first row whose name equals the lower-cased name, or nullptr.
  TFunctions* FindFunction(const std::string& name);
  bool IsFunction(const std::string& token);

  // ---- Trace and messages ----

  // Sets both OnTrace and the handler restored after compiling. An empty handler (NoTrace)
  // traces nothing.
  void SetTraceHandler(TTraceProc handler);
  static void NoTrace(const std::string&) {}
  // The messages the system shows in a box ("Invalid Expression", ...): to OnMessage when
  // set, else to the trace as "# 1#" + text.
  void ShowMessage(const std::string& text);

  // ---- Evaluation ----

  // True: ResultValue holds the value and CurrentType its type. False: the evaluation
  // failed ("# 1#Error while evaluating expression." traced); ResultValue as before.
  bool Evaluate(const std::string& expr);
  // Compiles an expression; answers its id for EvalCompiled.
  int Compile(const std::string& expr);
  // Replays a compiled expression with the current variable values. False for -1, for an
  // expression whose compilation failed and for an Eval whose text fails, as Evaluate
  // answers for the same expression. An error raised by a function or a conversion
  // passes to the caller, with the evaluator as it was before the replay.
  bool EvalCompiled(int id);
  void ClearCompiled();
  // The body of the built-in Eval: the value is evaluated once more after this pass.
  void EvalAgain(const std::string& value, std::string& result);
  // Runs the lines of Script from firstLine (0-based): "name := expression" or "expression";
  // empty and "//" lines are skipped, a line starting with "{" ends the script.
  void RunScript(int firstLine);

  // ---- SQL over named result sets (defined by the SQL-function unit of this folder) ----

  void FireSql(const std::string& setName, const std::string& sql);
  void PrepareExprQuery(TXDS& query);
  std::string ExpandSqlMacros(const std::string& sql);
  void SqlGet(const std::string& setName, const std::string& fieldName, std::string& result);
  void FindRecord(const std::string& setName, const std::string& fieldName,
                  const std::string& value, std::string& result);
  void GetDelimitedStr(const std::string& setName, const std::string& fieldName,
                       const std::string& delimiter, std::string& result);
  void CloseExprQueries();

  // ---- State that owners, libraries and subclasses read or set ----

  std::string ResultValue;  // the value of the last evaluation
  char CurrentType = 'v';   // type letter of the last value produced
  std::string LastVarType;  // type letter of the variable the last GetVar found ('' if none)
  bool EvalAgainFlag = false;
  char Mode = 'n';  // 'n' normal, 'p' compiling, 'e' replaying
  int ErrorCount = 0;

  // Variable store: variable k is VarNames[k] (lower case), VarTypes[k], VarValues[k] and
  // VarFlags[k] ('T' set, 'F' a number assigned the empty text). Never shrinks.
  std::vector<std::string> VarNames;
  std::vector<std::string> VarValues;
  std::string VarTypes;
  std::string VarFlags;

  std::vector<std::unique_ptr<TFunctions>> FunctionTable;  // registration order
  std::vector<std::unique_ptr<TPrep>> CompiledList;

  const std::vector<std::string>* Script = nullptr;  // not owned
  TTraceProc OnTrace;
  std::function<void(const std::string&)> OnMessage;
  std::function<void(const std::string&)> OnEvaluateLine;

  // Database events; when set they replace the built-in bodies of sqlget, firesql and
  // findrecord.
  TSqlGetEvent OnSqlGet;
  TTextEvent2 OnFireSql;
  TFindRecordEvent OnFindRecord;
  // Events that carry the whole work of a built-in; none is set in this system.
  TTextEvent1 OnDpImport;
  TTextEvent4 OnDpExport;
  TTextEvent1 OnFixTree;
  TTextEvent1 OnPostMDMap;
  TTextEvent2 OnRepost;
  TTextEvent1 OnRegenerate;
  TTextEvent3 OnPostGenMap;
  TGetTransIdEvent OnGetTransId;
  TTextEvent1 OnCsvImport;
  TTextEvent1 OnXmlImport;
  TTextEvent2 OnDomrp;
  TDataSplitEvent OnDataSplit;

  TDBManager* DBManager = nullptr;  // not owned
  // The cached "Expr_" result sets, created on the first firesql of each name.
  std::vector<std::shared_ptr<TXDS>> ExprQueries;
  // A script's statement other than a select reached the database through this evaluator,
  // by whatever route (firesql, getsqlvalue, sqlregvar, whoever serves them): what was
  // read from the database before it may be out of date. Its owner clears it.
  bool ScriptWrote = false;
  // Every route by which a script's statement reaches the database calls this first.
  void NoteScriptStatement(const std::string& sql) {
    if (!IsSelectStatement(sql)) ScriptWrote = true;
  }
  // The text is a select (its first word, after blanks, in any case): it reads only.
  static bool IsSelectStatement(const std::string& sql);

 protected:
  // Trace one text when a handler is set.
  void Trace(const std::string& text) const {
    if (OnTrace) OnTrace(text);
  }
  void Trace(const char* text) const {  // builds no string when nothing traces
    if (OnTrace) OnTrace(text);
  }
  bool Tracing() const { return static_cast<bool>(OnTrace); }

  // Evaluate, counting passesDone passes of Eval re-evaluation as already run (a replay
  // that ends in Eval has run the first).
  bool Evaluate(const std::string& expr, int passesDone);

  // ---- Scan and reduction ----
  struct TScanState;
  void SwapScanState(TScanState& state);
  void StartPass(const std::string& expr);
  void ScanExpression();
  void EndToken();
  void NewToken();
  void OpenBrace();
  void CloseBrace();
  void ReduceFunctionCall();
  void AddArgument(const std::string& value);
  void InvokeFunction(std::string& result);
  void ParseAndEvaluate(std::vector<std::string>& tokenList, std::string& typeList,
                        std::string& result);
  void ClearCallStack();

  // ---- Operator parser ----
  static int InPriority(std::string_view token, char type);
  static int StackPriority(std::string_view token, char type);
  static bool IsOperator(std::string_view token, char type);
  void InfixToPostfix(std::vector<std::string>& tokenList, std::string& typeList);
  void EvalPostfix(const std::vector<std::string>& postfixList, const std::string& typeList,
                   std::string& result);
  void ApplyOperator(std::string_view left, std::string_view right, char op, char opType,
                     std::string& result);
  void PrepareStack(size_t items);
  void PushOperand(std::string_view text, char type);
  void ApplyStackOperator(char op, char opType);
  void StackResult(std::string& result);

  // ---- Compiled expressions ----
  void StoreCompiledRecord(const std::vector<std::string>& postfixList,
                           const std::string& typeList);
  void ResolveCompiledVars(int id);
  void ReplayRecord(TPrep& record, std::string& result);

  // Working lists (fields of the object: one evaluation at a time).
  std::vector<std::string> Tokens;
  std::string TokenTypes;
  std::string PostfixTypes;
  std::vector<std::string> Postfix;
  std::vector<std::string> OperandStack;
  std::string OperandStackTypes;
  std::vector<std::string> ArgTokens;
  std::string ArgTypes;
  std::vector<std::unique_ptr<TFunctions>> CallFrames;  // innermost last
  std::string CallMarks;
  int TokenIndex = 0;
  int BraceDepth = 0;
  int ScanPos = 0;
  std::string ExprText;
  bool ClosedBrace = false;
  bool TokenMarked = false;  // compile mode: the current token already carries "_c_"

  TPrep* CurrentPrep = nullptr;
  std::unique_ptr<TPrep> CallPrep;
  int CompileId = 0;
  TTraceProc DefaultTrace;
  int Nesting = 0;

  // Postfix machine: a stack of operand views and the strings that back computed values.
  // A number that an operator produced is kept as the value its text reads back as and
  // written as text only when something needs the text (pending): the text is the same.
  struct TOperand {
    std::string_view text;
    char type;
    bool pending = false;  // text not written yet: it is the number text of value
    double number = 0;     // what that text reads back as
    double value = 0;
  };
  std::vector<TOperand> Stack;
  std::vector<std::string> StackValues;
  std::string OpResult;
  bool OpResultPending = false;  // OpResult is the number text of OpResultValue, not written yet
  double OpResultValue = 0;
  // Writes the text of a pending operand (by its place on the stack) or of OpResult.
  void WriteOperandText(size_t place);
  void WriteOpResultText();
  std::vector<std::unique_ptr<TParamArray>> ArgScratch;
  int CallDepth = 0;
  std::vector<std::unique_ptr<std::string>> ReplayResults;
  int ReplayDepth = 0;

  // Lookup indexes of VarNames and FunctionTable (first row of a name).
  std::unordered_map<std::string, int> VarIndex;
  std::unordered_map<std::string, int> FunctionIndex;
};

}  // namespace v7
