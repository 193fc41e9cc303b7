// General routines: fields, padding, replace-all, numbers, rounding, paths, local ids and
// the settings and INI lookups over real files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "SiteDb.h"
#include "TestSupport.h"
#include "uDbDates.h"
#include "uGeneralFunctions.h"

using namespace v7;
using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(GeneralFunctions, TextRoutinesNeverCutQuoteOrRescan) {
  for (auto [got, want] : {std::pair{GetField("a,,c", 2), ""},
                           {GetField("a,,c", 3), "c"},
                           {GetField("a,b", 3), ""},
                           {GetField("a,b", 0), ""},
                           {GetField("\"x,y\",z", 2), "y\""},
                           {PadLeft("12345", 3, '0'), "12345"},
                           {PadLeft("x", -5, '0'), "x"},
                           {ReplaceAll("aaa", "aa", "b"), "ba"},
                           {ReplaceAll("abab", "a", "aa"), "aabaab"},
                           {ReplaceAll("abc", "", "x"), "abc"},
                           {IsNullValue(" NULL ", "c"), "T"},
                           {IsNullValue(" /  / ", "D"), "T"},
                           {IsNullValue("/  /", "c"), "F"},
                           {IsNullValue("0", "n"), "F"},
                           {BoolToTF(IsReservedVariable("_MainCurr")), "t"},
                           {BoolToTF(IsReservedVariable("user")), "f"}})
    EXPECT_EQ(got, want);
}

TEST(GeneralFunctions, NumbersTheirTextAndRounding) {
  for (auto [text, value] :
       {std::pair{" ", 0.0}, {" 1,234.5 ", 1234.5}, {"+3", 3.0}, {".5E1", 5.0}})
    EXPECT_EQ(ToFloat(text), value) << text;
  for (const char* bad : {"1.2.3", "inf", "nan", "0x10", "--1", "1 2", "-", "1e", "1e999"})
    EXPECT_THROW(ToFloat(bad), EConvertError) << bad;
  EXPECT_THAT([] { ToFloat(" abc "); },
              ThrowsMessage<EConvertError>(StrEq("'abc' is not a valid floating point value")));
  // Fifteen significant digits, no trailing zeros, exponents only far from 1.
  for (auto [value, text] : {std::pair{0.5, "0.5"},
                             {-0.0, "0"},
                             {0.1 + 0.2, "0.3"},
                             {12.0, "12"},
                             {123456789012345.0, "123456789012345"},
                             {1e15, "1E15"},
                             {0.00001, "0.00001"},
                             {-1.5e-7, "-1.5E-7"}})
    EXPECT_EQ(FloatToStr(value), text) << text;
  EXPECT_EQ(ToFloat(FloatToStr(-1.5e-7)), -1.5e-7);
  // Rounding goes by the text (1.005 is held as 1.00499999...) and cuts negatives toward
  // zero; the text of a whole negative number counts its sign among the digits.
  for (auto [decimals, value, rounded] : {std::tuple{1, 1.25, 1.3},
                                          {2, 1.25, 1.25},
                                          {2, 12.0, 12.0},
                                          {1, -1.29, -1.2},
                                          {0, 2.5, 3.0},
                                          {2, 1.005, 1.01},
                                          {2, -12.0, -12.0}})
    EXPECT_DOUBLE_EQ(RoundFloat(decimals, value), rounded) << decimals << " " << value;
}

TEST(GeneralFunctions, PathsDatesAndLocalIds) {
  // The last character of a path is never looked at.
  std::string folder = "kept", name = "kept";
  for (auto [path, parts] :
       {std::pair{"dir\\", "kept|"}, {"c:\\dir\\file.pkt", "c:\\dir\\|file.pkt"}, {"/x", "/|x"}}) {
    SplitPath(path, folder, name);
    EXPECT_EQ(folder + "|" + name, parts) << path;
  }
  EXPECT_EQ(FormatDbDate("access", 45000.75), "15/03/2023");
  EXPECT_EQ(FormatDbDate("oracle", 45000.75), "15-Mar-2023");
  EXPECT_EQ(FormatDbDate("access", -1.5), "29/12/1899");
  EXPECT_EQ(FormatDbDate("access", -657434), "01/01/0100");  // the first day there is
  for (double no : {-657434.01, 2958466.0, 1e300})
    EXPECT_THROW(FormatDbDate("access", no), EConvertError);
  ConnectNo = 12;
  LocalIdCounter = 99998;
  EXPECT_EQ(NextLocalId(), 1299999);
  EXPECT_EQ(NewLocalId(), 12100000);  // the counter's text simply grows longer
  ConnectNo = 0;
  LocalIdCounter = 1;
  EXPECT_EQ(NextLocalId(), 2);
}

// Date texts as the database layer reads them: "" stands for no date.
TEST(GeneralFunctions, DateTextsAreReadWholeOrNotAtAll) {
  for (auto [text, order, read] :
       std::initializer_list<std::tuple<const char*, TDateOrder, const char*>>{
           {"31/12/2005 23:59:59", TDateOrder::DMY, "31/12/2005 23:59:59"},
           {"12/31/2005", TDateOrder::MDY, "31/12/2005"},
           {" 2005-12-31T10:30 ", TDateOrder::MDY, "31/12/2005 10:30:00"},
           {"31-Dec-2005 12:00 AM", TDateOrder::DMY, "31/12/2005"},
           {"31.12.05 1:05 pm", TDateOrder::DMY, "31/12/2005 13:05:00"},
           {"1/1/49", TDateOrder::DMY, "01/01/2049"},
           {"1/1/50", TDateOrder::DMY, "01/01/1950"},
           {"29/02/2024", TDateOrder::DMY, "29/02/2024"},
           {"29/02/2023", TDateOrder::DMY, ""},
           {"01/01/0000", TDateOrder::DMY, ""},
           {"01/13/2005", TDateOrder::DMY, ""},
           {"1/1/2005 24:00", TDateOrder::DMY, ""},
           {"1/1/2005 10:60", TDateOrder::DMY, ""},
           {"1/1/2005 10:00:60", TDateOrder::DMY, ""},
           {"1/1/2005 13:00 PM", TDateOrder::DMY, ""},
           {"1/1-2005", TDateOrder::DMY, ""},
           {"1/1", TDateOrder::DMY, ""},
           {"  ", TDateOrder::DMY, ""},
           {"x/1/2005", TDateOrder::DMY, ""}}) {
    double dt = -1e9;
    EXPECT_EQ(ParseDateTimeText(text, order, dt) ? DateTimeToText(dt) : "", read) << text;
  }
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
                    "; projects\r\n[Shop]\r\nProject = Shopdata \r\nDRIVER=ADO\r\nDbName\r\n"
                    "[other]\nDriver=\"dbx\"\n[SHOP]\nProject=second\n");
  SetConfigFolder(dir.path());
  EXPECT_EQ(ReadAppIniString("Dbconnections.ini", "shop", "project"), "Shopdata");
  EXPECT_EQ(ReadAppIniString("Dbconnections.ini", "Other", "driver"), "dbx");
  EXPECT_EQ(ReadAppIniString("Dbconnections.ini", "shop", "DbName"), "");
  EXPECT_EQ(ReadAppIniString("missing.ini", "shop", "Driver"), "");
  SetConfigFolder("");
  EXPECT_TRUE(std::filesystem::exists(AppFolder() + "GeneralFunctions_test"));
}
