// The system's number texts (see uNumbers.h). Doubles go through std::to_chars and
// std::from_chars, which never consult the locale; exact numbers are worked digit by digit.
#include "uNumbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "uGeneralFunctions.h"

namespace v7 {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Takes a leading "+" or "-" off t; true for "-".
bool TakeSign(std::string_view& t) {
  if (t.empty() || (t[0] != '+' && t[0] != '-')) return false;
  const bool negative = t[0] == '-';
  t.remove_prefix(1);
  return negative;
}

// Writes significant digits (at least one, no trailing zeros) whose first has the decimal
// exponent given, in the layout of the general number text; answers the end.
char* LayOut(const char* digits, int nd, int exponent, char* out) {
  if (exponent >= 15 || exponent < -5) {
    *out++ = digits[0];
    if (nd > 1) {
      *out++ = '.';
      out = std::copy_n(digits + 1, nd - 1, out);
    }
    *out++ = 'E';
    out = std::to_chars(out, out + 8, exponent).ptr;
  } else if (exponent >= 0) {
    for (int i = 0; i <= exponent; ++i) *out++ = i < nd ? digits[i] : '0';
    if (nd > exponent + 1) {
      *out++ = '.';
      out = std::copy_n(digits + exponent + 1, nd - exponent - 1, out);
    }
  } else {
    *out++ = '0';
    *out++ = '.';
    out = std::fill_n(out, -exponent - 1, '0');
    out = std::copy_n(digits, nd, out);
  }
  return out;
}

// Adds one to a text of decimal digits.
std::string IncrementDigits(std::string digits) {
  size_t i = digits.size();
  while (i > 0) {
    --i;
    if (digits[i] != '9') {
      ++digits[i];
      return digits;
    }
    digits[i] = '0';
  }
  return "1" + digits;
}

// The magnitude of n as whole digits from the decimal place high (exclusive, counted like
// Point) down to place low.
std::string AlignedDigits(const TExactNumber& n, long high, long low) {
  std::string s(static_cast<size_t>(high - low), '0');
  if (!n.Digits.empty()) s.replace(static_cast<size_t>(high - n.Point), n.Digits.size(), n.Digits);
  return s;
}

// Takes an exact number back from whole digits whose first stands at place high.
TExactNumber FromAligned(bool negative, std::string digits, long high) {
  TExactNumber n;
  const size_t lead = digits.find_first_not_of('0');
  if (lead == std::string::npos) return n;  // zero, without a sign
  digits.erase(digits.find_last_not_of('0') + 1);
  n.Negative = negative;
  n.Digits = digits.substr(lead);
  n.Point = high - static_cast<long>(lead);
  return n;
}

}  // namespace

// ---------------------------------------------------------------- doubles

int FormatNumberTo(double value, char* buffer) {
  char* out = buffer;
  if (std::isnan(value)) {
    std::copy_n("NAN", 3, out);
    return 3;
  }
  if (value < 0) {
    *out++ = '-';
    value = -value;
  }
  if (std::isinf(value)) {
    std::copy_n("INF", 3, out);
    return static_cast<int>(out - buffer) + 3;
  }
  if (value == 0) {  // "-0" too
    buffer[0] = '0';
    return 1;
  }
  // The 15 significant digits, correctly rounded, and the decimal exponent of the first.
  char digits[24];
  int nd = 0;
  int exponent = 0;
  // Values with at most 4 decimals below 1E15 (quantities, prices, amounts): when value *
  // 10^k comes out whole, value lies within a rounding error of that decimal, far closer
  // than half a unit of the 15th digit, so its digits are the text.
  static constexpr double kScales[] = {1, 10, 100, 1000, 10000};
  for (int k = 0; k < 5 && nd == 0; ++k) {
    const double scaled = value * kScales[k];
    if (scaled >= 1e15) break;
    if (scaled != std::trunc(scaled)) continue;
    nd = static_cast<int>(
        std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(scaled)).ptr -
        digits);
    exponent = nd - 1 - k;
  }
  if (nd == 0) {
    // "d.dddddddddddddde+XX". The shortest form that reads back as the same double is tried
    // first (it is much cheaper); when it has at most 15 digits it is also the nearest
    // 15-digit decimal, so both give the same text.
    char sci[40];
    auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    int mantissaDigits = 0;
    for (const char* q = sci; q < res.ptr && *q != 'e'; ++q) mantissaDigits += IsDigit(*q);
    if (mantissaDigits > 15) {
      res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific, 14);
    }
    const char* p = sci;
    for (; p < res.ptr && *p != 'e'; ++p) {
      if (IsDigit(*p)) digits[nd++] = *p;
    }
    std::from_chars(p + 1 + (p[1] == '+'), res.ptr, exponent);
  }
  while (nd > 1 && digits[nd - 1] == '0') --nd;
  return static_cast<int>(LayOut(digits, nd, exponent, out) - buffer);
}

