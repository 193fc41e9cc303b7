// Value conversions of the expression language (see uValues.h). Numbers go through
// std::to_chars/std::from_chars, which never consult the locale; dates through a civil
// calendar computation on day serials.
#include "uValues.h"

#include <algorithm>
#include <cfenv>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "uGeneralFunctions.h"

namespace v7 {

namespace {

// The serials of 01/01/0001 and of the day after 31/12/9999.
constexpr double kMinSerial = -693593.0;
constexpr double kMaxSerial = 2958466.0;
constexpr std::int64_t kMsPerDay = 86400000;
// Days from 01/01/1970 back to 30/12/1899.
constexpr std::int64_t kUnixToSerial = 25569;

std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Splits a serial into whole days and milliseconds of the day. A negative serial keeps its
// whole days toward zero and reads its fraction as a positive time of day.
void SplitSerial(double serial, std::int64_t& days, std::int64_t& ms) {
  if (!std::isfinite(serial) || serial < kMinSerial || serial >= kMaxSerial) {
    throw EConvertError("Invalid argument to date encode");
  }
  const std::int64_t total = std::llround(serial * static_cast<double>(kMsPerDay));
  days = total / kMsPerDay;
  ms = total % kMsPerDay;
  if (ms < 0) ms = -ms;
}

// Reads 1 to maxDigits digits at pos; answers false when there is none.
bool ReadDigits(std::string_view text, size_t& pos, int maxDigits, int& value, int& count) {
  value = 0;
  count = 0;
  while (pos < text.size() && IsDigit(text[pos]) && count < maxDigits) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
    ++count;
  }
  return count > 0;
}

bool ParseDatePart(std::string_view text, size_t& pos, double& serial) {
  int day, month, year, n;
  if (!ReadDigits(text, pos, 2, day, n)) return false;
  if (pos >= text.size() || text[pos] != '/') return false;
  ++pos;
  if (!ReadDigits(text, pos, 2, month, n)) return false;
  if (pos >= text.size() || text[pos] != '/') return false;
  ++pos;
  if (!ReadDigits(text, pos, 4, year, n)) return false;
  if (n <= 2) year += year < 50 ? 2000 : 1900;
  return TryEncodeDateSerial(year, month, day, serial);
}

bool ParseTimePart(std::string_view text, size_t& pos, double& fraction) {
  int hour, minute, second = 0, n;
  if (!ReadDigits(text, pos, 2, hour, n)) return false;
  if (pos >= text.size() || text[pos] != ':') return false;
  ++pos;
  if (!ReadDigits(text, pos, 2, minute, n) || n != 2) return false;
  if (pos < text.size() && text[pos] == ':') {
    ++pos;
    if (!ReadDigits(text, pos, 2, second, n) || n != 2) return false;
  }
  if (hour > 23 || minute > 59 || second > 59) return false;
  fraction = EncodeTimeSerial(hour, minute, second);
  return true;
}

std::string Quoted(std::string_view text) {
  std::string s = "'";
  s.append(text);
  s += "'";
  return s;
}

}  // namespace

std::string TrimText(std::string_view text) { return std::string(TrimView(text)); }

std::string AsciiLower(std::string_view text) {
  std::string s(text);
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

bool IsNullText(std::string_view text) {
  const std::string_view t = TrimView(text);
  if (t.empty()) return true;
  if (t.size() != 4) return false;
  return (t[0] | 32) == 'n' && (t[1] | 32) == 'u' && (t[2] | 32) == 'l' && (t[3] | 32) == 'l';
}

double RoundCurrency(double value) {
  const int saved = std::fegetround();
  std::fesetround(FE_TONEAREST);
  const double r = std::nearbyint(value * 10000.0) / 10000.0;
  std::fesetround(saved);
  return r;
}

std::string FormatCurrency(double value) {
  std::string s = FormatFixed(RoundCurrency(value), 4);
  if (s.find('.') == std::string::npos) return s;  // "INF", "NAN"
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  if (s == "-0") s = "0";
  return s;
}

TDecimalDigits DecimalDigits(double value) {
  TDecimalDigits d;
  if (value == 0 || !std::isfinite(value)) {
    d.Digits = "0";
    d.Point = 1;
    return d;
  }
  char buffer[kNumberTextMax];
  // "d.ddddddddddddddde+XX": 15 significant digits, correctly rounded.
  const auto res =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 14);
  const char* p = buffer;
  if (*p == '-') {
    d.Negative = true;
    ++p;
  }
  for (; p < res.ptr && *p != 'e'; ++p) {
    if (IsDigit(*p)) d.Digits += *p;
  }
  int exponent = 0;
  if (p < res.ptr) std::from_chars(p + 1 + (p[1] == '+'), res.ptr, exponent);
  while (d.Digits.size() > 1 && d.Digits.back() == '0') d.Digits.pop_back();
  d.Point = exponent + 1;
  return d;
}

