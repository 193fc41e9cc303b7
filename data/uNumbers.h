// The system's number texts: the one reader and writer of numbers that every unit uses
// (the expression language, the document engine, the query object and its backends), and
// exact decimal arithmetic on number texts. Nothing here consults the process locale: a
// number written on one machine reads back the same on any other.
#pragma once

#include <string>
#include <string_view>

namespace v7 {

// The text without leading and trailing blanks and control characters.
std::string_view TrimView(std::string_view text);

// ---- Numbers as doubles ----

// The general number text: up to 15 significant digits, no trailing zeros, "." as the
// decimal separator; exponent form ("1E20", "1.5E-7") only for values of 1E15 and above or
// below 0.00001. Never "-0".
std::string FormatNumber(double value);
// Same text into a caller's buffer (no allocation once the buffer has grown); answers the
// number of characters written. The buffer must hold at least kNumberTextMax characters.
constexpr int kNumberTextMax = 32;
int FormatNumberTo(double value, char* buffer);
// The value that the number text of value reads back as (ParseNumber(FormatNumber(value))),
// found without writing the text for values of at most four decimals below 1E15
// (quantities, prices, amounts); false for any other value, whose text must decide.
bool NumberTextReadBack(double value, double& readBack);
// As FormatNumber, but with a 16th significant digit where the value needs it to read back
// as itself: a stored amount of 16 digits (12345678901234.56, 1234567890123456) keeps its
// last digit. A value that needs 17 digits, a residue of binary arithmetic such as
// 0.1 + 0.2, keeps its 15-digit text ("0.3").
std::string FormatNumberExact(double value);
// The value with a fixed number of decimals (0 to 20), rounded to nearest as printf's "%.*f"
// rounds, with "." as the separator. Non-finite values give "INF", "-INF" or "NAN".
std::string FormatFixed(double value, int decimals);

// Strict decimal reading: blanks around are allowed, an optional sign, digits with at most
// one ".", an optional exponent. No thousands separators, no "inf"/"nan", no hexadecimal.
bool TryParseNumber(std::string_view text, double& value);
double ParseNumber(std::string_view text);  // raises EConvertError
// The same reading in extended precision: a record id of up to 19 digits reads exactly.
bool TryParseNumber(std::string_view text, long double& value);
// The number a text begins with, as a C library's strtod reads it but in decimal only and
// whatever the locale: blanks, an optional sign, digits with at most one ".", an optional
// exponent; whatever follows is ignored ("3,0" and "3;" are 3, "1,000" is 1). 0 when the
// text begins with no number.
double LeadingNumber(std::string_view text);
// Strict integer reading: blanks around, an optional sign, digits, within 32 bits.
bool TryParseInteger(std::string_view text, int& value);
int ParseInteger(std::string_view text);  // raises EConvertError

// A record id given as a text to a function (a script argument): read exactly by
// StrToRecordId, but an empty text is no id and raises EConvertError, as it is no number.
long double ParseRecordIdText(const std::string& text);

// ---- Exact decimal numbers ----

// A number text taken apart exactly: the value is 0.<Digits> x 10^Point, with no leading or
// trailing zeros in Digits (empty for zero, which is never negative).
struct TExactNumber {
  bool Negative = false;
  std::string Digits;
  long Point = 0;
};
// Plain or exponent form with an optional sign, blanks around allowed; false for anything
// else (and for exponents far beyond any column or double).
bool ParseExactNumber(std::string_view text, TExactNumber& n);
// A double's own value to the digit: the shortest decimal that reads back as it (up to 17
// significant digits: 134122025423262.25 keeps its cents, 0.1 + 0.2 is 0.30000000000000004).
// False for infinities and NaN.
bool ExactNumberOf(double value, TExactNumber& n);
// As ParseExactNumber, but commas are dropped first, an empty text is 0 and anything else
// raises EConvertError, as ToFloat does: the reading of an amount stored as text.
TExactNumber ExactAmount(const std::string& text);
// The number in plain decimal digits, never in exponent form: "1234567890123456", "-0.0025".
std::string PlainNumberText(const TExactNumber& n);
// Rounded half up by magnitude to decimals places (below 0: to tens, hundreds...), written
// with exactly that many decimals ("12.50"); a result of zero has no sign.
std::string RoundedNumberText(const TExactNumber& n, int decimals);
// a + b and a - b, exact whatever the number of digits.
TExactNumber AddExact(const TExactNumber& a, const TExactNumber& b);
TExactNumber SubtractExact(const TExactNumber& a, TExactNumber b);

}  // namespace v7
