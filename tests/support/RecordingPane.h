// A message pane that keeps its lines in memory and counts how often it was cleared and
// repainted.
#pragma once

#include <string>
#include <vector>

#include "uMessagePane.h"

namespace v7test {

class RecordingPane : public v7::TMessagePane {
 public:
  void AddLine(const std::string& line) override { lines.push_back(line); }
  int LineCount() const override { return static_cast<int>(lines.size()); }
  void Clear() override {
    lines.clear();
    ++clears;
  }
  void Repaint() override { ++repaints; }
  std::vector<std::string> lines;
  int clears = 0;
  int repaints = 0;
};

}  // namespace v7test