double FromDecimalDigits(bool negative, std::string_view digits, int exponent) {
  if (digits.empty()) return 0;
  std::string text(digits);
  text += 'e';
  text += std::to_string(exponent);
  double v = 0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), v);
  // Out of range: from_chars leaves v untouched; the value is then beyond a double anyway.
  if (res.ec == std::errc::result_out_of_range) {
    v = exponent < 0 ? 0.0 : HUGE_VAL;
  }
  return negative ? -v : v;
}

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool TryEncodeDateSerial(int year, int month, int day, double& serial) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    return false;
  }
  serial = static_cast<double>(DaysFromCivil(year, month, day) + kUnixToSerial);
  return true;
}

double EncodeDateSerial(int year, int month, int day) {
  double serial;
  if (!TryEncodeDateSerial(year, month, day, serial)) {
    throw EConvertError("Invalid argument to date encode");
  }
  return serial;
}

double EncodeTimeSerial(int hour, int minute, int second, int msec) {
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / kMsPerDay;
}

void DecodeDateSerial(double serial, int& year, int& month, int& day) {
  std::int64_t days, ms;
  SplitSerial(serial, days, ms);
  CivilFromDays(days - kUnixToSerial, year, month, day);
}

void DecodeTimeSerial(double serial, int& hour, int& minute, int& second, int& msec) {
  std::int64_t days, ms;
  SplitSerial(serial, days, ms);
  msec = static_cast<int>(ms % 1000);
  second = static_cast<int>(ms / 1000 % 60);
  minute = static_cast<int>(ms / 60000 % 60);
  hour = static_cast<int>(ms / 3600000);
}

std::string FormatDateSerial(double serial) {
  int y, m, d;
  DecodeDateSerial(serial, y, m, d);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d/%02d/%04d", d, m, y);
  return buffer;
}

std::string FormatTimeSerial(double serial) {
  int h, n, s, ms;
  DecodeTimeSerial(serial, h, n, s, ms);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", h, n, s);
  return buffer;
}

std::string FormatDateTimeSerial(double serial) {
  int h, n, s, ms;
  DecodeTimeSerial(serial, h, n, s, ms);
  if (h == 0 && n == 0 && s == 0 && ms == 0) return FormatDateSerial(serial);
  return FormatDateSerial(serial) + " " + FormatTimeSerial(serial);
}

bool TryParseDateSerial(std::string_view text, double& serial) {
  const std::string_view t = TrimView(text);
  size_t pos = 0;
  double s;
  if (!ParseDatePart(t, pos, s) || pos != t.size()) return false;
  serial = s;
  return true;
}

double ParseDateSerial(std::string_view text) {
  double s;
  if (!TryParseDateSerial(text, s)) throw EConvertError(Quoted(text) + " is not a valid date");
  return s;
}

bool TryParseDateTimeSerial(std::string_view text, double& serial) {
  const std::string_view t = TrimView(text);
  size_t pos = 0;
  double s;
  if (!ParseDatePart(t, pos, s)) return false;
  if (pos < t.size()) {
    if (!IsBlank(t[pos])) return false;
    while (pos < t.size() && IsBlank(t[pos])) ++pos;
    double fraction;
    if (!ParseTimePart(t, pos, fraction) || pos != t.size()) return false;
    s += s < 0 ? -fraction : fraction;
  }
  serial = s;
  return true;
}

double ParseDateTimeSerial(std::string_view text) {
  double s;
  if (!TryParseDateTimeSerial(text, s)) {
    throw EConvertError(Quoted(text) + " is not a valid date and time");
  }
  return s;
}

double NowSerial() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return EncodeDateSerial(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
         EncodeTimeSerial(local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms));
}

}  // namespace v7
