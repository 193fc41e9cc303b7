// Routines behind the built-in functions: amounts in words, rounding, text, dates, units,
// digests and mail.
#include "uExprRoutines.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "uGeneralFunctions.h"
#include "uMD5.h"
#include "uValues.h"
#include "uXSMTP.h"

namespace v7 {

// ---------------------------------------------------------------------------------------
// Clock

namespace {
std::mutex clockMutex;
TExprClock clockOverride;
}  // namespace

void SetExprClock(TExprClock clock) {
  std::lock_guard<std::mutex> lock(clockMutex);
  clockOverride = std::move(clock);
}

double ExprNow() {
  std::lock_guard<std::mutex> lock(clockMutex);
  return clockOverride ? clockOverride() : NowSerial();
}

// ---------------------------------------------------------------------------------------
// Amounts in words

namespace {

const char* const kOnes[20] = {"",         "One ",     "Two ",       "Three ",    "Four ",
                               "Five ",    "Six ",     "Seven ",     "Eight ",    "Nine ",
                               "Ten ",     "Eleven ",  "Twelve ",    "Thirteen ", "Fourteen ",
                               "Fifteen ", "Sixteen ", "Seventeen ", "Eighteen ", "Nineteen "};
const char* const kTens[10] = {"",       "Ten ",   "Twenty ",  "Thirty ", "Forty ",
                               "Fifty ", "Sixty ", "Seventy ", "Eighty ", "Ninety "};
// By the number of digits from a group's first digit to the end of the number.
const char* const kPlace[10] = {"",          "",     "",     "Hundred ", "Thousand ",
                                "Thousand ", "Lakh", "Lakh", "Crore",    "Crore"};
const char* const kScale[5] = {"", "Trillion", "Billion", "Million", "Thousand"};

constexpr int kLakhDigits = 9;
constexpr int kMillionDigits = 15;

bool AllDigits(const std::string& s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// The integer and fraction digits of an amount printed with a fixed number of decimals.
// The integer part is taken from the printed text, so a fraction that rounds up carries
// into it (99.999 is "100.00", not 99 and "00").
void SplitAmount(double amount, int decimals, int maxDigits, std::string& whole,
                 std::string& fraction) {
  if (amount == 0) amount = 0;  // -0 prints as "-0.00"
  if (std::isnan(amount) || amount < 0) {
    throw std::out_of_range("Amount " + FormatNumber(amount) +
                            " cannot be written in words: it is negative");
  }
  const std::string s = FormatFixed(amount, decimals);
  const size_t dot = s.find('.');
  whole = s.substr(0, dot);
  fraction = dot == std::string::npos ? "" : s.substr(dot + 1, decimals);
  // Leading zeros do not count as digits of the amount.
  size_t nz = whole.find_first_not_of('0');
  const std::string significant = nz == std::string::npos ? "" : whole.substr(nz);
  if (std::isinf(amount) || static_cast<int>(significant.size()) > maxDigits) {
    throw std::out_of_range("Amount " + s + " cannot be written in words: more than " +
                            std::to_string(maxDigits) + " digits before the decimal point");
  }
  whole = significant.empty() ? "0" : significant;
}

}  // namespace

std::string NumToWordsLakh(const std::string& digits, bool millions) {
  const int n = static_cast<int>(digits.size());
  if (!AllDigits(digits)) throw std::invalid_argument("Not a number in words: '" + digits + "'");
  if (n > kLakhDigits) {
    throw std::out_of_range("Number " + digits + " has more than 9 digits for words");
  }
  std::string result;
  int lastRem = 0;
  int p = 1;
  while (p <= n) {
    const int rem = n - p + 1;
    int len;
    if (rem == 3 || n == 1) {
      len = 1;
    } else if (n == 2) {
      len = 2;
    } else if (p == 1) {
      len = (n % 2 == 0) ? 1 : 2;
    } else {
      len = 2;
    }
    const int g = std::stoi(digits.substr(p - 1, len));
    std::string word, plural;
    if (g >= 1 && g <= 19) {
      word = kOnes[g];
      plural = g == 1 ? " " : "s ";
    } else if (g >= 20) {
      word = kTens[g / 10];
      if (g % 10 != 0) word += kOnes[g % 10];
      plural = "s ";
    }
    if (!word.empty()) {
      if (lastRem == 3 && !millions) result += " and ";
      lastRem = rem;
      word += kPlace[rem];
      if (rem > 5) word += plural;
      result += word;
    }
    p += len;
  }
  return result;
}

std::string NumToWordsMillion(const std::string& digits, bool millions) {
  if (digits.empty() || !AllDigits(digits)) {
    throw std::invalid_argument("Not a number in words: '" + digits + "'");
  }
  const size_t nz = digits.find_first_not_of('0');
  const std::string sig = nz == std::string::npos ? "0" : digits.substr(nz);
  if (static_cast<int>(sig.size()) > kMillionDigits) {
    throw std::out_of_range("Number " + digits + " has more than 15 digits for words");
  }
  std::int64_t value = std::stoll(sig);
  const bool positive = value > 0;
  std::string result;
  std::int64_t divisor = 1000000000000LL;
  for (int k = 1; k <= 4; ++k, divisor /= 1000) {
    // Every level of a positive amount adds its blank, even one with nothing left.
    if (!positive) continue;
    const std::int64_t g = value / divisor;
    value -= g * divisor;
    result += " " + NumToWordsLakh(std::to_string(g), millions);
    const std::string plural = (g == 1 || k == 4) ? " " : "s";
    if (g != 0) result += std::string(" ") + kScale[k] + plural;
  }
  result += " " + NumToWordsLakh(std::to_string(value), millions);
  return result;
}

std::string AmountInWords(double amount, bool millions) {
  std::string whole, fraction;
  SplitAmount(amount, 2, millions ? kMillionDigits : kLakhDigits, whole, fraction);
  const std::string words =
      millions ? NumToWordsMillion(whole, millions) : NumToWordsLakh(whole, millions);
  std::string r;
  // Under the millions flag a zero whole part still gives blanks: no rupees to name.
  if (!TrimText(words).empty()) r = "Rupees " + words;
  const std::string paise = NumToWordsLakh(fraction, millions);
  if (!r.empty() && !paise.empty()) {
    r += " and Paise " + paise;
  } else if (!paise.empty()) {
    r = "Paise " + paise;
  }
  return r.empty() ? "" : r + " only";
}

std::string CurrAmountInWords(const std::string& currName, const std::string& subCurrName,
                              double amount, bool useMillions, int decimals, bool millions) {
  if (decimals < 0 || decimals > kLakhDigits) {
    throw std::out_of_range("Decimals for an amount in words must be 0 to 9, not " +
                            std::to_string(decimals));
  }
  const bool million = millions || useMillions;
  std::string whole, fraction;
  SplitAmount(amount, decimals, million ? kMillionDigits : kLakhDigits, whole, fraction);
  const std::string w =
      TrimText(million ? NumToWordsMillion(whole, millions) : NumToWordsLakh(whole, millions));
  std::string r;
  if (!w.empty()) r = TrimText(currName) + " " + w;
  const std::string f = TrimText(NumToWordsLakh(fraction, millions));
  if (!r.empty() && !f.empty()) {
    r += " and " + subCurrName + " " + f;
  } else if (!f.empty()) {
    r = subCurrName + " " + f;
  }
  return r.empty() ? "" : r + " only";
}

// ---------------------------------------------------------------------------------------
// Rounding on decimal digits

namespace {

// Adds one to a text of decimal digits.
std::string Increment(std::string digits) {
  int i = static_cast<int>(digits.size()) - 1;
  while (i >= 0 && digits[i] == '9') digits[i--] = '0';
  if (i < 0) return "1" + digits;
  ++digits[i];
  return digits;
}

}  // namespace

double RoundValue(double value, int decimals) {
  if (value == 0 || !std::isfinite(value)) return value;
  const TDecimalDigits d = DecimalDigits(value);
  const int nd = std::max(0, static_cast<int>(d.Digits.size()) - d.Point);
  if (nd <= decimals) return value;
  const int keep = d.Point + decimals;  // digits that stay
  if (keep < 0) return 0;
  std::string kept = d.Digits.substr(0, keep);
  // Half up for a positive value; a negative one is cut toward zero (-1.239 gives -1.23),
  // as amounts have always been rounded here.
  if (!d.Negative && d.Digits[keep] >= '5') kept = Increment(kept);
  if (kept.empty()) return 0;
  return FromDecimalDigits(d.Negative, kept, -decimals);
}

double RndValue(double value, int step) {
  if (step <= 0) {
    throw std::invalid_argument("Rnd needs a step of at least one hundredth, not " +
                                std::to_string(step));
  }
  if (!std::isfinite(value) || std::fabs(value) >= 1e15) return value;
  // X: the value in hundredths, fraction cut off, read from its decimal digits so that
  // 1.15 is 115 hundredths and not 114.99999...
  const TDecimalDigits d = DecimalDigits(value);
  const int keep = d.Point + 2;
  std::int64_t x = 0;
  for (int i = 0; i < keep; ++i) {
    x = x * 10 + (i < static_cast<int>(d.Digits.size()) ? d.Digits[i] - '0' : 0);
  }
  if (d.Negative) x = -x;
  const std::int64_t half = step / 2;
  // Of the sign of X: a negative value never reaches the half, so it is cut toward zero.
  const std::int64_t rem = x % step;
  // A value already on a multiple stays there (with step 1 the half is 0).
  if (rem != 0) x = rem >= half ? x - rem + step : x - rem;
  return static_cast<double>(x) / 100.0;
}

// ---------------------------------------------------------------------------------------
// Text

namespace {

// Byte offset of each code point of a UTF-8 text, plus the end.
std::vector<size_t> CharStarts(const std::string& s) {
  std::vector<size_t> starts;
  starts.reserve(s.size() + 1);
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) starts.push_back(i);
  }
  starts.push_back(s.size());
  return starts;
}

// The code point at byte offset i (a malformed sequence reads byte by byte).
std::uint32_t CodeAt(const std::string& s, size_t i, size_t end) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  if (extra > 0 && i + extra >= end) return c;  // cut short: the lead byte alone
  std::uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 7);
  for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return cp;
}

