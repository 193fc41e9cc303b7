// The evaluator object: construction with the predefined variables, the variable store, the
// function table and its dispatch, and the evaluation of one expression (scan, call
// reduction, hand-over to the operator parser).
#include "UParse.h"

#include <algorithm>
#include <iterator>

#include "uEvalMarks.h"
#include "uValues.h"

namespace v7 {

// What one evaluation keeps while it runs; a function that evaluates another expression on
// the same evaluator gets a fresh set, and the caller's is put back afterwards.
struct TEVAL::TScanState {
  std::vector<std::string> Tokens;
  std::string TokenTypes;
  std::vector<std::unique_ptr<TFunctions>> CallFrames;
  std::string CallMarks;
  std::vector<std::string> ArgTokens;
  std::string ArgTypes;
  std::string ExprText;
  int TokenIndex = 0;
  int BraceDepth = 0;
  int ScanPos = 0;
  bool ClosedBrace = false;
  bool TokenMarked = false;
  // An Eval reduced earlier in the caller's pass still asks for its pass after this one.
  bool EvalAgainFlag = false;
  TPrep* CurrentPrep = nullptr;
  std::unique_ptr<TPrep> CallPrep;
};

namespace {

std::string DateVarText(double serial) {
  try {
    return FormatDateTimeSerial(serial);
  } catch (const EConvertError&) {
    return std::string();
  }
}

bool IsDelimiterChar(char c) { return c == ' ' || c == '(' || c == ')' || c == ','; }

}  // namespace

TEVAL::TEVAL() {
  VarNames.reserve(500);
  VarValues.reserve(500);
  FunctionTable.reserve(500);
  CompiledList.reserve(500);
  Tokens.reserve(300);
  Postfix.reserve(100);
  OperandStack.reserve(100);
  ArgTokens.reserve(20);

  SetVar("ApprovalNo", 'n', "0");
  SetVar("ApprovalStatus", 'c', "");
  SetVar("CompanyName", 'c', CompanyName);
  SetVar("UserName", 'c', UserName);
  SetVar("UserCategory", 'c', UserCategory);
  SetVar("UserDepartment", 'c', UserDepartment);
  SetVar("DbRep", 'c', DbRep);
  SetVar("CrRep", 'c', CrRep);
  SetVar("QuorexPath", 'c', QuorexPath);
  SetVar("_MainCurr", 'c', MainCurr);
  SetVar("_SubCurr", 'c', SubCurr);
  SetVar("_currdecimal", 'n', std::to_string(CurrDecimal));
  SetVar("finyrst", 'd', DateVarText(FinYrSt));
  SetVar("finyred", 'd', DateVarText(FinYrEd));
  SetVar("afinyrst", 'd', DateVarText(AFinYrSt));
  SetVar("afinyred", 'd', DateVarText(AFinYrEd));
  SetVar("basecurrencyid", 'n', FormatNumber(static_cast<double>(BaseCurrencyId)));
  SetVar("_millions", 'c', Millions ? "T" : "F");
  SetVar("_ConnectNo", 'n', std::to_string(ConnectNo));

  RegisterBuiltinFunctions(*this);
}

TEVAL::~TEVAL() = default;

// ---- Variables ----

int TEVAL::SetVar(const std::string& name, char varType, const std::string& value) {
  if (varType < 'a') varType = static_cast<char>(varType + 32);
  char flag = 'T';
  std::string v = value;
  if (varType == 'n' && v.empty()) {
    v = "0";
    flag = 'F';
  }
  if (name.empty()) return 0;
  if (varType == 'n') {
    // A text that reads as a number (the language's own "1E20" or "5E-6" among them) keeps
    // its value; only other texts, such as "1,234.50 Dr", are cut down to their digits.
    v = StripCommas(v);
    double number;
    if (TryParseNumber(v, number)) {
      v = TrimText(v);
    } else {
      v = KeepNumericChars(v);
    }
  }
  std::string lower = AsciiLower(name);
  const auto it = VarIndex.find(lower);
  if (it == VarIndex.end()) {
    const int index = static_cast<int>(VarNames.size());
    VarIndex.emplace(lower, index);
    VarNames.push_back(std::move(lower));
    VarTypes.push_back(varType);
    VarValues.push_back(std::move(v));
    VarFlags.push_back(flag);
    return index;
  }
  VarValues[it->second] = std::move(v);
  VarFlags[it->second] = flag;
  return it->second;
}

int TEVAL::IndexOfVar(std::string_view name) const {
  const auto it = VarIndex.find(AsciiLower(name));
  return it == VarIndex.end() ? -1 : it->second;
}

void TEVAL::GetVar(const std::string& name, std::string& value) {
  value.clear();
  LastVarType.clear();
  const int k = IndexOfVar(name);
  if (k < 0) return;
  LastVarType.assign(1, VarTypes[k]);
  value = VarValues[k];
}

std::string TEVAL::IsEmpty(const std::string& value) { return IsNullText(value) ? "T" : "F"; }

std::string TEVAL::IsEmptyValue(const std::string& value, const std::string& type) {
  return IsNullValue(value, type);
}

std::string TEVAL::IsVarEmpty(const std::string& name) {
  const int k = IndexOfVar(name);
  if (k < 0) return "T";
  std::string value = VarValues[k];
  const char type = VarTypes[k];
  if (type == 'n' && VarFlags[k] == 'F') {
    // A number set from the empty text reads as 0 and counts as empty until set again.
    double d = 0;
    if (TrimView(value).empty() || (TryParseNumber(value, d) && d == 0)) value.clear();
  }
  return IsEmptyValue(value, std::string(1, type));
}

std::string TEVAL::KeepNumericChars(const std::string& text) {
  std::string s;
  s.reserve(text.size());
  for (char c : text) {
    if (c == '-' || c == '.' || (c >= '0' && c <= '9')) s += c;
  }
  return s;
}

// ---- Function table ----

void TEVAL::RegisterFunction(const std::string& name, char resultType, TFunctionBody body) {
  auto f = std::make_unique<TFunctions>();
  f->Name = AsciiLower(name);
  f->ResultType = resultType;
  f->Body = std::move(body);
  f->TableIndex = static_cast<int>(FunctionTable.size());
  FunctionIndex.emplace(f->Name, f->TableIndex);  // keeps the first row of a name
  FunctionTable.push_back(std::move(f));
}

TFunctions* TEVAL::FindFunction(const std::string& name) {
  const auto it = FunctionIndex.find(AsciiLower(name));
  return it == FunctionIndex.end() ? nullptr : FunctionTable[it->second].get();
}

void TEVAL::CallFunction(const std::string& name, const TParamArray& args, int /*callIndex*/,
                         std::string& result) {
  const TFunctions* row = FindFunction(name);
  if (row == nullptr || !row->Body) return;
  const TParamArray* use = &args;
  if (std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == kEmptyMark; })) {
    // A scratch array per nesting level, so that a body that evaluates again keeps its own.
    if (static_cast<int>(ArgScratch.size()) <= CallDepth) {
      ArgScratch.push_back(std::make_unique<TParamArray>());
    }
    TParamArray& scratch = *ArgScratch[CallDepth];
    for (int i = 0; i < kMaxCallArgs; ++i) {
      if (args[i] == kEmptyMark) {
        scratch[i].clear();
      } else {
        scratch[i] = args[i];
      }
    }
    use = &scratch;
  }
  ++CallDepth;
  try {
    row->Body(*this, *use, result);
  } catch (...) {
    --CallDepth;
    throw;
  }
  --CallDepth;
}

