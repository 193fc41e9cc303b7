// Compiled expressions and line scripts. Compiling runs the scan and the call reduction once
// and keeps, under one id, a record per argument, per call and for the whole expression;
// a replay runs those records against the current variable values without scanning again.
#include <charconv>

#include "UParse.h"
#include "uEvalMarks.h"
#include "uValues.h"

namespace v7 {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The number after a mark; -1 when it is not a plain non-negative integer.
int MarkNumber(std::string_view digits) {
  int n = -1;
  const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (res.ec != std::errc() || res.ptr != digits.data() + digits.size() || n < 0) return -1;
  return n;
}

}  // namespace

void TEVAL::StoreCompiledRecord(const std::vector<std::string>& postfixList,
                                const std::string& typeList) {
  auto record = std::make_unique<TPrep>();
  record->Id = CompileId;
  record->HasTokens = true;
  const size_t n = postfixList.size();
  record->Tokens.reserve(n);
  record->Types.reserve(n);
  record->Kinds.reserve(n);
  record->Refs.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    std::string_view token = postfixList[i];
    const char type = typeList[i];
    char kind = 'u';
    int ref = -1;
    std::string text;
    if (StartsWith(token, kLiteralMark)) {
      // Text after a brace that never closed is no literal: the scan left it untyped.
      if (type == 'c') kind = 'c';
      text = token.substr(kLiteralMark.size());
    } else if (StartsWith(token, kVarMark)) {
      const int k = MarkNumber(token.substr(kVarMark.size()));
      if (k >= 0 && k < static_cast<int>(VarNames.size())) {
        kind = 'v';
        ref = k;
      }
      text = token.substr(kVarMark.size());
    } else if (StartsWith(token, kPlaceholderMark)) {
      const int k = MarkNumber(token.substr(kPlaceholderMark.size()));
      if (k >= CompileId && k < static_cast<int>(CompiledList.size()) &&
          !CompiledList[k]->HasTokens) {
        ref = k;
      }
      text = kPlaceholderText + std::to_string(k);
    } else {
      if (IsOperator(token, type)) kind = 'o';
      text = token;
    }
    record->Tokens.push_back(std::move(text));
    record->Types.push_back(type);
    record->Kinds.push_back(kind);
    record->Refs.push_back(ref);
  }
  CurrentPrep = record.get();
  CompiledList.push_back(std::move(record));
}

int TEVAL::Compile(const std::string& expr) {
  const char savedMode = Mode;
  Mode = 'p';
  CompileId = static_cast<int>(CompiledList.size());
  const int id = CompileId;
  CurrentPrep = nullptr;
  CallPrep.reset();
  OnTrace = nullptr;
  const bool ok = Evaluate(expr);
  OnTrace = DefaultTrace;
  Mode = savedMode == 'p' ? 'n' : savedMode;
  CurrentPrep = nullptr;
  CallPrep.reset();
  if (!ok || static_cast<int>(CompiledList.size()) == id) {
    // What a failed compilation stored is no expression: the id replays as a failure, the
    // way Evaluate answers for the same text.
    CompiledList.resize(id);
    auto failed = std::make_unique<TPrep>();
    failed->Id = id;
    failed->Failed = true;
    CompiledList.push_back(std::move(failed));
  }
  return id;
}

void TEVAL::ResolveCompiledVars(int id) {
  TPrep& first = *CompiledList[id];
  const int varCount = static_cast<int>(VarNames.size());
  // Variables are never removed, so only a variable created since the last replay can
  // bind a word that was unknown then.
  if (first.BoundVarCount == varCount) return;
  for (size_t i = id; i < CompiledList.size() && CompiledList[i]->Id == id; ++i) {
    TPrep& record = *CompiledList[i];
    if (!record.HasTokens) continue;
    for (size_t t = 0; t < record.Tokens.size(); ++t) {
      // Only words the scan typed as plain words may; never a call placeholder, a token of
      // the scan's own (",") or text after a brace that never closed.
      if (record.Kinds[t] != 'u' || record.Refs[t] >= 0 || record.Types[t] != 'n') {
        continue;
      }
      const int k = IndexOfVar(record.Tokens[t]);
      if (k < 0) continue;
      record.Tokens[t] = std::to_string(k);
      record.Kinds[t] = 'v';
      record.Types[t] = VarTypes[k];
      record.Refs[t] = k;
    }
  }
  first.BoundVarCount = varCount;
}

