// The client's view for a machine without a display: message pane lines and status changes
// go to standard output, message boxes to standard error (they never wait), and SIGINT,
// SIGTERM or SIGHUP ends the program within seconds, between the acts of a cycle.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>

#include "uView.h"

namespace v7 {

// The console's message pane: every line is printed as it comes; clearing only resets the
// count, as printed lines cannot be taken back.
class ConsolePane : public TMessagePane {
 public:
  explicit ConsolePane(std::ostream& out) : out_(out) {}
  void AddLine(const std::string& line) override;
  int LineCount() const override { return count_; }
  void Clear() override { count_ = 0; }
  void Repaint() override;

 private:
  std::ostream& out_;
  int count_ = 0;
};

class ConsoleView : public ClientView {
 public:
  ConsoleView(std::ostream& out, std::ostream& err);

  TMessagePane& Msgs() override { return pane_; }
  void SetStatus(const std::string& text) override;
  std::string StartCaption() const override { return caption_; }
  void SetStartCaption(const std::string& caption) override { caption_ = caption; }
  void ShowTestButton() override { testButton_ = true; }
  std::string TestDbText() const override { return ""; }
  void ShowMessage(const std::string& text) override;
  // Step errors and start-up warnings go to `problems` as well as to the pane once this is
  // called (the program gives standard error); before, they are in the pane only.
  // Each problem is one line there, its line breaks joined by "; " (the pane keeps them).
  void ReportProblem(const std::string& text) override;
  void ReportProblemsTo(std::ostream& problems) { problems_ = &problems; }
  void CannotRun() override { cannotRun_ = true; }
  void SetTimerInterval(int milliseconds) override;
  void SetTimerEnabled(bool enabled) override;

  // Raises OnShow, then ticks the timer until Quit or a stop signal. A console has no buttons:
  // in test mode the Test button's action runs once, and the status is 1 when it reported an
  // error; when start-up ended early (its message is on standard error) Start is pressed as a
  // person at the window would, so the cycles still run, unless the client cannot run at all
  // (status 1). Status 1 also when the timer is left stopped, as then nothing more can
  // happen. A stop signal cuts the cycle under way short between its acts (a transfer's wait
  // ends at once) and ends the loop; a stop while start-up waits runs no cycle. Once a stop
  // signal is taken, further ones are ignored until the process ends.
  int Run() override;
  void Quit() override { quit_ = true; }

  bool TimerEnabled() const { return timerEnabled_; }
  int TimerInterval() const { return interval_; }

 private:
  using Clock = std::chrono::steady_clock;

  std::ostream& out_;
  std::ostream& err_;
  std::ostream* problems_ = nullptr;
  ConsolePane pane_;
  std::string caption_ = "Start";
  bool testButton_ = false;
  bool cannotRun_ = false;
  int messages_ = 0;  // message boxes shown
  bool timerEnabled_ = false;
  int interval_ = 5000;
  Clock::time_point nextTick_;
  bool quit_ = false;
};

}  // namespace v7