// Characters [from, from + count) of the text, 0-based, clamped.
std::string Chars(const std::string& s, const std::vector<size_t>& starts, int from, int count) {
  const int n = static_cast<int>(starts.size()) - 1;
  if (from < 0) from = 0;
  if (count <= 0 || from >= n) return "";
  const int to = from + std::min(count, n - from);  // no overflow for a huge count
  return s.substr(starts[from], starts[to] - starts[from]);
}

}  // namespace

std::string Stuff(const std::string& text, const std::string& insert, int pos) {
  const std::vector<size_t> starts = CharStarts(text);
  const int n = static_cast<int>(starts.size()) - 1;
  const int insertLen = static_cast<int>(CharStarts(insert).size()) - 1;
  if (pos > n || insert.empty()) return "";
  // In 64 bits: a position near the integer limit must not overflow.
  const long long head = std::max(0LL, pos - 1LL);
  const long long tail = std::max(0LL, pos - 1LL + insertLen);
  return Chars(text, starts, 0, static_cast<int>(head)) + insert +
         Chars(text, starts, static_cast<int>(std::min<long long>(tail, n)), n);
}

std::string SubStr(const std::string& text, int start, int count) {
  if (AsciiLower(text) == "null") return "";
  const std::vector<size_t> starts = CharStarts(text);
  if (start < 1) start = 1;
  return Chars(text, starts, start - 1, count);
}

