// The trace writer: control texts, levels, caching, the file and the message pane.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "RecordingPane.h"
#include "SiteDb.h"
#include "TestSupport.h"
#include "uDebug.h"

using namespace v7;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

using v7test::RecordingPane;

// Each test runs in a fresh working folder holding "v7rm.ini" with the given trace mode.
class Trace : public ::testing::Test {
 protected:
  std::unique_ptr<TDoDebug> Writer(const std::string& mode) {
    v7test::WriteFile("v7rm.ini", "url=x\r\ntrace=" + mode + "\r\n");
    return std::make_unique<TDoDebug>();
  }
  static void Feed(TDoDebug& d, std::initializer_list<const char*> texts) {
    for (const char* text : texts) d.Write(text);
  }
  std::string File() {
    return std::filesystem::exists("trace.txt") ? v7test::ReadFile("trace.txt") : "<none>";
  }

  v7test::TempDir dir_;
  v7test::WorkingFolder cwd_{dir_.path()};
};

}  // namespace

TEST_F(Trace, OffUnlessTheSettingIsExactlyToFile) {
  for (const char* mode : {"", "ToFile", "tofile ", "tofile,Cumulate"}) {
    auto d = Writer(mode);
    RecordingPane pane;
    d->Memo = &pane;
    Feed(*d, {"#savelevel#", "# 1#x", "no mark at all"});  // not even checked when off
    EXPECT_EQ(d->LevelStack() + File(), "<none>") << mode;
    EXPECT_TRUE(pane.lines.empty());
  }
}

TEST_F(Trace, ToFileStartsFreshAndCumulateAppends) {
  v7test::WriteFile("trace.txt", "old\n");
  Writer("tofile,cumulate")->Write("# 1#new");
  EXPECT_EQ(File(), "old\nnew\n");
  auto d = Writer("tofile");
  EXPECT_EQ(File(), "<none>");
  d->TraceProc()("# 1#first");
  EXPECT_EQ(File(), "first\n");
}

TEST_F(Trace, LevelsNestThroughTheStack) {
  auto d = Writer("tofile");
  Feed(*d, {"# 1#Opening connection", "#savelevel#", "# 1#Connection Successful", "#savelevel#",
            "# 2#deep", "#resetlevel#", "#resetlevel#", "#resetlevel#"});  // the last: ignored
  EXPECT_EQ(d->Level(), 1);
  // Two characters make one relative level.
  Feed(*d, {"#level=3#anything", "#savelevel#", "# 1#x", "#12#twelve"});
  EXPECT_EQ(File(), "Opening connection\n Connection Successful\n   deep\n   x\n" +
                        std::string(14, ' ') + "twelve\n");
  // One digit per saved level: 15 is saved as 9.
  d->Write("#savelevel#");
  EXPECT_EQ(d->LevelStack(), "39");
  d->Write("#resetlevel#");
  EXPECT_EQ(d->Level(), 9);
}

TEST_F(Trace, CachedLinesWaitForEndCacheAndTakeTheLevelsOfThatMoment) {
  auto d = Writer("tofile");
  Feed(*d, {"#startcache#", "# 1#a", "# 2#b"});
  EXPECT_EQ(File(), "<none>");
  d->Write("#endcache#");
  EXPECT_EQ(File(), "a\n b\n");
  Feed(*d, {"#startcache#", "# 1#dropped", "#clearcache#", "#endcache#"});
  // Control texts act at once while caching; a new start drops what was held.
  Feed(*d, {"#startcache#", "# 1#held", "#savelevel#", "#startcache#", "# 1#kept", "#endcache#"});
  EXPECT_EQ(File(), "a\n b\n  kept\n");
}

TEST_F(Trace, MultiLineMessagesAreIndentedLineByLine) {
  auto d = Writer("tofile");
  // A trailing break is dropped, not a letter with it.
  Feed(*d, {"# 1#line1\r\nline2", "#savelevel#", "# 1#line3\nline4\r\n", "# 1#single\n", "# 1#",
            "# 0#same level"});
  EXPECT_EQ(File(), "line1\nline2\n line3\n line4\n single\n \nsame level\n");
}

TEST_F(Trace, TextsWithoutTheirMarkFailAndWriteNothing) {
  auto d = Writer("tofile");
  EXPECT_THAT([&] { d->Write("Opening connection"); },
              ThrowsMessage<EConvertError>(HasSubstr("Opening connection")));
  for (const char* bad : {"", "#level=x", "#- #sign without digits", "#1x#"})
    EXPECT_THROW(d->Write(bad), EConvertError) << bad;
  d->Write("#startcache#");
  EXPECT_THROW(d->Write("#x1#held"), EConvertError);  // raised to its writer, not at the end
  d->Write("#endcache#");
  EXPECT_EQ(File(), "<none>");
}

// A trace file that cannot be written never raises into the traced step: tracing goes off,
// said once with the real cause, and later texts do nothing.
TEST_F(Trace, AFileThatCannotBeWrittenTurnsTracingOffOnce) {
  struct Case {
    const char* name;
    void (*make)();
    const char* cause;
  } cases[] = {
      {"folder in the way", [] { std::filesystem::create_directory("trace.txt"); },
       "Is a directory"},
      // The write fails only when the buffer is flushed: errno must be that call's.
      {"full disk", [] { std::filesystem::create_symlink("/dev/full", "trace.txt"); },
       "No space left on device"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all("trace.txt");
    auto d = Writer("tofile");
    RecordingPane pane;
    d->Memo = &pane;
    std::vector<std::string> told;
    d->OnTraceOff = [&](const std::string& text) { told.push_back(text); };
    c.make();
    EXPECT_NO_THROW(Feed(*d, {"# 1#x", "#savelevel#", "# 1#y", "#startcache#", "# 1#z",
                              "#endcache#"}))
        << c.name;
    EXPECT_FALSE(d->Enabled()) << c.name;
    ASSERT_EQ(told.size(), 1u) << c.name;
    EXPECT_THAT(told[0], HasSubstr("The trace is off")) << c.name;
    EXPECT_THAT(told[0], HasSubstr(c.cause)) << c.name;
    EXPECT_EQ(pane.lines, std::vector<std::string>{told[0]}) << c.name;
  }
}

TEST_F(Trace, PaneIsClearedOnlyWhenItHoldsMoreThan300Lines) {
  auto d = Writer("tofile");
  RecordingPane pane;
  d->Memo = &pane;
  pane.lines.assign(300, "old");
  d->Write("# 1#a\nb");
  EXPECT_EQ(pane.LineCount(), 302);
  EXPECT_EQ(pane.repaints, 1);
  Feed(*d, {"#savelevel#", "# 1#c"});
  EXPECT_EQ(pane.lines, std::vector<std::string>{" c"});
}
