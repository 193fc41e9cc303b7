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
#include "uNumbers.h"
#include "uXDS.h"

using namespace v7;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(GeneralFunctions, TextRoutinesNeverCutQuoteOrRescan) {
  EXPECT_EQ(GetField("a,,c", 2) + "|" + GetField("a,,c", 3) + "|" + GetField("a,b", 3) + "|" +
                GetField("a,b", 0) + "|" + GetField("\"x,y\",z", 2),
            "|c|||y\"");
  EXPECT_EQ(PadLeft("12345", 3, '0') + "|" + PadLeft("x", -5, '0'), "12345|x");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b") + "|" + ReplaceAll("abab", "a", "aa") + "|" +
                ReplaceAll("abc", "", "x"),
            "ba|aabaab|abc");
  EXPECT_EQ(IsNullValue(" NULL ", "c") + IsNullValue(" /  / ", "D") + IsNullValue("/  /", "c") +
                IsNullValue("0", "n") + BoolToTF(IsReservedVariable("_MainCurr")) +
                BoolToTF(IsReservedVariable("user")),
            "TTFFtf");
}

TEST(GeneralFunctions, NumbersTheirTextAndRounding) {
  // A field's value is read by the same reader as ToFloat, less the commas.
  TXField field;
  for (auto [text, value] :
       {std::pair{" ", 0.0}, {" 1,234.5 ", 1234.5}, {"+3", 3.0}, {".5E1", 5.0}})
    EXPECT_EQ(ToFloat(text), value) << text;
  field.Value = " +3 ";
  EXPECT_EQ(field.GetAsFloat(), 3);
  for (const char* bad : {"1.2.3", "inf", "nan", "0x10", "--1", "1 2", "-", "1e", "1e999"}) {
    EXPECT_THROW(ToFloat(bad), EConvertError) << bad;
    EXPECT_THROW(StrToRecordId(bad), EConvertError) << bad;
    field.Value = bad;
    EXPECT_THROW(field.GetAsFloat(), EConvertError) << bad;
  }
  // Record ids read the same texts, but exactly: 16 digits do not fit a double.
  EXPECT_EQ(StrToRecordId(" 9,990,001,000,000,003 "), 9990001000000003.0L);
  EXPECT_EQ(StrToRecordId("9.990001000000003E+15"), 9990001000000003.0L);
  EXPECT_EQ(StrToRecordId(""), 0);
  EXPECT_THAT([] { ToFloat(" abc "); },
              ThrowsMessage<EConvertError>(StrEq("'abc' is not a valid floating point value")));
  // Fifteen significant digits, no trailing zeros, exponents only far from 1.
  std::string texts;
  for (double v : {0.5, -0.0, 0.1 + 0.2, 12.0, 123456789012345.0, 1e15, 0.00001, -1.5e-7})
    texts += FloatToStr(v) + " ";
  EXPECT_EQ(texts, "0.5 0 0.3 12 123456789012345 1E15 0.00001 -1.5E-7 ");
  EXPECT_EQ(ToFloat(FloatToStr(-1.5e-7)), -1.5e-7);
  // A stored number's text keeps the 16th digit its value needs, never a residue's 17th.
  texts.clear();
  for (double v : {12345678901234.56, -64219753086432.21, 1234567890123456.0, 0.1 + 0.2, 2.5})
    texts += FormatNumberExact(v) + " ";
  EXPECT_EQ(texts, "12345678901234.56 -64219753086432.21 1.234567890123456E15 0.3 2.5 ");
  // Amount texts summed exactly, whatever their length, and rounded half away from zero.
  const auto sum = [](const char* a, const char* b, int decimals) {
    return RoundedNumberText(AddExact(ExactAmount(a), ExactAmount(b)), decimals);
  };
  EXPECT_EQ(sum("12,345,678,901,234.56", "-0.57", 2), "12345678901233.99");
  EXPECT_EQ(sum("1E15", "-0.005", 2), "1000000000000000.00");
  EXPECT_EQ(sum("123456789012345678.9", "-123456789012345678.9", 2), "0.00");
  EXPECT_EQ(sum("-0.004", "", 2), "0.00");
  EXPECT_EQ(sum("-182.5", " ", 0), "-183");
  EXPECT_EQ(
      PlainNumberText(SubtractExact(ExactAmount("1"), ExactAmount("1.234567890123456789E17"))),
      "-123456789012345677.9");
  EXPECT_THROW(ExactAmount("12abc"), EConvertError);
  // Rounding goes by the text (1.005 is held as 1.00499999...) and cuts negatives toward
  // zero; the text of a whole negative number counts its sign among the digits.
  const int decimals[] = {1, 2, 2, 1, 0, 2, 2};
  const double values[] = {1.25, 1.25, 12, -1.29, 2.5, 1.005, -12};
  std::string rounded;
  for (int i = 0; i < 7; ++i) rounded += FloatToStr(RoundFloat(decimals[i], values[i])) + " ";
  EXPECT_EQ(rounded, "1.3 1.25 12 -1.2 3 1.01 -12 ");
  EXPECT_EQ(RoundFloat(2, 0.1 + 0.2), 0.1 + 0.2);  // fewer decimals than asked: untouched
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

// Date texts as the database layer reads them, day first unless told.
TEST(GeneralFunctions, DateTextsAreReadWholeOrNotAtAll) {
  auto read = [](const std::string& text, TDateOrder order = TDateOrder::DMY) {
    double dt = -1e9;
    return ParseDateTimeText(text, order, dt) ? DateTimeToText(dt) : "(no date)";
  };
  EXPECT_EQ(read("12/31/2005", TDateOrder::MDY), "31/12/2005");
  EXPECT_EQ(read(" 2005-12-31T10:30 ", TDateOrder::MDY), "31/12/2005 10:30:00");
  for (const std::string c :
       {"31/12/2005 23:59:59 => 31/12/2005 23:59:59", "31-Dec-2005 12:00 AM => 31/12/2005",
        "31.12.05 1:05 pm => 31/12/2005 13:05:00", "1/1/49 => 01/01/2049", "1/1/50 => 01/01/1950",
        "29/02/2024 => 29/02/2024"}) {
    const size_t arrow = c.find(" => ");
    EXPECT_EQ(read(c.substr(0, arrow)), c.substr(arrow + 4)) << c;
  }
  for (const char* no :
       {"29/02/2023", "01/01/0000", "01/13/2005", "1/1/2005 24:00", "1/1/2005 10:60",
        "1/1/2005 10:00:60", "1/1/2005 13:00 PM", "1/1-2005", "1/1", "  ", "x/1/2005"})
    EXPECT_EQ(read(no), "(no date)") << no;
  double dt = 0;  // the parts are checked again when given without a text
  EXPECT_FALSE(DateTimeFromParts(2005, 1, 1, 24, 0, 0, dt));
  ASSERT_TRUE(DateTimeFromParts(2005, 1, 1, 13, 5, 0, dt));
  EXPECT_EQ(FormatDateTimeMask("hh:nn am/pm", dt) + FormatDateTimeMask(" hh:nn", dt),
            "01:05 PM 13:05");
}

namespace {

// ASCII text as UTF-16LE, after the bytes given (a byte order mark, or none).
std::string Utf16(const std::string& mark, const std::string& ascii) {
  std::string bytes = mark;
  for (char c : ascii) bytes += std::string{c, '\0'};
  return bytes;
}

}  // namespace

TEST(GeneralFunctions, SettingsAreReadAfreshAndMatchKeysWithoutCaseButNotWithBlanks) {
  v7test::TempDir dir;
  v7test::WorkingFolder cwd(dir.path());
  EXPECT_EQ(ReadSetting("trace"), "");  // no file: every key is empty
  v7test::WriteFile("v7rm.ini", "no equals\r\ntrace =wrong\rTrace=tofile\nurl=http://h/a=b \n");
  EXPECT_EQ(ReadSetting("trace"), "tofile");
  EXPECT_EQ(ReadSetting("URL"), "http://h/a=b ");
  v7test::WriteFile("v7rm.ini", "trace=tofile,cumulate");
  EXPECT_EQ(ReadSetting("trace"), "tofile,cumulate");
  // As a Windows editor saves it: a byte order mark before the first key.
  v7test::WriteFile("v7rm.ini", "\xEF\xBB\xBF" "clientlogin=site07\r\nxtype=send\r\n");
  EXPECT_EQ(ReadSetting("clientlogin"), "site07");
  // An editor's "Unicode": UTF-16 with its byte order mark. Without the mark its NUL bytes
  // are refused, naming the file and how to save it.
  v7test::WriteFile("v7rm.ini", Utf16("\xFF\xFE", "xtype=send\r\nclientlogin=site07\r\n"));
  EXPECT_EQ(ReadSetting("clientlogin"), "site07");
  v7test::WriteFile("v7rm.ini", Utf16("", "clientlogin=site07\r\n"));
  EXPECT_THAT([] { ReadSetting("clientlogin"); },
              ThrowsMessage<EInOutError>(AllOf(HasSubstr(dir.file("v7rm.ini")),
                                               HasSubstr("NUL"), HasSubstr("Save it as UTF-8"))));
  // Windows-1252 is read only where no byte makes a UTF-8 character: a file that holds both
  // is neither, and is refused at its first byte that is not UTF-8.
  const struct {
    const char* name;
    std::string bytes, value, refusal;
  } texts[] = {
      {"Windows-1252", "ftp=h,s,p\xE4sswort\r\n", "h,s,p\xC3\xA4sswort", ""},
      {"UTF-8", "ftp=h,s,p\xC3\xA4sswort\r\n", "h,s,p\xC3\xA4sswort", ""},
      {"UTF-8 and a Windows-1252 comment", "ftp=h,s,p\xC3\xA4sswort\r\n; Pfad ge\xE4ndert\r\n", "",
       "Invalid UTF-8 text at byte offset 28: the file holds UTF-8 characters too"},
      {"marked UTF-8 and a Windows-1252 byte", "\xEF\xBB\xBF" "ftp=h\xE4\r\n", "",
       "Invalid UTF-8 text at byte offset 8"},
      {"a UTF-8 character cut short at the end", "ftp=caf\xC3\xA9 \xC3", "",
       "Invalid UTF-8 text at byte offset 10"},
  };
  for (const auto& t : texts) {
    SCOPED_TRACE(t.name);
    v7test::WriteFile("v7rm.ini", t.bytes);
    if (t.refusal.empty())
      EXPECT_EQ(ReadSetting("ftp"), t.value);
    else
      EXPECT_THAT([] { ReadSetting("ftp"); },
                  ThrowsMessage<EInOutError>(AllOf(HasSubstr(dir.file("v7rm.ini")),
                                                   HasSubstr(t.refusal),
                                                   HasSubstr("Save it as UTF-8"))));
  }
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
  v7test::WriteFile(dir.file("bom.ini"), "\xEF\xBB\xBF[Shop]\r\nDriver=ado\r\n");
  EXPECT_EQ(ReadAppIniString("bom.ini", "shop", "driver"), "ado");
  v7test::WriteFile(dir.file("utf16.ini"), Utf16("\xFF\xFE", "[Shop]\r\nDriver=ado\r\n"));
  EXPECT_EQ(ReadAppIniString("utf16.ini", "shop", "driver"), "ado");
  SetConfigFolder("");
  EXPECT_TRUE(std::filesystem::exists(AppFolder() + "GeneralFunctions_test"));
}