std::string UpperText(const std::string& text) { return UpperStr(text); }

std::string LowerText(const std::string& text) { return LowerStr(text); }

std::string TrimSpace(const std::string& text) {
  std::string r;
  r.reserve(text.size());
  for (char c : text)
    if (c != ' ') r += c;
  return r;
}

std::string ExtractNum(const std::string& text) {
  auto numeric = [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == '-'; };
  size_t i = 0;
  while (i < text.size() && !numeric(text[i])) ++i;
  size_t j = i;
  while (j < text.size() && numeric(text[j])) ++j;
  return text.substr(i, j - i);
}

std::string FindAndReplace(const std::string& text, const std::string& find,
                           const std::string& replace) {
  return ReplaceAll(text, find, replace);
}

int HashChar(const std::string& text) {
  const int n = GetLength(TrimText(text));
  const std::vector<size_t> starts = CharStarts(text);
  std::uint32_t sum = 0;  // wraps like a 32-bit integer on a very long text
  for (int i = 0; i < n && i + 1 < static_cast<int>(starts.size()); ++i) {
    sum += CodeAt(text, starts[i], starts[i + 1]);
  }
  return static_cast<int>(sum);
}

int GetLength(const std::string& text) { return static_cast<int>(CharStarts(text).size()) - 1; }

std::string ConvertMD5(const std::string& text) {
  TMD5 md5;
  return md5.MD5Print(md5.MD5String(text));
}

// ---------------------------------------------------------------------------------------
// Numbers and dates