// ---- Trace and messages ----

void TEVAL::SetTraceHandler(TTraceProc handler) {
  OnTrace = handler;
  DefaultTrace = std::move(handler);
}

void TEVAL::ShowMessage(const std::string& text) {
  if (OnMessage) {
    OnMessage(text);
  } else {
    Trace("# 1#" + text);
  }
}

// ---- Evaluation ----

void TEVAL::SwapScanState(TScanState& s) {
  std::swap(Tokens, s.Tokens);
  std::swap(TokenTypes, s.TokenTypes);
  std::swap(CallFrames, s.CallFrames);
  std::swap(CallMarks, s.CallMarks);
  std::swap(ArgTokens, s.ArgTokens);
  std::swap(ArgTypes, s.ArgTypes);
  std::swap(ExprText, s.ExprText);
  std::swap(TokenIndex, s.TokenIndex);
  std::swap(BraceDepth, s.BraceDepth);
  std::swap(ScanPos, s.ScanPos);
  std::swap(ClosedBrace, s.ClosedBrace);
  std::swap(TokenMarked, s.TokenMarked);
  std::swap(EvalAgainFlag, s.EvalAgainFlag);
  std::swap(CurrentPrep, s.CurrentPrep);
  std::swap(CallPrep, s.CallPrep);
}

