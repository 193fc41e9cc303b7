// The client's window: caption "V7 Client", the Start/Stop button, the message pane and the
// status line, with the hidden test controls; an FLTK window centred on the screen.
#pragma once

#include <memory>
#include <string>

#include "uView.h"

class Fl_Box;
class Fl_Button;
class Fl_Input;
class Fl_Text_Buffer;
class Fl_Text_Display;
class Fl_Window;

namespace v7 {

class FltkPane : public TMessagePane {
 public:
  FltkPane(Fl_Text_Display& display, Fl_Text_Buffer& buffer) : display_(display), buffer_(buffer) {}
  void AddLine(const std::string& line) override;
  int LineCount() const override { return count_; }
  void Clear() override;
  void Repaint() override;

 private:
  Fl_Text_Display& display_;
  Fl_Text_Buffer& buffer_;
  int count_ = 0;
};

class FltkView : public ClientView {
 public:
  FltkView();
  ~FltkView() override;

  TMessagePane& Msgs() override { return *pane_; }
  void SetStatus(const std::string& text) override;
  std::string StartCaption() const override;
  void SetStartCaption(const std::string& caption) override;
  void ShowTestButton() override;
  std::string TestDbText() const override;
  void ShowMessage(const std::string& text) override;
  void SetTimerInterval(int milliseconds) override;
  void SetTimerEnabled(bool enabled) override;

  // Shows the window, raises OnShow once it is on the screen, and runs FLTK's loop until the
  // window is closed, Quit is called or a stop signal (SIGINT, SIGTERM, SIGHUP) comes: a stop
  // cuts a transfer's wait short, and the window closes once the act under way is done.
  int Run() override;
  void Quit() override;

 private:
  static void TimerTick(void* self);
  static void ShowEvent(void* self);
  static void WatchStop(void* self);
  void RestartTimer();

  // Declared in this order on purpose: members go in reverse, so each widget leaves the
  // window (FLTK takes it out of its parent) before the window goes, and the text buffer
  // outlives the display that watches it.
  std::unique_ptr<Fl_Window> window_;
  std::unique_ptr<Fl_Text_Buffer> buffer_;
  std::unique_ptr<Fl_Button> btnStart_;
  std::unique_ptr<Fl_Text_Display> msgs_;
  std::unique_ptr<Fl_Box> sb_;
  std::unique_ptr<Fl_Button> btnTestDB_;
  std::unique_ptr<Fl_Input> edit1_;
  std::unique_ptr<Fl_Button> button1_;
  std::unique_ptr<FltkPane> pane_;
  std::string status_;
  std::string caption_;
  bool timerEnabled_ = false;
  int interval_ = 5000;
};

}  // namespace v7
