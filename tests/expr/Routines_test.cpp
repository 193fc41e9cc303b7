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
  EXPECT_EQ(NumToWordsLakh("20", false), "Twenty ");
  EXPECT_EQ(NumToWordsLakh("0", false), "");
  EXPECT_EQ(NumToWordsLakh("105", true), "One Hundred Five ");
  // Each of the four levels of a positive value adds its blank before its words.
  EXPECT_EQ(NumToWordsMillion("1000", false), "    One  Thousand  ");
  EXPECT_EQ(NumToWordsMillion("2500000", false), "   Two  Millions Five Hundred  Thousand  ");
  EXPECT_EQ(NumToWordsMillion("21000000", false), "   Twenty One  Millions  ");
  EXPECT_EQ(NumToWordsMillion("0", false), " ");
  // A zero whole part names no rupees in either system.
  EXPECT_EQ(AmountInWords(0.5, true), "Paise Fifty  only");
  EXPECT_EQ(AmountInWords(0, true), "");
  EXPECT_EQ(AmountInWords(-0.0, false), "");
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
  EXPECT_DOUBLE_EQ(RndValue(0.29, 5), 0.3);
  EXPECT_DOUBLE_EQ(RndValue(-0.29, 5), -0.25);
  EXPECT_DOUBLE_EQ(RndValue(-0.25, 5), -0.25);
  // 2.675 is 2.67499999... in binary.
  const std::tuple<double, int, double> cases[] = {
      {2.675, 2, 2.68}, {-2.675, 2, -2.67},       {-0.004, 2, 0}, {9.995, 2, 10},
      {1e-7, 2, 0},     {1234.5678, 3, 1234.568}, {0.5, 0, 1},    {0.005, 2, 0.01},
      {99.999, 2, 100}, {1234.5, -2, 1200},       {0.96, 0, 1},   {1e20 / 3, 2, 1e20 / 3}};
  for (const auto& [value, places, want] : cases)
    EXPECT_DOUBLE_EQ(RoundValue(value, places), want) << value;
}

TEST(ExprText, CountsCharactersOfUtf8TextsWithoutOverflow) {
  EXPECT_EQ(GetLength("café"), 4);
  EXPECT_EQ(SubStr("café au lait", 4, 1), "é");
  EXPECT_EQ(Stuff("café", "E", 4), "cafE");
  EXPECT_EQ(Stuff("café", "xy", 2), "cxyé");
  EXPECT_EQ(HashChar("é"), 233);
  EXPECT_EQ(UpperText("straße"), "STRAßE");
  EXPECT_EQ(SubStr("abc", 2, INT_MAX), "bc");
  EXPECT_EQ(Stuff("abc", "X", INT_MIN), "Xabc");
  EXPECT_EQ(Stuff("abc", "X", INT_MIN + 1), "Xabc");
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
  EXPECT_EQ(FormatDateTimeText("yyyy-mm-dd hh:mm:ss.zzz", t), "2024-12-01 00:05:09.007");
  EXPECT_EQ(FormatDateTimeText("h:nn AM/PM", t), "12:05 AM");
  EXPECT_EQ(FormatDateTimeText("h:nn a/p", t + 0.5), "12:05 p");
  EXPECT_EQ(FormatDateTimeText("dddd d mmm yy", t), "Sunday 1 Dec 24");
  EXPECT_EQ(FormatDateTimeText("\"quoted dd\" 'and mm' d", t), "quoted dd and mm 1");
  EXPECT_EQ(FormatDateTimeText("d 'open", t), "1 open");
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
