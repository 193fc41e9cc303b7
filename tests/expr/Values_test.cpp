// Number and date texts of the expression language, whatever the process locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "UParse.h"
#include "uGeneralFunctions.h"
#include "uValues.h"

using namespace v7;

TEST(NumberText, FifteenSignificantDigitsNoTrailingZerosAndADot) {
  // clang-format off
  const std::pair<double, const char*> cases[] = {
      {12.5, "12.5"}, {3.0, "3"}, {0.1 + 0.2, "0.3"}, {1.0 / 3, "0.333333333333333"},
      {-2.5, "-2.5"}, {-0.0, "0"}, {-0.05, "-0.05"}, {123456789012345.0, "123456789012345"},
      {100, "100"}, {0.00001, "0.00001"}, {1e15, "1E15"}, {2.5e20, "2.5E20"}, {1.5e-7, "1.5E-7"},
      {505.05, "505.05"}, {0.0001, "0.0001"}};
  // clang-format on
  for (const auto& [value, text] : cases) EXPECT_EQ(FormatNumber(value), text) << text;
}

// The fast paths for plain decimals must give exactly what the general 15-digit rounding
// gives, for amounts (the common case) and for values of every magnitude.
TEST(NumberText, AgreesWithFifteenDigitRoundingAndReadsBackStrictly) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> mantissa(1.0, 10.0);
  std::uniform_int_distribution<int> exponent(-8, 17);
  std::uniform_int_distribution<long long> cents(-10000000000000, 10000000000000);
  const double scales[] = {1, 10, 100, 1000, 10000, 100000};
  int readBacks = 0;
  for (int i = 0; i < 100000; ++i) {
    const double x = mantissa(random) * std::pow(10.0, exponent(random)) * (i % 2 ? -1 : 1);
    const double amount = static_cast<double>(cents(random) >> (i % 40)) / scales[i % 6];
    for (const double v : {x, amount, amount * 3 / 7, amount * 1.1, amount / 3 + x}) {
      const std::string text = FormatNumber(v);
      ASSERT_EQ(text, FloatToStr(v));
      ASSERT_EQ(ParseNumber(text), std::strtod(text.c_str(), nullptr)) << text;
      // The value the text reads back as, found without the text, is that value exactly.
      double back = 0;
      if (NumberTextReadBack(v, back)) {
        ++readBacks;
        ASSERT_EQ(back, ParseNumber(text)) << text;
      }
    }
  }
  EXPECT_GT(readBacks, 100000);
  // Strict reading allows blanks around only.
  // clang-format off
  const std::pair<const char*, double> good[] = {{" 12.5 ", 12.5}, {"+3", 3}, {"-.5", -0.5},
      {"5.", 5}, {"1e3", 1000}, {"1234567890123456789", 1234567890123456789.0}};
  // clang-format on
  for (const auto& [text, want] : good) EXPECT_DOUBLE_EQ(ParseNumber(text), want) << text;
  double v;
  for (const char* bad : {"", " ", "-", ".", "1,234", "inf", "nan", "-inf", "0x10", "12abc", "1e",
                          "--1", "+-1", "1 2", "1.2.3", "1e999"}) {
    EXPECT_FALSE(TryParseNumber(bad, v)) << bad;
  }
  EXPECT_THROW(ParseNumber("abc"), EConvertError);
  EXPECT_EQ(ParseInteger(" 42 "), 42);
  EXPECT_EQ(ParseInteger("-7"), -7);
  int i;
  EXPECT_FALSE(TryParseInteger("4.2", i));
  EXPECT_FALSE(TryParseInteger("2147483648", i));
  EXPECT_THROW(ParseInteger("x"), EConvertError);
}

namespace {

// A comma-decimal locale of the C library: de_DE.UTF-8, compiled by localedef (package
// "locales") into the build folder once. '' when it cannot be made.
std::string CommaDecimalLocaleDir() {
  const char* build = std::getenv("V7_BUILD_DIR");
  const std::string dir = std::string(build ? build : ".") + "/test-locales";
  const std::string numeric = dir + "/de_DE.UTF-8/LC_NUMERIC";
  if (!std::filesystem::exists(numeric)) {
    std::filesystem::create_directories(dir);
    const std::string command =
        "localedef -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 && !std::filesystem::exists(numeric)) return "";
  }
  return dir;
}

}  // namespace

