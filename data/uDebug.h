// The trace writer: an indented record of what each component did, in "trace.txt" in the
// working folder and in the message pane. Components trace through a TTraceProc bound to
// Write; the texts follow the trace-mark convention ("# 1#message", "#savelevel#", ...).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "uGeneralFunctions.h"
#include "uMessagePane.h"

namespace v7 {

class TDoDebug {
 public:
  // Reads the setting `trace` of "v7rm.ini": "tofile" starts a fresh "trace.txt",
  // "tofile,cumulate" appends to it, anything else leaves tracing off.
  TDoDebug();
  TDoDebug(const TDoDebug&) = delete;
  TDoDebug& operator=(const TDoDebug&) = delete;

  // Handles one trace text: a control text or a marked line. Does nothing when tracing is
  // off. A line without its level mark raises EConvertError naming the text. A failure to
  // write "trace.txt" never raises: it turns tracing off and says so once, in the pane and
  // through OnTraceOff.
  void Write(const std::string& text);
  // Writes one marked line (held back instead while caching).
  void WriteLine(const std::string& text);

  // A trace hook bound to Write, for the components the owner creates. The writer must
  // outlive every component holding it.
  TTraceProc TraceProc() {
    return [this](const std::string& text) { Write(text); };
  }

  const std::string& FileName() const { return FileName_; }
  const std::string& LevelStack() const { return LevelStack_; }
  const std::vector<std::string>& Cache() const { return Cache_; }
  bool Caching() const { return Caching_; }
  int Level() const { return Level_; }
  bool Enabled() const { return Enabled_; }

  // The message pane, set by the owner; not owned, may stay unset.
  TMessagePane* Memo = nullptr;
  // Told once, with the reason, when the trace file cannot be written and tracing stops.
  std::function<void(const std::string&)> OnTraceOff;

 private:
  // Checks the level mark of a line and answers its relative level.
  static int RelativeLevel(const std::string& text);
  // Appends the text to the trace file; answers why it could not, or the empty text.
  std::string AppendToFile(const std::string& text) const;

  std::string FileName_ = "trace.txt";
  std::string LevelStack_;
  std::vector<std::string> Cache_;
  bool Caching_ = false;
  int Level_ = 0;
  bool Enabled_ = false;
};

}  // namespace v7
