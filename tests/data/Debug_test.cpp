// The trace writer: control texts, levels, caching, the file and the message pane.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "TestSupport.h"
#include "uDebug.h"

using namespace v7;

namespace {

class RecordingPane : public TMessagePane {
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

// Each test runs in a fresh working folder holding "v7rm.ini" with the given trace mode.
class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override { std::filesystem::current_path(old_); }

  std::unique_ptr<TDoDebug> Writer(const std::string& mode) {
    v7test::WriteFile("v7rm.ini", "url=x\r\ntrace=" + mode + "\r\n");
    return std::make_unique<TDoDebug>();
  }
  std::string File() {
    return std::filesystem::exists("trace.txt") ? v7test::ReadFile("trace.txt") : "<none>";
  }

  v7test::TempDir dir_;
  std::filesystem::path old_;
};

}  // namespace

TEST_F(Trace, OffUnlessTheSettingIsExactlyToFile) {
  for (const char* mode : {"", "true", "ToFile", "tofile ", "tofile,Cumulate"}) {
    auto d = Writer(mode);
    RecordingPane pane;
    d->Memo = &pane;
    d->Write("#savelevel#");
    d->Write("# 1#x");
    d->Write("no mark at all");  // not even checked when off
    EXPECT_FALSE(d->Enabled()) << mode;
    EXPECT_EQ(d->LevelStack(), "") << mode;
    EXPECT_EQ(File(), "<none>") << mode;
    EXPECT_TRUE(pane.lines.empty());
  }
}

TEST_F(Trace, ToFileStartsFreshAndCumulateAppends) {
  v7test::WriteFile("trace.txt", "old\n");
  Writer("tofile,cumulate")->Write("# 1#new");
  EXPECT_EQ(File(), "old\nnew\n");
  auto d = Writer("tofile");
  EXPECT_EQ(File(), "<none>");
  d->Write("# 1#first");
  EXPECT_EQ(File(), "first\n");
}

TEST_F(Trace, LevelsNestThroughTheStack) {
  auto d = Writer("tofile");
  d->Write("# 1#Opening connection");
  d->Write("#savelevel#");
  EXPECT_EQ(d->LevelStack(), "1");
  d->Write("# 1#Connection Successful");
  EXPECT_EQ(d->Level(), 2);
  d->Write("#savelevel#");
  d->Write("# 2#deep");
  d->Write("#resetlevel#");
  d->Write("#resetlevel#");
  d->Write("#resetlevel#");  // an empty stack is left alone
  EXPECT_EQ(d->Level(), 1);
  d->Write("#level=3#anything");
  d->Write("#savelevel#");
  d->Write("# 1#x");
  d->Write("#12#twelve");  // two characters make one relative level
  EXPECT_EQ(File(), "Opening connection\n Connection Successful\n   deep\n   x\n" +
                        std::string(14, ' ') + "twelve\n");
}

TEST_F(Trace, SavedLevelsAboveNineAreKeptAsNine) {
  auto d = Writer("tofile");
  d->Write("#12#x");
  d->Write("#savelevel#");
  EXPECT_EQ(d->LevelStack(), "9");
  d->Write("#savelevel#");
  d->Write("#resetlevel#");
  EXPECT_EQ(d->Level(), 9);
  EXPECT_EQ(d->LevelStack(), "9");
}

TEST_F(Trace, CachedLinesWaitForEndCacheAndTakeTheLevelsOfThatMoment) {
  auto d = Writer("tofile");
  d->Write("#startcache#");
  d->Write("# 1#a");
  d->Write("# 2#b");
  EXPECT_EQ(File(), "<none>");
  EXPECT_EQ(d->Cache().size(), 2u);
  d->Write("#endcache#");
  EXPECT_EQ(File(), "a\n b\n");

  d->Write("#startcache#");
  d->Write("# 1#dropped");
  d->Write("#clearcache#");
  d->Write("#endcache#");
  EXPECT_EQ(File(), "a\n b\n");

  // Control texts act at once while caching; held lines get the stack of #endcache#.
  d->Write("#startcache#");
  d->Write("# 1#held");
  d->Write("#savelevel#");
  d->Write("#startcache#");  // a new start drops what was held
  d->Write("# 1#kept");
  d->Write("#endcache#");
  EXPECT_EQ(File(), "a\n b\n  kept\n");
}

TEST_F(Trace, MultiLineMessagesAreIndentedLineByLine) {
  auto d = Writer("tofile");
  d->Write("# 1#line1\r\nline2");
  d->Write("#savelevel#");
  d->Write("# 1#line3\nline4\r\n");
  d->Write("# 1#single\n");  // a trailing break is dropped, not a character with it
  d->Write("# 1#");
  EXPECT_EQ(File(), "line1\nline2\n line3\n line4\n single\n \n");
}

TEST_F(Trace, TextsWithoutTheirMarkFailAndWriteNothing) {
  auto d = Writer("tofile");
  try {
    d->Write("Opening connection");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_NE(std::string(e.what()).find("Opening connection"), std::string::npos);
  }
  EXPECT_THROW(d->Write(""), EConvertError);
  EXPECT_THROW(d->Write("#level=x"), EConvertError);
  EXPECT_THROW(d->Write("#level="), EConvertError);
  d->Write("#startcache#");
  EXPECT_THROW(d->Write("#x1#held"), EConvertError);  // raised to the writer, not at the end
  d->Write("#endcache#");
  EXPECT_EQ(File(), "<none>");
}

TEST_F(Trace, PaneIsClearedOnlyWhenItHoldsMoreThan300Lines) {
  auto d = Writer("tofile");
  RecordingPane pane;
  d->Memo = &pane;
  pane.lines.assign(300, "old");
  d->Write("# 1#a\nb");
  EXPECT_EQ(pane.clears, 0);
  EXPECT_EQ(pane.LineCount(), 302);
  EXPECT_EQ(pane.lines.back(), "b");
  EXPECT_EQ(pane.repaints, 1);
  d->Write("#savelevel#");
  d->Write("# 1#c");
  EXPECT_EQ(pane.clears, 1);
  EXPECT_EQ(pane.lines, std::vector<std::string>{" c"});
}

TEST_F(Trace, TraceProcWritesThroughTheWriterAndAFileErrorIsRaised) {
  auto d = Writer("tofile");
  TTraceProc trace = d->TraceProc();
  trace("# 1#via hook");
  EXPECT_EQ(File(), "via hook\n");
  std::filesystem::remove("trace.txt");
  std::filesystem::create_directory("trace.txt");
  EXPECT_THROW(trace("# 1#x"), EInOutError);
}