void TEVAL::ReplayRecord(TPrep& record, std::string& result) {
  const size_t n = record.Tokens.size();
  // Fetch: each literal and variable sets the current type in turn.
  for (size_t i = 0; i < n; ++i) {
    const char kind = record.Kinds[i];
    if (kind == 'c') {
      CurrentType = 'c';
    } else if (kind == 'v') {
      const int k = record.Refs[i];
      CurrentType = VarTypes[k];
      if (Tracing()) Trace("# 2#" + VarNames[k] + " = " + VarValues[k]);
    }
  }
  char opType = 's';
  PrepareStack(n);
  for (size_t i = 0; i < n; ++i) {
    const char kind = record.Kinds[i];
    char type = record.Types[i];
    std::string_view text;
    switch (kind) {
      case 'o':
        ApplyStackOperator(record.Tokens[i][0], opType);
        continue;
      case 'c':
        // An empty literal ("{}") leaves no operand, as in Evaluate.
        if (record.Tokens[i].empty()) continue;
        text = record.Tokens[i];
        type = 'c';
        break;
      case 'v': {
        const std::string& value = VarValues[record.Refs[i]];
        text = TrimView(value).empty() ? std::string_view(kEmptyMark) : std::string_view(value);
        type = VarTypes[record.Refs[i]];
        break;
      }
      default:
        if (record.Refs[i] >= 0) {
          // Nor does a call whose result is '' (its token was dropped too).
          const std::string& value = CompiledList[record.Refs[i]]->CallResult;
          if (value.empty()) continue;
          text = value;
        } else {
          text = record.Tokens[i];
        }
        break;
    }
    PushOperand(text, type);
    if (!IsUntyped(type)) opType = type;
  }
  StackResult(result);
}

bool TEVAL::EvalCompiled(int id) {
  Trace("#savelevel#");
  Trace("# 1#Evaluating expression");
  ResultValue.clear();
  if (id < 0 || id >= static_cast<int>(CompiledList.size()) || CompiledList[id]->Id != id ||
      CompiledList[id]->Failed) {
    Trace("#resetlevel#");
    return false;
  }
  const char savedMode = Mode;
  // A replay run by a function of an evaluation in progress keeps that evaluation's
  // pending Eval pass.
  const bool callerEvalAgain = EvalAgainFlag;
  Mode = 'e';
  EvalAgainFlag = false;
  CurrentType = 'v';
  // One result string per nesting level, kept between replays.
  if (static_cast<int>(ReplayResults.size()) <= ReplayDepth) {
    ReplayResults.push_back(std::make_unique<std::string>());
  }
  std::string& r = *ReplayResults[ReplayDepth];
  ++ReplayDepth;
  bool ok = true;
  try {
    r.clear();
    ResolveCompiledVars(id);
    for (size_t i = id; i < CompiledList.size() && CompiledList[i]->Id == id; ++i) {
      TPrep& record = *CompiledList[i];
      if (record.HasTokens) {
        ReplayRecord(record, r);
        if (record.CallItem != nullptr && record.ArgIndex >= 1 && record.ArgIndex <= kMaxCallArgs) {
          record.CallItem->Args[record.ArgIndex - 1] = r;
        }
        continue;
      }
      TFunctions& call = *record.CallItem;
      r.clear();
      CallFunction(call.Name, call.Args, call.CallIndex, r);
      if (Tracing()) Trace("# 2#Result of " + call.Name + " = " + r);
      CurrentType = call.ResultType;
      record.CallResult = r;
      // Eval's value is evaluated as a whole below; what follows the call is not run.
      if (call.Name == "eval") break;
    }
    Mode = savedMode;
    const bool again = EvalAgainFlag;
    EvalAgainFlag = callerEvalAgain;
    if (again) {
      // The replay was the first pass; a text that fails fails the replay, as Evaluate
      // fails for the same expression.
      ok = Evaluate(r, 1);
    } else if (r == kEmptyMark) {
      ResultValue.clear();
    } else {
      ResultValue = r;
    }
  } catch (...) {
    // The error goes to the caller with the evaluator as it was: the compiled records were
    // never written into, and the mode is put back.
    --ReplayDepth;
    Mode = savedMode;
    EvalAgainFlag = callerEvalAgain;
    Trace("#resetlevel#");
    throw;
  }
  --ReplayDepth;
  Trace("#resetlevel#");
  return ok;
}

void TEVAL::ClearCompiled() { CompiledList.clear(); }

void TEVAL::EvalAgain(const std::string& value, std::string& result) {
  EvalAgainFlag = true;
  result = value;
}

void TEVAL::RunScript(int firstLine) {
  if (Script == nullptr || Script->empty()) return;
  const std::vector<std::string>& lines = *Script;
  for (size_t k = firstLine < 0 ? 0 : static_cast<size_t>(firstLine); k < lines.size(); ++k) {
    const std::string& line = lines[k];
    if (line.empty() || line.compare(0, 2, "//") == 0) continue;
    if (line[0] == '{') break;
    if (OnEvaluateLine) OnEvaluateLine("Evaluating Line " + std::to_string(k));
    std::string target;
    std::string expression = line;
    const size_t assign = line.find(":=");
    if (assign != std::string::npos) {
      target = TrimText(std::string_view(line).substr(0, assign));
      expression = line.substr(assign + 2);
    }
    Evaluate(expression);  // a failed line still assigns what ResultValue holds
    if (OnEvaluateLine) OnEvaluateLine("");
    if (!target.empty()) SetVar(target, CurrentType, ResultValue);
  }
}

}  // namespace v7
