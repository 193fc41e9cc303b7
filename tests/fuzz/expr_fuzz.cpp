// Expressions and scripts are data of the site database, fuzzed: any text given to Evaluate,
// to Compile and EvalCompiled, or run as script lines must end in a value or a failure.
// Evaluate and RunScript never raise; a replay may raise only what a function or a
// conversion raised.
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "UParse.h"
#include "uValues.h"

namespace {

// The built-ins that reach outside the process (mail) are left out of fuzzing.
class FuzzEval : public v7::TEVAL {
 public:
  FuzzEval() {
    SetVar("qty", 'n', "12");
    SetVar("name", 'c', "Widget");
    SetVar("blank", 'c', " ");
    SetVar("due", 'd', "05/03/2024");
    SetVar("plus", 'c', "+");
    SetVar("script", 'c', "qty*2");
  }
  void CallFunction(const std::string& name, const v7::TParamArray& args, int callIndex,
                    std::string& result) override {
    if (v7::AsciiLower(name) == "sendmail") return;
    TEVAL::CallFunction(name, args, callIndex, result);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  FuzzEval eval;
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
  return 0;
}
