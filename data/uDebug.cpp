// The trace writer (see uDebug.h).
#include "uDebug.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace v7 {

namespace {

const char kSaveLevel[] = "#savelevel#";
const char kResetLevel[] = "#resetlevel#";
const char kStartCache[] = "#startcache#";
const char kClearCache[] = "#clearcache#";
const char kEndCache[] = "#endcache#";
const char kSetLevel[] = "#level=";

// The pane is cleared when it holds more lines than this, so it never grows without bound.
const int kPaneLimit = 300;

}  // namespace

TDoDebug::TDoDebug() {
  std::string mode = ReadValueFromFile("v7rm.ini", "trace");
  if (mode == "tofile") {
    Enabled_ = true;
    std::error_code ec;
    std::filesystem::remove(FileName_, ec);
  } else if (mode == "tofile,cumulate") {
    Enabled_ = true;
  }
}

std::string TDoDebug::AppendToFile(const std::string& text) const {
  std::error_code ec;
  const std::string file = std::filesystem::absolute(FileName_, ec).string();
  // Opened and closed for every line, so the file is complete at any moment.
  std::FILE* f = std::fopen(FileName_.c_str(), "ab");
  if (!f) return "cannot open the trace file " + file + ": " + std::strerror(errno);
  // Each call's errno is taken at once: a buffered write fails only at the flush, and the
  // close that follows may leave errno as anything.
  int err = 0;
  if (std::fwrite(text.data(), 1, text.size(), f) != text.size()) err = errno;
  if (std::fflush(f) != 0 && err == 0) err = errno;
  if (std::fclose(f) != 0 && err == 0) err = errno;
  if (err == 0) return "";
  return "cannot write the trace file " + file + ": " + std::strerror(err);
}

int TDoDebug::RelativeLevel(const std::string& text) {
  std::string mark = TrimStr(text.substr(text.empty() ? 0 : 1, 2));
  size_t i = (!mark.empty() && (mark[0] == '-' || mark[0] == '+')) ? 1 : 0;
  bool ok = i < mark.size();
  for (size_t k = i; k < mark.size(); ++k) ok = ok && mark[k] >= '0' && mark[k] <= '9';
  if (!ok) {
    throw EConvertError("'" + mark + "' is not a valid level mark in the trace text \"" + text +
                        "\"");
  }
  return std::stoi(mark);
}

void TDoDebug::Write(const std::string& text) {
  if (!Enabled_) return;
  if (text == kSaveLevel) {
    // One digit per saved level: a level outside 0..9 is kept at the nearest digit so that
    // the stack never holds a "1" and a "0" where a single 10 was meant.
    int saved = Level_ < 0 ? 0 : (Level_ > 9 ? 9 : Level_);
    LevelStack_ += static_cast<char>('0' + saved);
  } else if (text == kResetLevel) {
    if (!LevelStack_.empty()) {
      Level_ = LevelStack_.back() - '0';
      LevelStack_.pop_back();
    }
  } else if (text == kStartCache) {
    Caching_ = true;
    Cache_.clear();
  } else if (text == kClearCache) {
    Caching_ = false;
    Cache_.clear();
  } else if (text == kEndCache) {
    Caching_ = false;
    std::vector<std::string> held;
    held.swap(Cache_);
    for (const auto& line : held) WriteLine(line);
  } else if (text.compare(0, 7, kSetLevel) == 0) {
    char digit = text.size() > 7 ? text[7] : '\0';
    if (digit < '0' || digit > '9') {
      throw EConvertError("'" + std::string(digit ? 1 : 0, digit) +
                          "' is not a valid level in the trace text \"" + text + "\"");
    }
    Level_ = digit - '0';
  } else {
    WriteLine(text);
  }
}

void TDoDebug::WriteLine(const std::string& text) {
  // Checked before anything is held or written, so the fault reaches the component that
  // traced it rather than whoever ends the cache.
  int rel = RelativeLevel(text);
  if (Caching_) {
    // Held lines get their level when written, from the stack as it stands then.
    Cache_.push_back(text);
    return;
  }
  int base = LevelStack_.empty() ? 0 : LevelStack_.back() - '0';
  Level_ = base + rel;
  std::string indent(Level_ > 1 ? static_cast<size_t>(Level_ - 1) : 0, ' ');

  std::vector<std::string> lines = SplitTextLines(text.size() > 4 ? text.substr(4) : "");
  if (lines.empty()) lines.push_back("");
  std::string message;
  for (size_t i = 0; i < lines.size(); ++i) {
    lines[i] = indent + lines[i];
    if (i > 0) message += '\n';
    message += lines[i];
  }

  const std::string failure = AppendToFile(message + '\n');
  if (!failure.empty()) {
    // A trace is an aid, never a reason to stop: a full disk or a folder that cannot be
    // written turns it off, said once.
    Enabled_ = false;
    Caching_ = false;
    Cache_.clear();
    const std::string notice = "The trace is off: " + failure;
    if (Memo) {
      Memo->AddLine(notice);
      Memo->Repaint();
    }
    if (OnTraceOff) OnTraceOff(notice);
    return;
  }

  if (Memo) {
    if (Memo->LineCount() > kPaneLimit) Memo->Clear();
    for (const auto& line : lines) Memo->AddLine(line);
    Memo->Repaint();
  }
}

}  // namespace v7
