// The routines behind the built-ins, called directly: refusals with their messages, the
// injectable clock, characters of UTF-8 texts, the corners of the date formats, and how
// sendmail reads its one argument.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <stdexcept>
#include <tuple>

#include "TestSupport.h"
#include "uExprRoutines.h"
#include "uGeneralFunctions.h"
#include "uValues.h"

namespace {

using namespace v7;

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(AmountWords, GroupsAndBlanksOfBothSystemsAndRefusalsBeyondThem) {
  // Each of the four levels of a positive value adds its blank before its words; a zero whole
  // part names no rupees in either system.
  EXPECT_EQ(NumToWordsLakh("20", false) + "|" + NumToWordsLakh("0", false) + "|" +
                NumToWordsLakh("105", true) + "|" + NumToWordsMillion("1000", false) + "|" +
                NumToWordsMillion("21000000", false) + "|" + NumToWordsMillion("0", false) + "|" +
                AmountInWords(0.5, true) + "|" + AmountInWords(0, true) + "|" +
                AmountInWords(-0.0, false),
            "Twenty ||One Hundred Five |    One  Thousand  |   Twenty One  Millions  | |"
            "Paise Fifty  only||");
  // Negative amounts and digits beyond the tables are refused.
  EXPECT_EQ(MessageOf([] { AmountInWords(-0.01, false); }),
            "Amount -0.01 cannot be written in words: it is negative");
  EXPECT_EQ(MessageOf([] { AmountInWords(1e9, false); }),
            "Amount 1000000000.00 cannot be written in words: more than 9 digits before the "
            "decimal point");
  EXPECT_THROW(CurrAmountInWords("D", "C", 1e9, false, 2, false), std::out_of_range);
  EXPECT_THROW(CurrAmountInWords("D", "C", 1, false, -1, false), std::out_of_range);
  EXPECT_THROW(NumToWordsLakh("1234567890", false), std::out_of_range);
  EXPECT_THROW(NumToWordsLakh("12a", false), std::invalid_argument);
  EXPECT_THROW(AmountInWords(NAN, false), std::out_of_range);
  // The million system reaches further.
  EXPECT_NE(AmountInWords(1e9, true).find("One  Billion"), std::string::npos);
  EXPECT_THROW(AmountInWords(1e15, true), std::out_of_range);
}

TEST(Rounding, PositivesRoundHalfUpNegativesAreCutTowardZero) {
  EXPECT_EQ(MessageOf([] { RndValue(12.34, 0); }),
            "Rnd needs a step of at least one hundredth, not 0");
  EXPECT_THROW(RndValue(12.34, -5), std::invalid_argument);
  EXPECT_EQ(FormatNumber(RndValue(0.29, 5)) + " " + FormatNumber(RndValue(-0.29, 5)) + " " +
                FormatNumber(RndValue(-0.25, 5)),
            "0.3 -0.25 -0.25");
  // 2.675 is 2.67499999... in binary.
  // clang-format off
  const std::tuple<double, int, double> cases[] = {{2.675, 2, 2.68}, {-2.675, 2, -2.67},
      {-0.004, 2, 0}, {9.995, 2, 10}, {1e-7, 2, 0}, {1234.5678, 3, 1234.568}};
  // clang-format on
  for (const auto& [value, places, want] : cases)
    EXPECT_DOUBLE_EQ(RoundValue(value, places), want) << value;
}

TEST(ExprText, CountsCharactersOfUtf8TextsWithoutOverflow) {
  EXPECT_EQ(GetLength("café") * 1000 + HashChar("é"), 4233);
  EXPECT_EQ(SubStr("café au lait", 4, 1) + "|" + Stuff("café", "E", 4) + "|" +
                Stuff("café", "xy", 2) + "|" + UpperText("straße") + "|" +
                SubStr("abc", 2, INT_MAX) + "|" + Stuff("abc", "X", INT_MIN) + "|" +
                Stuff("abc", "X", INT_MIN + 1),
            "é|cafE|cxyé|STRAßE|bc|Xabc|Xabc");
  EXPECT_THROW(ConvertUnits(1e300, 12), EConvertError);
}

TEST(ExprDates, InjectableClockArithmeticAtTheEdgesAndFormatPatterns) {
  const double fixed = EncodeDateSerial(2030, 1, 2) + 0.25;
  SetExprClock([fixed] { return fixed; });
  EXPECT_EQ(TextToDate("no date"), fixed);
  EXPECT_EQ(TextToDate(" 02/01/2030 "), EncodeDateSerial(2030, 1, 2));
  SetExprClock({});
  EXPECT_NEAR(ExprNow(), NowSerial(), 1.0 / 24);

  // Arithmetic at the edges.
  // Three days back at most, then the error passes.
  EXPECT_EQ(ValidEncodeDate(2024, 2, 32), EncodeDateSerial(2024, 2, 29));
  EXPECT_THROW(ValidEncodeDate(2023, 2, 32), EConvertError);
  EXPECT_EQ(AddToMonth(EncodeDateSerial(2024, 11, 30), 3), EncodeDateSerial(2025, 2, 28));
  EXPECT_EQ(AddToMonth(EncodeDateSerial(2024, 1, 31), -25), EncodeDateSerial(2021, 12, 31));
  EXPECT_DOUBLE_EQ(TimeElapsed("01/01/2024 10:05", "01/01/2024 08:00"), -2.05);
  EXPECT_DOUBLE_EQ(TimeElapsed("01/01/2024 08:00:00", "01/01/2024 08:59:59"), 0.59);
  EXPECT_DOUBLE_EQ(ConvertUnits(-25, 12), -2.01);
  EXPECT_THROW(ConvertUnits(25, 0), std::domain_error);

  // Format patterns.
  const double t = EncodeDateSerial(2024, 12, 1) + EncodeTimeSerial(0, 5, 9, 7);
  std::string texts;
  for (auto [pattern, at] : {std::pair{"yyyy-mm-dd hh:mm:ss.zzz", t},
                             {"h:nn AM/PM", t},
                             {"h:nn a/p", t + 0.5},
                             {"dddd d mmm yy", t},
                             {"\"quoted dd\" 'and mm' d", t},
                             {"d 'open", t}})
    texts += FormatDateTimeText(pattern, at) + "|";
  EXPECT_EQ(texts,
            "2024-12-01 00:05:09.007|12:05 AM|12:05 p|Sunday 1 Dec 24|quoted dd and mm 1|1 open|");
  EXPECT_EQ(MonthYearShort(EncodeDateSerial(2023, 9, 30)), "Sep 2023");
  EXPECT_FALSE(MonthYearLong(1e9).has_value());
  EXPECT_EQ(DateText(-1e9), "");
  EXPECT_THROW(FormatDateTimeText("d", 1e9), EConvertError);
}

// sendmail's one argument: settings lines, then the message XML; the answer is the status.
TEST(ExprMail, SplitsSettingsFromTheMessageAndAnswersTheStatus) {
  const std::string settings =
      "host=127.0.0.1\nport=" + std::to_string(v7test::FreePort()) + "\nuserid=u\npassword=p\n";
  EXPECT_NE(SendMail(settings + " <m><to>b@x.org</to></m>").find("Failed to connect"),
            std::string::npos);
  EXPECT_THROW(SendMail("host=127.0.0.1\nport=25x\n<m/>"), EConvertError);
  EXPECT_EQ(MessageOf([&] { SendMail(settings); }), "Mail message text is empty");
  EXPECT_THROW(SendMail("<m><to>b@x.org</to></m>"), EConvertError);  // no port at all
}

}  // namespace