bool TEVAL::Evaluate(const std::string& expr) { return Evaluate(expr, 0); }

bool TEVAL::Evaluate(const std::string& expr, int passesDone) {
  Trace("#savelevel#");
  if (Tracing()) Trace("# 1#Evaluating " + expr);
  if (Nesting >= kMaxNesting) {
    Trace("# 1#Error while evaluating expression.");
    Trace("#resetlevel#");
    return false;
  }
  TScanState outer;
  // Inside a running evaluation or replay (a function evaluating a text) the caller's scan,
  // its pending Eval pass included, is put aside and comes back afterwards.
  const bool nested = Nesting > 0 || ReplayDepth > 0;
  if (nested) SwapScanState(outer);
  const char savedMode = Mode;
  if (Mode == 'e') Mode = 'n';  // a function of a replay evaluating a text
  ++Nesting;
  bool ok = true;
  try {
    EvalAgainFlag = false;
    std::string text = expr;
    int passes = passesDone;
    for (;;) {
      StartPass(text);
      ScanExpression();
      ReduceFunctionCall();
      std::string r;
      ParseAndEvaluate(Tokens, TokenTypes, r);
      ResultValue = r == kEmptyMark ? std::string() : std::move(r);
      if (!(EvalAgainFlag && Mode == 'n')) break;
      // The value asks to be evaluated once more (built-in Eval). A value that keeps asking
      // would never end: it fails after a bounded number of passes.
      EvalAgainFlag = false;
      if (++passes >= kMaxEvalPasses) throw EParserError("Too many evaluation passes");
      text = ResultValue;
    }
    ClearCallStack();
    if (Tracing()) Trace("# 1#Result = " + ResultValue);
  } catch (...) {
    // Whatever went wrong (a parser error, a conversion, a function, memory), the answer is
    // a failed evaluation; nothing passes to the caller.
    ClearCallStack();
    Trace("# 1#Error while evaluating expression.");
    ok = false;
  }
  --Nesting;
  Mode = savedMode;
  if (nested) SwapScanState(outer);
  Trace("#resetlevel#");
  return ok;
}

void TEVAL::StartPass(const std::string& expr) {
  CallMarks.clear();
  ClearCallStack();
  ExprText = TrimText(expr);
  Tokens.clear();
  TokenTypes.clear();
  Tokens.emplace_back();
  TokenTypes.push_back('v');
  TokenIndex = 0;
  ErrorCount = 0;
  BraceDepth = 0;
  CurrentType = 'v';
  ClosedBrace = false;
  TokenMarked = false;
}

void TEVAL::NewToken() {
  Tokens.emplace_back();
  TokenTypes.push_back('v');
  TokenIndex = static_cast<int>(Tokens.size()) - 1;
  TokenMarked = false;
}

void TEVAL::OpenBrace() { ++BraceDepth; }

void TEVAL::CloseBrace() {
  if (BraceDepth == 0) throw EParserError("Invalid expression");
  --BraceDepth;
  ClosedBrace = true;
  CurrentType = 'c';
  // One mark per token, however many brace groups it is made of.
  if (Mode == 'p' && !TokenMarked) {
    Tokens[TokenIndex].insert(0, kLiteralMark);
    TokenMarked = true;
  }
}