std::string FormatNumber(double value) {
  char buffer[kNumberTextMax];
  return std::string(buffer, FormatNumberTo(value, buffer));
}

bool NumberTextReadBack(double value, double& readBack) {
  // As FormatNumberTo: the first scale at which the value comes out whole gives its digits
  // and decimals; reading that text divides the whole number, exact below 1E15, by the
  // same power of ten, once, correctly rounded.
  static constexpr double kScales[] = {1, 10, 100, 1000, 10000};
  const double magnitude = std::fabs(value);
  for (double scale : kScales) {
    const double scaled = magnitude * scale;
    if (!(scaled < 1e15)) return false;
    if (scaled != std::trunc(scaled)) continue;
    const double r = scaled / scale;
    readBack = value < 0 ? -r : r;
    return true;
  }
  return false;
}

std::string FormatNumberExact(double value) {
  if (!std::isfinite(value) || value == 0) return FormatNumber(value);
  // The shortest digits that read back as the value; up to 15 of them are the nearest
  // 15-digit decimal as well, so the general text is the same.
  char sci[40];
  const auto res =
      std::to_chars(sci, sci + sizeof sci, std::fabs(value), std::chars_format::scientific);
  char digits[24];
  int nd = 0;
  const char* p = sci;
  for (; p < res.ptr && *p != 'e'; ++p) {
    if (IsDigit(*p)) digits[nd++] = *p;
  }
  if (nd != 16) return FormatNumber(value);
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), res.ptr, exponent);
  while (nd > 1 && digits[nd - 1] == '0') --nd;
  char buffer[kNumberTextMax + 8];
  char* out = buffer;
  if (value < 0) *out++ = '-';
  return std::string(buffer, LayOut(digits, nd, exponent, out));
}

std::string FormatFixed(double value, int decimals) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  decimals = std::clamp(decimals, 0, 20);
  // The largest double has 309 digits before the point.
  char buffer[352];
  const auto res =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  return std::string(buffer, res.ptr);
}

std::string_view TrimView(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}

namespace {

// The number t (its sign already taken) when all of it is one.
template <typename T>
bool ReadInFull(std::string_view t, bool negative, T& value) {
  T v = 0;
  const auto res = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
  if (res.ec != std::errc() || res.ptr != t.data() + t.size()) return false;
  value = negative ? -v : v;
  return true;
}

}  // namespace

