// Expressions and scripts are data of the site database, fuzzed: any text given to Evaluate,
// to Compile and EvalCompiled, or run as script lines must end in a value or a failure.
// Evaluate and RunScript never raise; a replay may raise only what a function or a
// conversion raised. A replay also gives the value Evaluate gives, save where the language
// itself makes them differ (Eval ends a replay early) or a function is not repeatable; and
// Eval of any text, failing or not, replays as Evaluate evaluates it.
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "UParse.h"
#include "uValues.h"

namespace {

class FuzzEval : public v7::TEVAL {
 public:
  explicit FuzzEval(bool repeatableOnly) : repeatableOnly_(repeatableOnly) {
    SetVar("qty", 'n', "12");
    SetVar("zero", 'n', "0");
    SetVar("name", 'c', "Widget");
    SetVar("blank", 'c', " ");
    SetVar("due", 'd', "05/03/2024");
    SetVar("plus", 'c', "+");
    SetVar("script", 'c', "qty*2");
  }
  // The built-ins that reach outside the process (mail) are left out; for the comparison,
  // so are those whose value changes from call to call (clock, ids, variables, SQL).
  void CallFunction(const std::string& name, const v7::TParamArray& args, int callIndex,
                    std::string& result) override {
    const std::string n = v7::AsciiLower(name);
    if (n == "sendmail") return;
    if (repeatableOnly_ && n != "upper" && n != "iif" && n != "trim" && n != "val" && n != "abs" &&
        n != "substr" && n != "isempty" && n != "round" && n != "eval") {
      return;
    }
    TEVAL::CallFunction(name, args, callIndex, result);
  }

 private:
  bool repeatableOnly_;
};

// The two agree on success and value; "input" is a variable holding the fuzzed text.
void Agree(const std::string& expr, const std::string& input) {
  FuzzEval evaluated(true);
  evaluated.SetVar("input", 'c', input);
  const bool ok = evaluated.Evaluate(expr);
  FuzzEval replayed(true);
  replayed.SetVar("input", 'c', input);
  const int id = replayed.Compile(expr);
  bool replayOk = false;
  try {
    replayOk = replayed.EvalCompiled(id);
  } catch (const std::exception&) {
  }
  if (ok != replayOk || (ok && evaluated.ResultValue != replayed.ResultValue)) __builtin_trap();
}

void ReplayAgreesWithEvaluate(const std::string& text) {
  // Eval's second pass reads the text from a variable, so no mark of the scan is in it.
  Agree("Eval(input)", text);
  if (text.find('\003') != std::string::npos) return;  // the compile marks' character
  if (v7::AsciiLower(text).find("eval") != std::string::npos) return;
  Agree(text, "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  FuzzEval eval(false);
  eval.Evaluate(text);
  const int id = eval.Compile(text);
  try {
    eval.EvalCompiled(id);
    eval.EvalCompiled(id);
  } catch (const std::exception&) {
    // A function or a conversion raised during the replay; the caller's to handle.
  }
  if (eval.Mode != 'n') __builtin_trap();
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      lines.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  eval.Script = &lines;
  eval.RunScript(0);
  ReplayAgreesWithEvaluate(text);
  return 0;
}
