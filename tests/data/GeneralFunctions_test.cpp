// General routines: fields, padding, replace-all, numbers, rounding, settings lookup, INI
// reading, paths and local ids.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "TestSupport.h"
#include "uGeneralFunctions.h"

using namespace v7;

namespace {

// Runs a test inside a fresh working folder, where "v7rm.ini" is looked for.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override { std::filesystem::current_path(old_); }
  v7test::TempDir dir_;
  std::filesystem::path old_;
};

}  // namespace

TEST(GeneralFunctions, FieldsAreCommaSeparatedWithoutQuoting) {
  EXPECT_EQ(GetField("a,,c", 2), "");
  EXPECT_EQ(GetField("a,,c", 3), "c");
  EXPECT_EQ(GetField("a,b", 3), "");
  EXPECT_EQ(GetField("a,b", 0), "");
  EXPECT_EQ(GetField("\"x,y\",z", 2), "y\"");
  EXPECT_EQ(GetDelimField("1;2;3", 2, ';'), "2");
}

TEST(GeneralFunctions, PaddingNeverCuts) {
  EXPECT_EQ(PadLeft("12345", 3, '0'), "12345");
  EXPECT_EQ(PadRight("abcd", 2, '.'), "abcd");
  EXPECT_EQ(PadLeft("x", -5, '0'), "x");
}

TEST(GeneralFunctions, ReplaceAllIsLeftToRightAndDoesNotRescanInsertedText) {
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
  EXPECT_EQ(ReplaceAll("abab", "a", "aa"), "aabaab");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(ReplaceAll("a.b.c", ".", ""), "abc");
  EXPECT_EQ(StripCommas("1,234,567.5"), "1234567.5");
}

TEST(GeneralFunctions, NullValuesIncludeTheEmptyDateEditOnlyForDates) {
  EXPECT_EQ(IsNullValue(" NULL ", "c"), "T");
  EXPECT_EQ(IsNullValue("/  /", "d"), "T");
  EXPECT_EQ(IsNullValue(" /  / ", "D"), "T");
  EXPECT_EQ(IsNullValue("/  /", "c"), "F");
  EXPECT_EQ(IsNullValue("0", "n"), "F");
  EXPECT_EQ(IsNullValue("nullx", "c"), "F");
}

TEST(GeneralFunctions, ToFloatAcceptsPlainNumbersOnly) {
  EXPECT_EQ(ToFloat(""), 0);
  EXPECT_EQ(ToFloat(" 1,234.5 "), 1234.5);
  EXPECT_EQ(ToFloat("+3"), 3);
  EXPECT_EQ(ToFloat("1E3"), 1000);
  EXPECT_EQ(ToFloat(".5"), 0.5);
  for (const char* bad :
       {"abc", "1.2.3", "inf", "nan", "0x10", "--1", "+-1", "1 2", "-", "1e", "12abc", "1e999"}) {
    EXPECT_THROW(ToFloat(bad), EConvertError) << bad;
  }
  try {
    ToFloat(" abc ");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid floating point value");
  }
}

TEST(GeneralFunctions, FloatTextHasFifteenDigitsAndNoTrailingZeros) {
  EXPECT_EQ(FloatToStr(1), "1");
  EXPECT_EQ(FloatToStr(0.5), "0.5");
  EXPECT_EQ(FloatToStr(-0.0), "0");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.3");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(1e15), "1E15");
  EXPECT_EQ(FloatToStr(0.00001), "0.00001");
  EXPECT_EQ(FloatToStr(0.000001), "1E-6");
  EXPECT_EQ(FloatToStr(-1.5e-7), "-1.5E-7");
  EXPECT_EQ(ToFloat(FloatToStr(-1.5e-7)), -1.5e-7);
}

TEST(GeneralFunctions, RoundFloatWorksOnTheTextAndCutsNegativesTowardZero) {
  EXPECT_DOUBLE_EQ(RoundFloat(1, 1.25), 1.3);
  EXPECT_DOUBLE_EQ(RoundFloat(2, 1.25), 1.25);
  EXPECT_DOUBLE_EQ(RoundFloat(2, 12), 12);
  EXPECT_DOUBLE_EQ(RoundFloat(1, -1.25), -1.2);
  EXPECT_DOUBLE_EQ(RoundFloat(1, -1.29), -1.2);
  EXPECT_DOUBLE_EQ(RoundFloat(0, 2.5), 3);
  EXPECT_DOUBLE_EQ(RoundFloat(2, 0), 0);
  // 1.005 is held as 1.00499999999999989..., but its text is "1.005": rounding goes by it.
  EXPECT_DOUBLE_EQ(RoundFloat(2, 1.005), 1.01);
  // A whole negative number's text has no "." and counts its sign among the digits.
  EXPECT_DOUBLE_EQ(RoundFloat(2, -12), -12);
}