bool TryParseNumber(std::string_view text, double& value) {
  std::string_view t = TrimView(text);
  const bool negative = TakeSign(t);
  // A digit or "." must come first: this refuses "inf", "nan" and a second sign.
  if (t.empty() || !(IsDigit(t[0]) || t[0] == '.')) return false;
  // Plain decimals of up to 15 digits (nearly every value): digits / 10^decimals is exact
  // in both terms, so the one division rounds correctly, as the full reading would.
  if (t.size() <= 16) {
    std::int64_t digits = 0;
    int count = 0, decimals = -1;
    for (char c : t) {
      if (IsDigit(c)) {
        digits = digits * 10 + (c - '0');
        ++count;
        if (decimals >= 0) ++decimals;
      } else if (c == '.' && decimals < 0) {
        decimals = 0;
      } else {
        count = -1;  // an exponent or a stray character: the full reading decides
        break;
      }
    }
    if (count > 0 && count <= 15) {
      static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
      const double v = static_cast<double>(digits) / kPowers[decimals < 0 ? 0 : decimals];
      value = negative ? -v : v;
      return true;
    }
  }
  return ReadInFull(t, negative, value);
}

bool TryParseNumber(std::string_view text, long double& value) {
  std::string_view t = TrimView(text);
  const bool negative = TakeSign(t);
  if (t.empty() || !(IsDigit(t[0]) || t[0] == '.')) return false;
  return ReadInFull(t, negative, value);
}

double ParseNumber(std::string_view text) {
  double v;
  if (!TryParseNumber(text, v)) {
    throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
  }
  return v;
}

