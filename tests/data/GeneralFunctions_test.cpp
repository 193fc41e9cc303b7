// General routines: fields, padding, replace-all, numbers, rounding, paths, local ids and
// the settings and INI lookups over real files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "SiteDb.h"
#include "TestSupport.h"
#include "uGeneralFunctions.h"

using namespace v7;
using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(GeneralFunctions, TextRoutinesNeverCutQuoteOrRescan) {
  EXPECT_EQ(GetField("a,,c", 2), "");
  EXPECT_EQ(GetField("a,,c", 3), "c");
  EXPECT_EQ(GetField("a,b", 3), "");
  EXPECT_EQ(GetField("a,b", 0), "");
  EXPECT_EQ(GetField("\"x,y\",z", 2), "y\"");
  EXPECT_EQ(PadLeft("12345", 3, '0'), "12345");
  EXPECT_EQ(PadLeft("x", -5, '0'), "x");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
  EXPECT_EQ(ReplaceAll("abab", "a", "aa"), "aabaab");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(IsNullValue(" NULL ", "c"), "T");
  EXPECT_EQ(IsNullValue(" /  / ", "D"), "T");
  EXPECT_EQ(IsNullValue("/  /", "c"), "F");
  EXPECT_EQ(IsNullValue("0", "n"), "F");
  EXPECT_TRUE(IsReservedVariable("_MainCurr"));
  EXPECT_FALSE(IsReservedVariable("user"));
}

TEST(GeneralFunctions, ToFloatAcceptsPlainNumbersOnlyAndNamesTheBadText) {
  EXPECT_EQ(ToFloat(" "), 0);
  EXPECT_EQ(ToFloat(" 1,234.5 "), 1234.5);
  EXPECT_EQ(ToFloat("+3"), 3);
  EXPECT_EQ(ToFloat(".5E1"), 5);
  for (const char* bad : {"1.2.3", "inf", "nan", "0x10", "--1", "1 2", "-", "1e", "1e999"}) {
    EXPECT_THROW(ToFloat(bad), EConvertError) << bad;
    EXPECT_THROW(StrToRecordId(bad), EConvertError) << bad;
  }
  // Record ids read the same texts, but exactly: 16 digits do not fit a double.
  EXPECT_EQ(StrToRecordId(" 9,990,001,000,000,003 "), 9990001000000003.0L);
  EXPECT_EQ(StrToRecordId("9.990001000000003E+15"), 9990001000000003.0L);
  EXPECT_EQ(StrToRecordId(""), 0);
  EXPECT_THAT([] { ToFloat(" abc "); },
              ThrowsMessage<EConvertError>(StrEq("'abc' is not a valid floating point value")));
}

TEST(GeneralFunctions, FloatTextHasFifteenDigitsAndNoTrailingZeros) {
  EXPECT_EQ(FloatToStr(0.5), "0.5");
  EXPECT_EQ(FloatToStr(-0.0), "0");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.3");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(1e15), "1E15");
  EXPECT_EQ(FloatToStr(0.00001), "0.00001");
  EXPECT_EQ(FloatToStr(-1.5e-7), "-1.5E-7");
  EXPECT_EQ(ToFloat(FloatToStr(-1.5e-7)), -1.5e-7);
}

TEST(GeneralFunctions, RoundFloatGoesByTheTextAndCutsNegativesTowardZero) {
  EXPECT_DOUBLE_EQ(RoundFloat(1, 1.25), 1.3);
  EXPECT_DOUBLE_EQ(RoundFloat(2, 1.25), 1.25);
  EXPECT_DOUBLE_EQ(RoundFloat(2, 12), 12);
  EXPECT_DOUBLE_EQ(RoundFloat(1, -1.29), -1.2);
  EXPECT_DOUBLE_EQ(RoundFloat(0, 2.5), 3);
  // Held as 1.00499999999999989..., but its text is "1.005".
  EXPECT_DOUBLE_EQ(RoundFloat(2, 1.005), 1.01);
  // The text of a whole negative number has no "." and counts its sign among the digits.
  EXPECT_DOUBLE_EQ(RoundFloat(2, -12), -12);
}

TEST(GeneralFunctions, SplitPathNeverLooksAtTheLastCharacter) {
  std::string folder = "kept", name = "kept";
  SplitPath("dir\\", folder, name);
  EXPECT_EQ(folder + "|" + name, "kept|");
  SplitPath("c:\\dir\\file.pkt", folder, name);
  EXPECT_EQ(folder + "|" + name, "c:\\dir\\|file.pkt");
  SplitPath("/x", folder, name);
  EXPECT_EQ(folder + "|" + name, "/|x");
}

TEST(GeneralFunctions, DatesAndLocalIds) {
  EXPECT_EQ(FormatDbDate("access", 45000.75), "15/03/2023");
  EXPECT_EQ(FormatDbDate("oracle", 45000.75), "15-Mar-2023");
  EXPECT_EQ(FormatDbDate("access", -1.5), "29/12/1899");
  EXPECT_THROW(FormatDbDate("access", 1e300), EConvertError);
  ConnectNo = 12;
  LocalIdCounter = 99998;
  EXPECT_EQ(NextLocalId(), 1299999);
  EXPECT_EQ(NewLocalId(), 12100000);  // the counter's text simply grows longer
  ConnectNo = 0;
  LocalIdCounter = 1;
  EXPECT_EQ(NextLocalId(), 2);
}

TEST(GeneralFunctions, SettingsAreReadAfreshAndMatchKeysWithoutCaseButNotWithBlanks) {
  v7test::TempDir dir;
  v7test::WorkingFolder cwd(dir.path());
  EXPECT_EQ(ReadSetting("trace"), "");  // no file: every key is empty
  v7test::WriteFile("v7rm.ini", "no equals\r\ntrace =wrong\rTrace=tofile\nurl=http://h/a=b \n");
  EXPECT_EQ(ReadSetting("trace"), "tofile");
  EXPECT_EQ(ReadSetting("URL"), "http://h/a=b ");
  v7test::WriteFile("v7rm.ini", "trace=tofile,cumulate");
  EXPECT_EQ(ReadSetting("trace"), "tofile,cumulate");
  std::filesystem::remove("v7rm.ini");
  std::filesystem::create_directory("v7rm.ini");  // there, but cannot be read
  EXPECT_THAT([] { ReadSetting("trace"); }, ThrowsMessage<EInOutError>(HasSubstr("v7rm.ini")));
}

TEST(GeneralFunctions, AppIniSectionsAndKeysMatchWithoutCaseFirstOneWins) {
  v7test::TempDir dir;
  v7test::WriteFile(dir.file("Dbconnections.ini"),
                    "; projects\r\n[Shop]\r\nProject = Shopdata \r\nDRIVER=ADO\r\n"
                    "[other]\nDriver=\"dbx\"\n[SHOP]\nProject=second\n");
  SetConfigFolder(dir.path());
  EXPECT_EQ(ReadAppIniString("Dbconnections.ini", "shop", "project"), "Shopdata");
  EXPECT_EQ(ReadAppIniString("Dbconnections.ini", "Other", "driver"), "dbx");
  EXPECT_EQ(ReadAppIniString("Dbconnections.ini", "shop", "DbName"), "");
  EXPECT_EQ(ReadAppIniString("missing.ini", "shop", "Driver"), "");
  SetConfigFolder("");
  EXPECT_TRUE(std::filesystem::exists(AppFolder() + "GeneralFunctions_test"));
}
