// The console view: lines to standard output, message boxes to standard error, a timer loop
// that a stop signal ends between cycles.
#include "uConsoleView.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <iterator>
#include <ostream>

#include "uCurl.h"

namespace v7 {

namespace {

// The one stop flag of the process: the transfers under way see it too, so that a wait for a
// server ends at once.
void OnStopSignal(int) { RequestStop(); }

timespec ToTimespec(std::chrono::nanoseconds span) {
  if (span.count() < 0) span = std::chrono::nanoseconds(0);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(span.count() / 1000000000);
  ts.tv_nsec = static_cast<long>(span.count() % 1000000000);
  return ts;
}

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Installs the stop handlers for the length of Run. A stop is taken at any time, a cycle's
// included: the handler only sets the flag, which cuts a transfer's wait short and keeps the
// cycle from beginning anything new; the act under way finishes. SIGHUP (the terminal or
// the session went away) is a stop like the others.
class StopSignals {
 public:
  StopSignals() {
    ClearStop();
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    // Reads and writes of files and databases go on after the handler: only waits end.
    sa.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kStopSignals); ++i) sigaction(kStopSignals[i], &sa, &old_[i]);
    sigemptyset(&stops_);
    for (int sig : kStopSignals) sigaddset(&stops_, sig);
    pthread_sigmask(SIG_UNBLOCK, &stops_, &oldMask_);
  }
  ~StopSignals() {
    if (StopRequested()) {
      // A stop was taken: the ones that come with it or after it (`timeout` signals the
      // client and then its whole process group) wait for the exit.
      for (int sig : kStopSignals) signal(sig, SIG_IGN);
      pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
      return;
    }
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
      sigaction(kStopSignals[i], &old_[i], nullptr);
  }
  // Waits up to span, or until a stop signal; answers true when a stop was asked for. The
  // signals are blocked from the look at the flag to the wait, which opens them: one that
  // comes in between is not lost until the next tick.
  bool Wait(std::chrono::nanoseconds span) {
    sigset_t open;
    pthread_sigmask(SIG_BLOCK, &stops_, &open);
    if (!StopRequested()) {
      timespec ts = ToTimespec(span);
      ppoll(nullptr, 0, &ts, &open);
    }
    pthread_sigmask(SIG_SETMASK, &open, nullptr);
    return StopRequested();
  }

 private:
  struct sigaction old_[std::size(kStopSignals)]{};
  sigset_t stops_{};
  sigset_t oldMask_{};
};

// One line for standard error, which scripts read line by line: the lines of a text that
// holds line breaks (an engine's report ends each of its lines with CR LF) joined by "; ".
std::string OneLine(const std::string& text) {
  if (text.find_first_of("\r\n") == std::string::npos) return text;
  std::string line;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(start, end - start);
    start = end + 1;
    const size_t first = part.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    part = part.substr(first, part.find_last_not_of(" \t") - first + 1);
    // A part that opens with ";" or "," ("...CR LF; it was kept in ...") goes on as written.
    if (!line.empty() && part.front() != ';' && part.front() != ',')
      line += line.back() == ':' ? " " : "; ";
    line += part;
  }
  return line;
}

}  // namespace

void ConsolePane::AddLine(const std::string& line) {
  ForEachPaneLine(line, [this](const std::string& part) {
    out_ << part << '\n';
    ++count_;
  });
}

void ConsolePane::Repaint() { out_.flush(); }

ConsoleView::ConsoleView(std::ostream& out, std::ostream& err) : out_(out), err_(err), pane_(out) {}

void ConsoleView::SetStatus(const std::string& text) { out_ << "Status: " << text << std::endl; }

void ConsoleView::ShowMessage(const std::string& text) {
  ++messages_;
  out_.flush();
  err_ << text << std::endl;
}

void ConsoleView::ReportProblem(const std::string& text) {
  if (!problems_) return;
  out_.flush();
  *problems_ << OneLine(text) << std::endl;
}

void ConsoleView::SetTimerInterval(int milliseconds) {
  interval_ = milliseconds;
  if (timerEnabled_) nextTick_ = Clock::now() + std::chrono::milliseconds(interval_);
}

void ConsoleView::SetTimerEnabled(bool enabled) {
  if (enabled && !timerEnabled_) nextTick_ = Clock::now() + std::chrono::milliseconds(interval_);
  timerEnabled_ = enabled;
}

int ConsoleView::Run() {
  StopSignals signals;
  quit_ = false;
  if (OnShow) OnShow();
  if (cannotRun_) return 1;  // the reason is on standard error
  if (testButton_) {
    int before = messages_;
    if (OnTestClick) OnTestClick();
    return messages_ == before ? 0 : 1;
  }
  // A stop while start-up waited (for the service): no cycle begins.
  if (signals.Wait(std::chrono::nanoseconds(0))) {
    out_.flush();
    return 0;
  }
  if (!quit_ && caption_ == "Start" && OnStartClick) OnStartClick();
  while (!quit_) {
    // Takes a signal that came while the last cycle ran.
    if (signals.Wait(std::chrono::nanoseconds(0))) break;
    if (!timerEnabled_ || interval_ <= 0) {
      err_ << "The client is not running: nothing more to do." << std::endl;
      return 1;
    }
    auto now = Clock::now();
    if (now < nextTick_) {
      if (signals.Wait(nextTick_ - now)) break;
      continue;
    }
    nextTick_ = now + std::chrono::milliseconds(interval_);
    if (OnTimer) OnTimer();
  }
  out_.flush();
  return 0;
}

}  // namespace v7