double LeadingNumber(std::string_view text) {
  size_t b = 0;
  while (b < text.size() && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  size_t e = b;
  if (e < text.size() && (text[e] == '+' || text[e] == '-')) ++e;
  size_t digits = 0;
  for (; e < text.size() && IsDigit(text[e]); ++e) ++digits;
  if (e < text.size() && text[e] == '.')
    for (++e; e < text.size() && IsDigit(text[e]); ++e) ++digits;
  if (digits == 0) return 0;
  // An exponent counts only with its digits: "3e" is 3.
  if (e < text.size() && (text[e] == 'e' || text[e] == 'E')) {
    size_t x = e + 1;
    if (x < text.size() && (text[x] == '+' || text[x] == '-')) ++x;
    if (x < text.size() && IsDigit(text[x])) {
      while (x < text.size() && IsDigit(text[x])) ++x;
      e = x;
    }
  }
  double value = 0;
  return TryParseNumber(text.substr(b, e - b), value) ? value : 0;
}

bool TryParseInteger(std::string_view text, int& value) {
  std::string_view t = TrimView(text);
  const bool negative = TakeSign(t);
  if (t.empty() || !IsDigit(t[0])) return false;
  long long v = 0;
  const auto res = std::from_chars(t.data(), t.data() + t.size(), v);
  if (res.ec != std::errc() || res.ptr != t.data() + t.size()) return false;
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

int ParseInteger(std::string_view text) {
  int v;
  if (!TryParseInteger(text, v)) {
    throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  }
  return v;
}

long double ParseRecordIdText(const std::string& text) {
  if (TrimView(text).empty()) throw EConvertError("'' is not a valid floating point value");
  return StrToRecordId(text);
}

// ---------------------------------------------------------------- exact numbers

bool ParseExactNumber(std::string_view text, TExactNumber& n) {
  // Far beyond any column's width and any double: such a text is no number here.
  constexpr long kMaxExponent = 400;
  n = TExactNumber();
  const std::string_view t = TrimView(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  std::string digits;
  long point = -1;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    if (IsDigit(c))
      digits += c;
    else if (c == '.' && point < 0)
      point = static_cast<long>(digits.size());
    else
      break;
  }
  if (digits.empty()) return false;
  if (point < 0) point = static_cast<long>(digits.size());
  if (i < t.size() && (t[i] == 'E' || t[i] == 'e')) {
    ++i;
    bool negativeExponent = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) negativeExponent = t[i++] == '-';
    const size_t start = i;
    long exponent = 0;
    for (; i < t.size() && IsDigit(t[i]); ++i)
      if (exponent <= kMaxExponent) exponent = exponent * 10 + (t[i] - '0');
    if (i == start || exponent > kMaxExponent) return false;
    point += negativeExponent ? -exponent : exponent;
  }
  if (i != t.size()) return false;
  n = FromAligned(negative, digits, point);
  return true;
}

bool ExactNumberOf(double value, TExactNumber& n) {
  if (!std::isfinite(value)) return false;
  char sci[40];
  const auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  return ParseExactNumber(std::string_view(sci, static_cast<size_t>(res.ptr - sci)), n);
}

TExactNumber ExactAmount(const std::string& text) {
  const std::string t = TrimStr(text);
  TExactNumber n;
  if (!t.empty() && !ParseExactNumber(StripCommas(t), n))
    throw EConvertError("'" + t + "' is not a valid floating point value");
  return n;
}

std::string PlainNumberText(const TExactNumber& n) {
  if (n.Digits.empty()) return "0";
  const long size = static_cast<long>(n.Digits.size());
  std::string s;
  if (n.Point >= size)
    s = n.Digits + std::string(static_cast<size_t>(n.Point - size), '0');
  else if (n.Point <= 0)
    s = "0." + std::string(static_cast<size_t>(-n.Point), '0') + n.Digits;
  else
    s = n.Digits.substr(0, static_cast<size_t>(n.Point)) + "." +
        n.Digits.substr(static_cast<size_t>(n.Point));
  return n.Negative ? "-" + s : s;
}

std::string RoundedNumberText(const TExactNumber& n, int decimals) {
  // r: the number times 10^decimals, rounded half up by magnitude, as whole digits.
  const long keep = n.Point + decimals;
  std::string r;
  if (keep < 0 || n.Digits.empty()) {
    r = "0";
  } else if (static_cast<size_t>(keep) >= n.Digits.size()) {
    r = n.Digits + std::string(static_cast<size_t>(keep) - n.Digits.size(), '0');
  } else {
    r = n.Digits.substr(0, static_cast<size_t>(keep));
    if (n.Digits[static_cast<size_t>(keep)] >= '5') r = IncrementDigits(r);
  }
  if (r.empty()) r = "0";
  const bool negative = n.Negative && r.find_first_not_of('0') != std::string::npos;
  std::string s;
  if (decimals > 0) {
    const size_t d = static_cast<size_t>(decimals);
    if (r.size() <= d) r.insert(0, d + 1 - r.size(), '0');
    s = r.substr(0, r.size() - d) + "." + r.substr(r.size() - d);
  } else {
    s = r == "0" ? r : r + std::string(static_cast<size_t>(-decimals), '0');
  }
  return negative ? "-" + s : s;
}

TExactNumber AddExact(const TExactNumber& a, const TExactNumber& b) {
  if (b.Digits.empty()) return a;
  if (a.Digits.empty()) return b;
  // One more place above the larger number takes the carry.
  const long high = std::max(a.Point, b.Point) + 1;
  const long low = std::min(a.Point - static_cast<long>(a.Digits.size()),
                            b.Point - static_cast<long>(b.Digits.size()));
  std::string x = AlignedDigits(a, high, low);
  std::string y = AlignedDigits(b, high, low);
  bool negative = a.Negative;
  if (a.Negative != b.Negative && x < y) {
    std::swap(x, y);
    negative = b.Negative;
  }
  const bool subtract = a.Negative != b.Negative;
  int carry = 0;
  for (size_t i = x.size(); i-- > 0;) {
    int d = (x[i] - '0') + (subtract ? -(y[i] - '0') - carry : (y[i] - '0') + carry);
    carry = 0;
    if (d < 0) {
      d += 10;
      carry = 1;
    } else if (d > 9) {
      d -= 10;
      carry = 1;
    }
    x[i] = static_cast<char>('0' + d);
  }
  return FromAligned(negative, x, high);
}

TExactNumber SubtractExact(const TExactNumber& a, TExactNumber b) {
  if (!b.Digits.empty()) b.Negative = !b.Negative;
  return AddExact(a, b);
}

}  // namespace v7
