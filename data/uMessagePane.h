// The message pane: the multi-line text area where the trace and the cycle's messages are
// shown. The window and the console view each provide one; the trace writer only holds it.
#pragma once

#include <string>

namespace v7 {

class TMessagePane {
 public:
  virtual ~TMessagePane() = default;
  // Adds one line at the end (a text holding line breaks is one line per part).
  virtual void AddLine(const std::string& line) = 0;
  virtual int LineCount() const = 0;
  virtual void Clear() = 0;
  // Shows what was added at once, without waiting for the next idle moment.
  virtual void Repaint() = 0;
};

}  // namespace v7