void TEVAL::ScanExpression() {
  const size_t n = ExprText.size();
  // The position after the end reads as a blank, which ends the last token.
  for (size_t i = 0; i <= n; ++i) {
    char ch = i < n ? ExprText[i] : ' ';
    ScanPos = static_cast<int>(i) + 1;
    bool dropBrace = false;
    if (ch == '{') {
      OpenBrace();
      dropBrace = BraceDepth == 1;
    } else if (ch == '}') {
      CloseBrace();
      dropBrace = BraceDepth == 0;
    }
    // Inside braces no character is an operator or a delimiter.
    if (BraceDepth == 0 && (IsDelimiterChar(ch) || IsOperatorChar(ch))) {
      EndToken();
      if (ch == '(') {
        // The bracket of a function call makes no token.
        if (!CallMarks.empty() && CallMarks.back() == 'F') ch = ' ';
        CallMarks += '(';
      } else if (ch == ')') {
        if (!CallMarks.empty()) CallMarks.pop_back();
        if (!CallMarks.empty() && CallMarks.back() == 'F') {
          Tokens.emplace_back(1, kEndCallMark);
          TokenTypes.push_back(kStructuralType);
          CallMarks.pop_back();
          ch = ' ';
        }
      }
      if (ch != ' ') {
        Tokens.emplace_back(1, ch);
        TokenTypes.push_back(kStructuralType);
      }
      NewToken();
    } else if (!dropBrace) {
      Tokens[TokenIndex] += ch;
    }
  }
}

void TEVAL::EndToken() {
  if (ClosedBrace) {
    ClosedBrace = false;
    TokenTypes[TokenIndex] = 'c';
    return;
  }
  TokenTypes[TokenIndex] = 'n';
  if (Tokens[TokenIndex].empty()) return;
  const std::string token = Tokens[TokenIndex];  // the lookups rewrite the current token
  if (!IsVariable(token)) IsFunction(token);
}

bool TEVAL::IsVariable(const std::string& token) {
  const int k = IndexOfVar(token);
  if (k < 0) return false;
  std::string& current = Tokens[TokenIndex];
  const char type = VarTypes[k];
  TokenTypes[TokenIndex] = type;
  CurrentType = type;
  if (Mode == 'p') {
    current.assign(kVarMark).append(std::to_string(k));
  } else {
    const std::string& value = VarValues[k];
    current = TrimView(value).empty() ? std::string(kEmptyMark) : value;
    if (Tracing()) Trace("# 2#" + token + " = " + value);
  }
  return true;
}

bool TEVAL::IsFunction(const std::string& token) {
  const TFunctions* f = FindFunction(token);
  if (f == nullptr) return false;
  if (static_cast<int>(CallFrames.size()) >= kMaxOpenCalls) {
    throw EParserError("Too many function calls");
  }
  auto frame = std::make_unique<TFunctions>();
  frame->Name = f->Name;
  frame->ResultType = f->ResultType;
  frame->TableIndex = f->TableIndex;
  CallFrames.push_back(std::move(frame));
  CallMarks += 'F';
  Tokens[TokenIndex].assign(1, kCallMark);
  TokenTypes[TokenIndex] = kStructuralType;
  return true;
}

void TEVAL::ClearCallStack() { CallFrames.clear(); }