// Under a C locale whose decimal separator is a comma, every number text of the language
// (arithmetic, Round, Power, amounts in words, reading numbers and record ids) still uses ".".
TEST(NumberText, DoesNotFollowTheProcessLocale) {
  const std::string dir = CommaDecimalLocaleDir();
  ASSERT_NE(dir, "") << "localedef could not make de_DE.UTF-8 (scripts/install-deps)";
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  setenv("LOCPATH", dir.c_str(), 1);
  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.1f", 1.5);

  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {"1.5+1", "2.5"}, {"Power(2, 0.5)", "1.4142"}, {"Round(0.25, 1)", "0.3"},
      {"Round(1.005, 2)", "1.01"}, {"Rnd(12.34, 5)", "12.35"}, {"Str(1/200000)", "5E-6"},
      {"AmtWord(123.45)", "Rupees One Hundred  and Twenty Three  and Paise Forty Five  only"},
      {"CurrAmtWord(0.25, {Dollars}, {Cents}, {}, 2)", "Cents Twenty Five only"}};
  // clang-format on
  std::vector<std::string> got;
  {
    TEVAL eval;
    for (const auto& c : cases) got.push_back(eval.Evaluate(c.first) ? eval.ResultValue : "!error");
  }
  const std::string fixed = FormatFixed(1234.5, 2);
  const double parsed = ParseNumber("1.5");
  long double id = 0;
  const bool idRead = TryStrToRecordId("9010001000000003.5", id);

  std::setlocale(LC_ALL, previous.c_str());
  unsetenv("LOCPATH");
  EXPECT_STREQ(printed, "1,5");  // the locale is in force...
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(got[i], cases[i].second) << cases[i].first;
  EXPECT_EQ(fixed, "1234.50");  // ...and the language's texts ignore it
  EXPECT_DOUBLE_EQ(parsed, 1.5);
  EXPECT_TRUE(idRead && id == 9010001000000003.5L);
}

TEST(DateText, SerialsCountDaysFrom30December1899AndTimeShowsOnlyWhenNotMidnight) {
  EXPECT_EQ(EncodeDateSerial(1899, 12, 30), 0);
  EXPECT_EQ(EncodeDateSerial(2024, 2, 29), 45351);
  EXPECT_EQ(FormatDateSerial(45351), "29/02/2024");
  EXPECT_EQ(ParseDateSerial(" 1/3/2024 "), 45352);
  EXPECT_EQ(ParseDateSerial("01/01/24"), EncodeDateSerial(2024, 1, 1));
  EXPECT_EQ(ParseDateSerial("01/01/50"), EncodeDateSerial(1950, 1, 1));
  EXPECT_EQ(FormatDateSerial(EncodeDateSerial(1, 1, 1)), "01/01/0001");
  EXPECT_EQ(FormatDateSerial(EncodeDateSerial(9999, 12, 31)), "31/12/9999");
  double s;
  for (const char* bad : {"31/02/2024", "29/02/2023", "00/01/2024", "1/13/2024", "2024-01-01",
                          "01/01/2024x", "", "  /  /    ", "01/01/2024 25:00"}) {
    EXPECT_FALSE(TryParseDateSerial(bad, s) || TryParseDateTimeSerial(bad, s)) << bad;
  }
  EXPECT_FALSE(TryParseDateSerial("29/02/2024 12:00:00", s));  // date reading: no time
  EXPECT_THROW(FormatDateSerial(1e300), EConvertError);

  EXPECT_EQ(FormatDateTimeSerial(45351), "29/02/2024");
  EXPECT_EQ(FormatDateTimeSerial(45351.5), "29/02/2024 12:00:00");
  EXPECT_EQ(FormatDateTimeSerial(-1.25), "29/12/1899 06:00:00");
  EXPECT_DOUBLE_EQ(ParseDateTimeSerial("29/02/2024 6:30"), 45351 + 6.5 / 24);
  // Every second of a day survives the round trip through text.
  for (int sec = 0; sec < 86400; sec += 37) {
    const double serial = 45000 + sec / 86400.0;
    EXPECT_EQ(FormatDateTimeSerial(ParseDateTimeSerial(FormatDateTimeSerial(serial))),
              FormatDateTimeSerial(serial));
  }
  int y, m, d;
  DecodeDateSerial(45351.99999999999, y, m, d);  // rounds to the next midnight
  EXPECT_EQ(d, 1);
  EXPECT_EQ(m, 3);
}
