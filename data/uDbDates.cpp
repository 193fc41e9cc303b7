// Date-time conversions of the database layer (see uDbDates.h).
#include "uDbDates.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace v7 {

namespace {

// Days of 30/12/1899 counted from 01/01/1970.
constexpr long long kSerialEpochDays = -25569;
// Julian day number of 30/12/1899 00:00.
constexpr double kJulianOfSerialEpoch = 2415018.5;

const char* const kMonthNames[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};

// Days since 01/01/1970 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long yy = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Whole seconds since 30/12/1899 00:00 of a date-time double.
// Values beyond about 8000 years either way (and NaN) are held at the bound: no value read
// from a database or a caller may overflow the conversion.
long long TotalSeconds(double dateTime) {
  constexpr double kLimit = 3.0e6;
  if (!(dateTime > -kLimit)) dateTime = std::isnan(dateTime) ? 0 : -kLimit;
  if (dateTime > kLimit) dateTime = kLimit;
  return std::llround(dateTime * 86400.0);
}

// The one canonical double of a number of whole seconds.
double FromTotalSeconds(long long total) {
  long long days = total / 86400;
  long long secs = total % 86400;
  if (secs < 0) {
    secs += 86400;
    days -= 1;
  }
  return static_cast<double>(days) + static_cast<double>(secs) / 86400.0;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

int MonthFromName(const std::string& s) {
  std::string l = Lower(s);
  if (l.size() < 3) return 0;
  for (int i = 0; i < 12; ++i) {
    std::string name = Lower(kMonthNames[i]);
    if (name.compare(0, l.size(), l) == 0) return i + 1;
  }
  return 0;
}

bool ParseTime(const std::string& text, int& h, int& n, int& s) {
  std::string t = text;
  bool pm = false, am = false;
  std::string l = Lower(t);
  while (!l.empty() && l.back() == ' ') l.pop_back();
  if (l.size() >= 2 && (l.ends_with("am") || l.ends_with("pm"))) {
    pm = l.ends_with("pm");
    am = !pm;
    l.resize(l.size() - 2);
    while (!l.empty() && l.back() == ' ') l.pop_back();
  }
  std::vector<std::string> parts;
  std::string cur;
  for (char c : l) {
    if (c == ':') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  if (parts.size() < 2 || parts.size() > 3) return false;
  // Fractions of a second are dropped: dates are kept to the second.
  if (parts.size() == 3) {
    size_t dot = parts[2].find('.');
    if (dot != std::string::npos) {
      if (dot + 1 < parts[2].size() && !AllDigits(parts[2].substr(dot + 1))) return false;
      parts[2].resize(dot);
    }
  }
  for (const auto& p : parts)
    if (!AllDigits(p) || p.size() > 2) return false;
  h = std::stoi(parts[0]);
  n = std::stoi(parts[1]);
  s = parts.size() == 3 ? std::stoi(parts[2]) : 0;
  if (am || pm) {
    if (h < 1 || h > 12) return false;
    if (pm && h != 12) h += 12;
    if (am && h == 12) h = 0;
  }
  return h < 24 && n < 60 && s < 60;
}

}  // namespace

bool DateTimeFromParts(int year, int month, int day, int hour, int minute, int second,
                       double& dateTime) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59)
    return false;
  long long days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                   kSerialEpochDays;
  dateTime = FromTotalSeconds(days * 86400 + hour * 3600 + minute * 60 + second);
  return true;
}

void DateTimeToParts(double dateTime, int& year, int& month, int& day, int& hour, int& minute,
                     int& second) {
  long long total = TotalSeconds(dateTime);
  long long days = total / 86400;
  long long secs = total % 86400;
  if (secs < 0) {
    secs += 86400;
    days -= 1;
  }
  CivilFromDays(days + kSerialEpochDays, year, month, day);
  hour = static_cast<int>(secs / 3600);
  minute = static_cast<int>(secs / 60 % 60);
  second = static_cast<int>(secs % 60);
}

double RoundDateTimeToSecond(double dateTime) { return FromTotalSeconds(TotalSeconds(dateTime)); }

