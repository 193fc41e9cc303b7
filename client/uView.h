// What the client's cycle needs of its window: a message pane, a status line, the Start/Stop
// button, the hidden test controls, a message box and a timer. The cycle is written once
// against this interface; the FLTK window and the console view implement it.
#pragma once

#include <functional>
#include <string>

#include "uMessagePane.h"

namespace v7 {

// Calls `line` with each line of a pane text, "\n" or "\r\n" ending; a text holding line
// breaks is one pane line per part, as in a memo.
inline void ForEachPaneLine(const std::string& text,
                            const std::function<void(const std::string&)>& line) {
  size_t start = 0;
  while (true) {
    size_t end = text.find('\n', start);
    std::string part = text.substr(start, end == std::string::npos ? end : end - start);
    if (!part.empty() && part.back() == '\r') part.pop_back();
    line(part);
    if (end == std::string::npos) return;
    start = end + 1;
  }
}

class ClientView {
 public:
  virtual ~ClientView() = default;

  // The message pane (`msgs`), shared by the cycle's progress lines and the trace writer.
  virtual TMessagePane& Msgs() = 0;

  // The status line (`sb`).
  virtual void SetStatus(const std::string& text) = 0;

  // The caption of `btnStart`: "Start" or "Stop".
  virtual std::string StartCaption() const = 0;
  virtual void SetStartCaption(const std::string& caption) = 0;

  // Makes `Button1` ("&Test") visible: test mode.
  virtual void ShowTestButton() = 0;

  // The text of the hidden box `Edit1`, sent by `btnTestDB`.
  virtual std::string TestDbText() const = 0;

  // The application's message box. A window waits for the user; a console does not.
  virtual void ShowMessage(const std::string& text) = 0;

  // A step's error or a start-up warning, already in the message pane, where a script that
  // runs the client sees it too: the console's standard error. A window shows its pane only.
  virtual void ReportProblem(const std::string& /*text*/) {}

  // Start-up found that the client cannot run at all (its settings file cannot be read); the
  // message was shown. A window waits for the user to mend it; a console has no one to.
  virtual void CannotRun() {}

  // `Timer1`: ticks every interval while enabled. Setting the interval restarts a running timer.
  virtual void SetTimerInterval(int milliseconds) = 0;
  virtual void SetTimerEnabled(bool enabled) = 0;

  // Runs the event loop until Quit (or, for the console, a stop signal); answers the exit status.
  virtual int Run() = 0;
  virtual void Quit() = 0;

  // Events raised by the view, set by the client. Each is tested for emptiness before a call.
  std::function<void()> OnShow;
  std::function<void()> OnStartClick;
  std::function<void()> OnTimer;
  std::function<void()> OnTestClick;    // Button1
  std::function<void()> OnTestDbClick;  // btnTestDB
};

}  // namespace v7