namespace {

const char* const kShortMonths[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kLongMonths[13] = {"",        "January",  "February", "March",  "April",
                                     "May",     "June",     "July",     "August", "September",
                                     "October", "November", "December"};
const char* const kShortDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kLongDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                  "Thursday", "Friday", "Saturday"};

// Serials of 01/01/0001 and of the end of 31/12/9999.
constexpr double kMinSerial = -693593;
constexpr double kMaxSerial = 2958466;

bool InRange(double serial) {
  return std::isfinite(serial) && serial >= kMinSerial && serial < kMaxSerial;
}

void CheckRange(double serial) {
  if (!InRange(serial)) throw EConvertError("Invalid argument to date encode");
}

std::string Two(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d", v);
  return b;
}

}  // namespace

std::string NumberText(double value) {
  if (std::isnan(value)) return "0";
  return FormatNumber(value);
}

std::string DateText(double date) { return InRange(date) ? FormatDateSerial(date) : ""; }

std::string MonthYearShort(double date) {
  return InRange(date) ? FormatDateTimeText("mmm yyyy", date) : "";
}

std::optional<std::string> MonthYearLong(double date) {
  if (!InRange(date)) return std::nullopt;
  return FormatDateTimeText("mmmm yyyy", date);
}

double TextToDate(const std::string& text) {
  double d;
  if (TryParseDateSerial(TrimText(text), d)) return d;
  return ExprNow();
}

double AddDays(double date, int days) { return date + days; }

double ValidEncodeDate(int year, int month, int day) {
  double serial;
  for (int back = 0; back <= 3; ++back) {
    if (TryEncodeDateSerial(year, month, day - back, serial)) return serial;
  }
  throw EConvertError("Invalid argument to date encode");
}

double AddToMonth(double date, int months) {
  CheckRange(date);
  int y, m, d;
  DecodeDateSerial(date, y, m, d);
  // Whole years first, then the remaining months one at a time with the wrap.
  y += months / 12;
  int rest = months % 12;
  for (; rest > 0; --rest) {
    if (++m > 12) {
      m = 1;
      ++y;
    }
  }
  for (; rest < 0; ++rest) {
    if (--m < 1) {
      m = 12;
      --y;
    }
  }
  return ValidEncodeDate(y, m, d);
}

double LastDayOfMonth(double date) {
  CheckRange(date);
  int y, m, d;
  DecodeDateSerial(date, y, m, d);
  return EncodeDateSerial(y, m, DaysInMonth(y, m));
}

double DaysElapsed(const std::string& from, const std::string& to) {
  double f, t;
  if (!TryParseDateTimeSerial(from, f) || !TryParseDateTimeSerial(to, t)) return 0;
  return std::trunc(t - f);
}

double TimeElapsed(const std::string& from, const std::string& to) {
  double f, t;
  if (!TryParseDateTimeSerial(from, f) || !TryParseDateTimeSerial(to, t)) return 0;
  const double d = t - f;
  // Whole minutes of the span, counted in milliseconds so that 2:05 is not 2:04.99.
  const long long ms = std::llround(std::fabs(d) * 86400000.0);
  const long long minutesTotal = ms / 60000;
  const long long hours = minutesTotal / 60;
  const long long minutes = minutesTotal % 60;
  const double r = ParseNumber(std::to_string(hours) + "." + Two(static_cast<int>(minutes)));
  return d < 0 ? -r : r;
}

std::string AddToTime() { return ""; }