bool ParseDateTimeText(const std::string& text, TDateOrder order, double& dateTime) {
  size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos) return false;
  size_t e = text.find_last_not_of(" \t");
  std::string t = text.substr(b, e - b + 1);

  // Date part up to the first blank (or the "T" of an ISO text), time part after it.
  size_t split = t.find(' ');
  if (split == std::string::npos && t.size() > 10 && (t[10] == 'T' || t[10] == 't') && t[4] == '-')
    split = 10;
  std::string datePart = split == std::string::npos ? t : t.substr(0, split);
  std::string timePart;
  if (split != std::string::npos) {
    size_t tb = t.find_first_not_of(' ', split + 1);
    if (tb != std::string::npos) timePart = t.substr(tb);
  }

  std::vector<std::string> f;
  f.reserve(3);
  std::string cur;
  char sep = 0;
  for (char c : datePart) {
    if (c == '/' || c == '-' || c == '.') {
      if (sep && c != sep) return false;
      sep = c;
      f.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  f.push_back(cur);
  if (f.size() != 3) return false;

  TDateOrder o = order;
  if (f[0].size() == 4 && AllDigits(f[0])) o = TDateOrder::YMD;
  std::string ys, ms, ds;
  switch (o) {
    case TDateOrder::DMY:
      ds = f[0], ms = f[1], ys = f[2];
      break;
    case TDateOrder::MDY:
      ms = f[0], ds = f[1], ys = f[2];
      break;
    case TDateOrder::YMD:
      ys = f[0], ms = f[1], ds = f[2];
      break;
  }
  if (!AllDigits(ds) || ds.size() > 2 || !AllDigits(ys) || ys.size() > 4) return false;
  int month = AllDigits(ms) && ms.size() <= 2 ? std::stoi(ms) : MonthFromName(ms);
  int day = std::stoi(ds);
  int year = std::stoi(ys);
  if (ys.size() <= 2) year += year < 50 ? 2000 : 1900;

  int h = 0, n = 0, s = 0;
  if (!timePart.empty() && !ParseTime(timePart, h, n, s)) return false;
  return DateTimeFromParts(year, month, day, h, n, s, dateTime);
}

std::string DateTimeToText(double dateTime) {
  int y, m, d, h, n, s;
  DateTimeToParts(dateTime, y, m, d, h, n, s);
  char buf[40];
  if (h == 0 && n == 0 && s == 0)
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", d, m, y);
  else
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d", d, m, y, h, n, s);
  return buf;
}

std::string FormatDateTimeMask(const std::string& mask, double dateTime) {
  int y, mo, d, h, n, s;
  DateTimeToParts(dateTime, y, mo, d, h, n, s);
  bool twelveHour = Lower(mask).find("am/pm") != std::string::npos;
  std::string out;
  bool lastWasHour = false;
  char buf[16];
  auto two = [&](int v) {
    std::snprintf(buf, sizeof buf, "%02d", v);
    return std::string(buf);
  };
  for (size_t i = 0; i < mask.size();) {
    std::string rest = Lower(mask.substr(i));
    auto take = [&](const char* tok) {
      size_t len = std::char_traits<char>::length(tok);
      if (rest.compare(0, len, tok) == 0) {
        i += len;
        return true;
      }
      return false;
    };
    int hour = twelveHour ? (h % 12 == 0 ? 12 : h % 12) : h;
    if (take("am/pm")) {
      out += h < 12 ? "AM" : "PM";
    } else if (take("yyyy")) {
      std::snprintf(buf, sizeof buf, "%04d", y);
      out += buf;
      lastWasHour = false;
    } else if (take("yy")) {
      out += two(y % 100);
      lastWasHour = false;
    } else if (take("mmmm")) {
      out += kMonthNames[mo - 1];
      lastWasHour = false;
    } else if (take("mmm")) {
      out += std::string(kMonthNames[mo - 1]).substr(0, 3);
      lastWasHour = false;
    } else if (take("mm")) {
      out += two(lastWasHour ? n : mo);
      lastWasHour = false;
    } else if (take("m")) {
      out += std::to_string(lastWasHour ? n : mo);
      lastWasHour = false;
    } else if (take("dd")) {
      out += two(d);
      lastWasHour = false;
    } else if (take("d")) {
      out += std::to_string(d);
      lastWasHour = false;
    } else if (take("hh")) {
      out += two(hour);
      lastWasHour = true;
    } else if (take("h")) {
      out += std::to_string(hour);
      lastWasHour = true;
    } else if (take("nn")) {
      out += two(n);
      lastWasHour = false;
    } else if (take("n")) {
      out += std::to_string(n);
      lastWasHour = false;
    } else if (take("ss")) {
      out += two(s);
      lastWasHour = false;
    } else if (take("s")) {
      out += std::to_string(s);
      lastWasHour = false;
    } else {
      // Separators keep a pending hour so that "hh:mm" writes minutes.
      out += mask[i++];
    }
  }
  return out;
}

double JulianFromDateTime(double dateTime) {
  long long total = TotalSeconds(dateTime);
  long long days = total / 86400;
  long long secs = total % 86400;
  if (secs < 0) {
    secs += 86400;
    days -= 1;
  }
  return (static_cast<double>(days) + kJulianOfSerialEpoch) + static_cast<double>(secs) / 86400.0;
}

double DateTimeFromJulian(double julianDay) {
  // Subtracting first keeps the sub-second error of a Julian day below half a second.
  return FromTotalSeconds(TotalSeconds(julianDay - kJulianOfSerialEpoch));
}

}  // namespace v7
