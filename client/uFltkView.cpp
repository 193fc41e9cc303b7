// The FLTK window of the client.
#include "uFltkView.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>
#include <signal.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "uCurl.h"

namespace v7 {

namespace {

const int kWidth = 290;
const int kHeight = 479;
const int kStatusHeight = 19;
const char* const kCaption = "V7 Client";

// Raises one of the view's events from a widget's callback.
void Fire(void* view, std::function<void()> ClientView::*event) {
  std::function<void()>& handler = static_cast<FltkView*>(view)->*event;
  if (handler) handler();
}

// FLTK ends the process when it cannot open the display (DISPLAY names one that cannot be
// reached, or one this user may not use); its own words do not say what to do instead.
[[noreturn]] void DisplayFailed(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr,
               "v7client: %s: the window cannot be shown; run the client with --console "
               "(or without DISPLAY)\n",
               text);
  std::exit(1);
}

// The loop looks at the stop flag this often; a handler can do no more than set it.
constexpr double kStopWatch = 0.2;

void OnStopSignal(int) { RequestStop(); }

}  // namespace

void FltkPane::AddLine(const std::string& line) {
  ForEachPaneLine(line, [this](const std::string& part) {
    if (count_ > 0) buffer_.append("\n");
    buffer_.append(part.c_str());
    ++count_;
  });
  // Scroll to the new last line, at its start.
  display_.insert_position(buffer_.line_start(buffer_.length()));
  display_.show_insert_position();
}

void FltkPane::Clear() {
  buffer_.text("");
  count_ = 0;
}

void FltkPane::Repaint() {
  display_.redraw();
  Fl::flush();
}

FltkView::FltkView() {
  Fl::fatal = DisplayFailed;  // the widgets below may open the display
  window_ = std::make_unique<Fl_Window>(kWidth, kHeight, kCaption);
  window_->begin();
  buffer_ = std::make_unique<Fl_Text_Buffer>();
  btnStart_ = std::make_unique<Fl_Button>(72, 8, 113, 25, "Start");
  msgs_ = std::make_unique<Fl_Text_Display>(16, 40, 249, 369);
  msgs_->buffer(buffer_.get());
  msgs_->textsize(12);
  // Long trace lines wrap, as in a memo, instead of hiding behind a horizontal scroll.
  msgs_->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
  sb_ = std::make_unique<Fl_Box>(0, kHeight - kStatusHeight, kWidth, kStatusHeight);
  sb_->box(FL_THIN_DOWN_BOX);
  sb_->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
  sb_->labelsize(12);
  btnTestDB_ = std::make_unique<Fl_Button>(16, 414, 130, 25, "Test Db Connection");
  btnTestDB_->hide();
  edit1_ = std::make_unique<Fl_Input>(150, 414, 115, 25);
  edit1_->hide();
  button1_ = std::make_unique<Fl_Button>(190, 8, 75, 25, "&Test");
  button1_->hide();
  window_->end();
  pane_ = std::make_unique<FltkPane>(*msgs_, *buffer_);
  SetStatus("Idle");

  btnStart_->callback([](Fl_Widget*, void* v) { Fire(v, &ClientView::OnStartClick); }, this);
  button1_->callback([](Fl_Widget*, void* v) { Fire(v, &ClientView::OnTestClick); }, this);
  btnTestDB_->callback([](Fl_Widget*, void* v) { Fire(v, &ClientView::OnTestDbClick); }, this);
}

FltkView::~FltkView() {
  Fl::remove_timeout(TimerTick, this);
  Fl::remove_timeout(ShowEvent, this);
  Fl::remove_timeout(WatchStop, this);
}

void FltkView::SetStatus(const std::string& text) {
  status_ = " " + text;
  sb_->label(status_.c_str());
  sb_->redraw();
  if (window_->shown()) Fl::flush();
}

std::string FltkView::StartCaption() const { return btnStart_->label(); }

void FltkView::SetStartCaption(const std::string& caption) {
  caption_ = caption;
  btnStart_->label(caption_.c_str());
  btnStart_->redraw();
}

void FltkView::ShowTestButton() { button1_->show(); }

std::string FltkView::TestDbText() const { return edit1_->value(); }

void FltkView::ShowMessage(const std::string& text) {
  fl_message_hotspot(0);  // centred on the screen, not under the mouse
  fl_message_title(kCaption);
  fl_alert("%s", text.c_str());
}

void FltkView::SetTimerInterval(int milliseconds) {
  interval_ = milliseconds;
  RestartTimer();
}

void FltkView::SetTimerEnabled(bool enabled) {
  if (enabled == timerEnabled_) return;
  timerEnabled_ = enabled;
  RestartTimer();
}

void FltkView::RestartTimer() {
  Fl::remove_timeout(TimerTick, this);
  if (timerEnabled_ && interval_ > 0) Fl::add_timeout(interval_ / 1000.0, TimerTick, this);
}

void FltkView::TimerTick(void* self) {
  Fl::repeat_timeout(static_cast<FltkView*>(self)->interval_ / 1000.0, TimerTick, self);
  Fire(self, &ClientView::OnTimer);
}

void FltkView::ShowEvent(void* self) { Fire(self, &ClientView::OnShow); }

void FltkView::WatchStop(void* self) {
  // Runs only from the loop: between cycles, or while a message box waits. A message box is
  // closed first, as if answered: the windows go once the code that showed it has gone on.
  if (StopRequested()) {
    if (Fl_Window* box = Fl::modal()) {
      box->hide();
    } else {
      static_cast<FltkView*>(self)->Quit();
      return;
    }
  }
  Fl::repeat_timeout(kStopWatch, WatchStop, self);
}

int FltkView::Run() {
  window_->position((Fl::w() - kWidth) / 2, (Fl::h() - kHeight) / 2);
  window_->show();
  // The first cycle runs from the show event: let the window be drawn before it.
  window_->wait_for_expose();
  Fl::flush();
  Fl::add_timeout(0.0, ShowEvent, this);
  ClearStop();
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;  // file and database work goes on after the handler
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  Fl::add_timeout(kStopWatch, WatchStop, this);
  return Fl::run();
}

void FltkView::Quit() {
  Fl::remove_timeout(TimerTick, this);
  while (Fl_Window* w = Fl::first_window()) w->hide();
}

}  // namespace v7