std::string FormatDateTimeText(const std::string& format, double dateTime) {
  CheckRange(dateTime);
  int y, mo, d, h, mi, s, ms;
  DecodeDateSerial(dateTime, y, mo, d);
  DecodeTimeSerial(dateTime, h, mi, s, ms);
  // Day of the week: serial 0 (30/12/1899) was a Saturday.
  const long long day = static_cast<long long>(std::floor(dateTime));
  const int dow = static_cast<int>(((day % 7) + 7 + 6) % 7);  // 0 = Sunday

  // A 12-hour clock when the pattern has an am/pm mark outside quotes.
  bool twelve = false;
  {
    const std::string low = AsciiLower(format);
    char quote = 0;
    for (size_t i = 0; i < low.size(); ++i) {
      const char c = low[i];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (low.compare(i, 5, "am/pm") == 0 || low.compare(i, 3, "a/p") == 0) {
        twelve = true;
      }
    }
  }
  const int h12 = h % 12 == 0 ? 12 : h % 12;

  std::string out;
  bool lastWasHour = false;
  size_t i = 0;
  const size_t n = format.size();
  auto run = [&](char lower) {
    size_t k = i;
    while (k < n && std::tolower(static_cast<unsigned char>(format[k])) == lower) ++k;
    const int count = static_cast<int>(k - i);
    i = k;
    return count;
  };
  while (i < n) {
    const char c = format[i];
    const char lc = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c == '"' || c == '\'') {
      const size_t close = format.find(c, i + 1);
      const size_t end = close == std::string::npos ? n : close;
      out.append(format, i + 1, end - i - 1);
      i = end == n ? n : end + 1;
      continue;
    }
    if (AsciiLower(format.substr(i, 5)) == "am/pm") {
      const std::string mark = h < 12 ? "am" : "pm";
      out += std::isupper(static_cast<unsigned char>(c)) ? UpperText(mark) : mark;
      i += 5;
      continue;
    }
    if (AsciiLower(format.substr(i, 3)) == "a/p") {
      const std::string mark = h < 12 ? "a" : "p";
      out += std::isupper(static_cast<unsigned char>(c)) ? UpperText(mark) : mark;
      i += 3;
      continue;
    }
    switch (lc) {
      case 'd': {
        const int cnt = run('d');
        if (cnt == 1)
          out += std::to_string(d);
        else if (cnt == 2)
          out += Two(d);
        else if (cnt == 3)
          out += kShortDays[dow];
        else
          out += kLongDays[dow];
        lastWasHour = false;
        break;
      }
      case 'm': {
        const int cnt = run('m');
        if (lastWasHour && cnt <= 2) {
          out += cnt == 1 ? std::to_string(mi) : Two(mi);
        } else if (cnt == 1) {
          out += std::to_string(mo);
        } else if (cnt == 2) {
          out += Two(mo);
        } else if (cnt == 3) {
          out += kShortMonths[mo];
        } else {
          out += kLongMonths[mo];
        }
        lastWasHour = false;
        break;
      }
      case 'y': {
        const int cnt = run('y');
        if (cnt <= 2) {
          out += Two(y % 100);
        } else {
          char b[16];
          std::snprintf(b, sizeof b, "%04d", y);
          out += b;
        }
        lastWasHour = false;
        break;
      }
      case 'h': {
        const int cnt = run('h');
        const int hv = twelve ? h12 : h;
        out += cnt == 1 ? std::to_string(hv) : Two(hv);
        lastWasHour = true;
        break;
      }
      case 'n': {
        const int cnt = run('n');
        out += cnt == 1 ? std::to_string(mi) : Two(mi);
        lastWasHour = false;
        break;
      }
      case 's': {
        const int cnt = run('s');
        out += cnt == 1 ? std::to_string(s) : Two(s);
        lastWasHour = false;
        break;
      }
      case 'z': {
        const int cnt = run('z');
        char b[16];
        std::snprintf(b, sizeof b, cnt >= 3 ? "%03d" : "%d", ms);
        out += b;
        lastWasHour = false;
        break;
      }
      default:
        out += c;  // "/", ":" and anything else stand as written
        ++i;
        break;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Units

double ConvertUnits(double qty, int per) {
  if (per == 0) throw std::domain_error("Division by zero");
  if (!(std::fabs(qty) < 9.2e18)) throw EConvertError("Quantity out of range for units");
  const long long q = static_cast<long long>(std::trunc(qty));
  return static_cast<double>(q / per) + static_cast<double>(q % per) / 100.0;
}

double RevConvertUnits(double value, int per) {
  if (per <= 0) return value <= 0 ? 0 : std::trunc(value);
  const double whole = std::trunc(value);
  const double r = per * whole + (value - whole) * 100.0;
  // Through the number text and back, so 2.01 with 12 is 25 and not 24.999999999999979.
  return ParseNumber(FormatNumber(r));
}

// ---------------------------------------------------------------------------------------
// Mail

std::string SendMail(const std::string& text) {
  // Settings lines up to the first line that begins with "<"; the message from there on.
  size_t start = 0, messageAt = std::string::npos;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const size_t first = text.find_first_not_of(" \t\r", start);
    if (first != std::string::npos && first < end && text[first] == '<') {
      messageAt = first;
      break;
    }
    start = end + 1;
  }
  const std::string settings = text.substr(0, std::min(messageAt, text.size()));
  const std::string message = messageAt == std::string::npos ? "" : text.substr(messageAt);
  TXSMTP smtp;
  std::string status;
  smtp.SendMail(settings, message, status);
  return status;
}

}  // namespace v7