TEST(GeneralFunctions, SplitPathLooksForTheLastSeparatorBeforeTheLastCharacter) {
  std::string folder = "kept", name = "kept";
  SplitPath("c:\\dir\\file.pkt", folder, name);
  EXPECT_EQ(folder, "c:\\dir\\");
  EXPECT_EQ(name, "file.pkt");
  SplitPath("transit/receive/a.pkt", folder, name);
  EXPECT_EQ(folder, "transit/receive/");
  EXPECT_EQ(name, "a.pkt");
  folder = "kept";
  SplitPath("dir\\", folder, name);
  EXPECT_EQ(name, "");
  EXPECT_EQ(folder, "kept");
  SplitPath("/x", folder, name);
  EXPECT_EQ(folder, "/");
  EXPECT_EQ(name, "x");
}

TEST(GeneralFunctions, ReservedVariablesAndFlagsAndDates) {
  EXPECT_TRUE(IsReservedVariable("_MainCurr"));
  EXPECT_TRUE(IsReservedVariable("USERNAME"));
  EXPECT_FALSE(IsReservedVariable("user"));
  EXPECT_FALSE(IsReservedVariable("maincurr"));
  EXPECT_EQ(BoolToTF(true), "t");
  EXPECT_EQ(BoolToTF(false), "f");
  // 45000 is 15/03/2023; the time of day is dropped.
  EXPECT_EQ(FormatDbDate("access", 45000.75), "15/03/2023");
  EXPECT_EQ(FormatDbDate("oracle", 45000.75), "15-Mar-2023");
  EXPECT_EQ(FormatDbDate("access", -1.5), "29/12/1899");
}

TEST(GeneralFunctions, LocalIdsJoinTheConnectNumberAndTheCounter) {
  ConnectNo = 0;
  LocalIdCounter = 1;
  EXPECT_EQ(NextLocalId(), 2);
  EXPECT_EQ(NewLocalId(), 3);
  ConnectNo = 12;
  LocalIdCounter = 99998;
  EXPECT_EQ(NextLocalId(), 1299999);
  EXPECT_EQ(NextLocalId(), 12100000);  // the counter's text simply grows longer
  ConnectNo = 0;
}

TEST_F(Settings, SettingsKeysMatchWithoutCaseButNotWithBlanks) {
  EXPECT_EQ(ReadSetting("trace"), "");  // no file: every key is empty
  v7test::WriteFile("v7rm.ini",
                    "no equals here\r\ntrace =wrong\rTrace=tofile\nurl=http://h/a=b \n");
  EXPECT_EQ(ReadSetting("trace"), "tofile");
  EXPECT_EQ(ReadSetting("URL"), "http://h/a=b ");  // after the first "=", untrimmed
  EXPECT_EQ(ReadSetting("missing"), "");
  // Read afresh on every call.
  v7test::WriteFile("v7rm.ini", "trace=tofile,cumulate");
  EXPECT_EQ(ReadSetting("trace"), "tofile,cumulate");
  EXPECT_EQ(ReadValueFromFile(dir_.file("v7rm.ini"), "TRACE"), "tofile,cumulate");
}

TEST_F(Settings, UnreadableSettingsFileIsAnErrorNamingIt) {
  std::filesystem::create_directory("v7rm.ini");  // exists, but cannot be read as a file
  try {
    ReadSetting("trace");
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_NE(std::string(e.what()).find("v7rm.ini"), std::string::npos) << e.what();
  }
  if (geteuid() != 0) {  // root reads anything
    v7test::WriteFile("other.ini", "a=1");
    chmod("other.ini", 0);
    EXPECT_THROW(ReadValueFromFile("other.ini", "a"), EInOutError);
  }
}

TEST(GeneralFunctions, AppIniSectionsAndKeysMatchWithoutCase) {
  v7test::TempDir dir;
  v7test::WriteFile(dir.file("Dbconnections.ini"),
                    "; projects\r\n[Shop]\r\nProject = Shopdata \r\nDRIVER=ADO\r\n"
                    "[other]\nDriver=\"dbx\"\n[SHOP]\nProject=second\n");
  SetConfigFolder(dir.path());
  EXPECT_EQ(AppFolder(), dir.path() + "/");
  EXPECT_EQ(ReadAppIniString("Dbconnections.ini", "shop", "project"), "Shopdata");
  EXPECT_EQ(ReadAppIniString("Dbconnections.ini", "SHOP", "Driver"), "ADO");
  EXPECT_EQ(ReadAppIniString("Dbconnections.ini", "Other", "driver"), "dbx");
  EXPECT_EQ(ReadAppIniString("Dbconnections.ini", "shop", "DbName"), "");
  EXPECT_EQ(ReadAppIniString("Dbconnections.ini", "none", "Driver"), "");
  EXPECT_EQ(ReadAppIniString("missing.ini", "shop", "Driver"), "");
  SetConfigFolder("");
  std::string exeFolder = AppFolder();
  EXPECT_EQ(exeFolder.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(exeFolder));
}
