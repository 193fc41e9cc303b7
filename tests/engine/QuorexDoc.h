// A business evaluator linked to a document of the sample product on a real SQLite site,
// with the trace lines it writes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "SampleProduct.h"
#include "uQuorexEVAL.h"

namespace v7test {

struct QuorexDoc {
  explicit QuorexDoc(const std::string& type = "salesinv", bool withDocuments = false)
      : s(withDocuments), def(s.mgr.get(), ":" + type), store(&def, type) {
    store.SetPrimaryTable(def.PrimaryTable);
    eval.DBManager = s.mgr.get();
    eval.SetStoreData(&store);
    eval.UseStoreData = 1;
    eval.SetTraceHandler([this](const std::string& line) { trace.push_back(line); });
  }
  // The value of an expression that must evaluate.
  std::string Run(const std::string& expr) {
    EXPECT_TRUE(eval.Evaluate(expr)) << expr;
    return eval.ResultValue;
  }
  std::string Var(const std::string& name) {
    std::string v;
    eval.GetVar(name, v);
    return v;
  }
  // Replaces the text of a stored value, whatever the store would make of it.
  void SetText(const std::string& field, int row, const std::string& text) {
    store.Values[static_cast<size_t>(store.IndexOfValue(field, row))].Value = text;
  }
  // The three lines of one trapped error.
  bool TracedError(const std::string& message) const {
    const std::vector<std::string> lines = {"#savelevel#", "# 1#" + message, "#resetlevel#"};
    return std::search(trace.begin(), trace.end(), lines.begin(), lines.end()) != trace.end();
  }
  // Whether any call error was trapped: "#savelevel#", one line, "#resetlevel#".
  bool AnyError() const {
    for (size_t i = 0; i + 2 < trace.size(); ++i) {
      if (trace[i] == "#savelevel#" && trace[i + 2] == "#resetlevel#") return true;
    }
    return false;
  }
  SampleSite s;
  v7::TStructDef def;
  v7::TStoreData store;
  v7::TQuorexEVAL eval;
  std::vector<std::string> trace;
};

// Each case reads "expression => result".
inline void ExpectRuns(QuorexDoc& d, std::initializer_list<std::string> cases) {
  for (const std::string& c : cases) {
    const size_t arrow = c.rfind(" => ");
    EXPECT_EQ(d.Run(c.substr(0, arrow)), c.substr(arrow + 4)) << c;
  }
}

}  // namespace v7test