void TEVAL::ReduceFunctionCall() {
  // Calls are reduced from the last token to the first, so every call meets its arguments
  // already reduced. The tokens right of the current one are kept reversed in `done`
  // (the nearest on top): a call takes its arguments from the top up to its end mark and
  // puts its result back there. Each token is moved once, whatever the length of the list.
  std::vector<std::string> source = std::move(Tokens);
  std::string sourceTypes = std::move(TokenTypes);
  std::vector<std::string> done;
  std::string doneTypes;
  done.reserve(source.size());
  doneTypes.reserve(source.size());
  for (int k = static_cast<int>(source.size()) - 1; k >= 0; --k) {
    std::string& token = source[k];
    const char type = sourceTypes[k];
    if (!IsCallMark(token, type)) {
      if (!token.empty()) {
        done.push_back(std::move(token));
        doneTypes.push_back(type);
      }
      continue;
    }
    if (CallFrames.empty()) throw EParserError("Invalid expression");
    ArgTokens.clear();
    ArgTypes.clear();
    if (Mode == 'p') {
      CallPrep = std::make_unique<TPrep>();
      CallPrep->OwnedCall = std::make_unique<TFunctions>();
      CallPrep->CallItem = CallPrep->OwnedCall.get();
    }
    for (;;) {
      // A call whose end mark never comes runs past the end of the list.
      if (done.empty()) throw EParserError("Unclosed function call");
      std::string arg = std::move(done.back());
      const char argType = doneTypes.back();
      done.pop_back();
      doneTypes.pop_back();
      const bool isEnd = IsEndCallMark(arg, argType);
      if (!isEnd && !IsArgSeparator(arg, argType)) {
        ArgTokens.push_back(std::move(arg));
        ArgTypes.push_back(argType);
        continue;
      }
      std::string value;
      ParseAndEvaluate(ArgTokens, ArgTypes, value);
      AddArgument(value);
      ArgTokens.clear();
      ArgTypes.clear();
      if (isEnd) break;
    }
    const char resultType = CallFrames.back()->ResultType;
    std::string r;
    InvokeFunction(r);
    // A call whose result is '' leaves no token.
    if (!r.empty()) {
      done.push_back(std::move(r));
      doneTypes.push_back(resultType);
    }
  }
  Tokens.assign(std::make_move_iterator(done.rbegin()), std::make_move_iterator(done.rend()));
  TokenTypes.assign(doneTypes.rbegin(), doneTypes.rend());
}

void TEVAL::AddArgument(const std::string& value) {
  if (CallFrames.empty()) throw EParserError("Invalid expression");
  TFunctions& frame = *CallFrames.back();
  // The argument array has room for kMaxCallArgs; one more fails the evaluation.
  if (frame.NextArg > kMaxCallArgs) throw EParserError("Too many arguments");
  frame.Args[frame.NextArg - 1] = value;
  if (Mode == 'p' && CurrentPrep != nullptr && CallPrep) {
    CurrentPrep->ArgIndex = frame.NextArg;
    CurrentPrep->CallItem = CallPrep->CallItem;
  }
  ++frame.NextArg;
}

void TEVAL::InvokeFunction(std::string& result) {
  // The frame leaves the list before the call: a function that evaluates again clears the
  // list it then sees, never the frame in use.
  std::unique_ptr<TFunctions> frame = std::move(CallFrames.back());
  CallFrames.pop_back();
  if (Mode == 'p') {
    if (!CallPrep) throw EParserError("Invalid expression");
    TFunctions& item = *CallPrep->CallItem;
    item.Name = frame->Name;
    item.ResultType = frame->ResultType;
    item.Args = frame->Args;
    item.CallIndex = frame->CallIndex;
    item.NextArg = frame->NextArg;
    item.TableIndex = frame->TableIndex;
    CallPrep->Id = CompileId;
    CallPrep->ArgIndex = -1;
    CallPrep->HasTokens = false;
    const int index = static_cast<int>(CompiledList.size());
    CompiledList.push_back(std::move(CallPrep));
    result.assign(kPlaceholderMark).append(std::to_string(index));
    return;
  }
  if (Tracing()) Trace("# 2#Calling function " + frame->Name);
  std::string r;
  CallFunction(frame->Name, frame->Args, frame->CallIndex, r);
  if (Tracing()) Trace("# 2#Result of " + frame->Name + " = " + r);
  result = std::move(r);
  CurrentType = frame->ResultType;
}

void TEVAL::ParseAndEvaluate(std::vector<std::string>& tokenList, std::string& typeList,
                             std::string& result) {
  PostfixTypes.clear();
  InfixToPostfix(tokenList, typeList);
  if (Mode == 'p') {
    StoreCompiledRecord(Postfix, PostfixTypes);
    result.clear();
  } else {
    EvalPostfix(Postfix, PostfixTypes, result);
  }
}

}  // namespace v7
