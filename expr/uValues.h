// Value conversions of the expression language: number text, strict number and integer
// reading, date serials (days since 30/12/1899, time as the fraction) and their texts
// "dd/mm/yyyy" and "dd/mm/yyyy hh:nn:ss". Every routine is independent of the process
// locale, so a value written on one machine reads back the same on any other.
// Failures raise EConvertError (uGeneralFunctions.h) with the platform's message texts.
#pragma once

#include <string>
#include <string_view>

namespace v7 {

// ---- Texts ----

// The text without leading and trailing blanks and control characters.
std::string TrimText(std::string_view text);
std::string_view TrimView(std::string_view text);
// ASCII lower case; other bytes (UTF-8 included) stay as they are.
std::string AsciiLower(std::string_view text);
// True when the text, trimmed, is empty or "null" in any letter case.
bool IsNullText(std::string_view text);

// ---- Numbers ----

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
// A currency amount: rounded half to even at four decimals, as a currency conversion rounds,
// and written without trailing zeros or separators. Never "-0".
double RoundCurrency(double value);
std::string FormatCurrency(double value);
// The value with a fixed number of decimals (0 to 20), rounded to nearest as printf's "%.*f"
// rounds, with "." as the separator whatever the process locale. Non-finite values give
// "INF", "-INF" or "NAN".
std::string FormatFixed(double value, int decimals);

// A finite value as its 15 significant decimal digits (the digits its number text shows):
// |value| = 0.Digits x 10^Point, Digits without trailing zeros ("0" for zero).
struct TDecimalDigits {
  bool Negative = false;
  std::string Digits;
  int Point = 0;  // digits before the decimal point; may be <= 0 or beyond Digits
};
TDecimalDigits DecimalDigits(double value);
// The double nearest to Digits x 10^Exponent (Digits: decimal digits only), negated when
// asked; 0 for no digits.
double FromDecimalDigits(bool negative, std::string_view digits, int exponent);

// Strict decimal reading: blanks around are allowed, an optional sign, digits with at most
// one ".", an optional exponent. No thousands separators, no "inf"/"nan", no hexadecimal.
bool TryParseNumber(std::string_view text, double& value);
double ParseNumber(std::string_view text);  // raises EConvertError
// Whole numbers in the range of a 32-bit integer, blanks around allowed.
bool TryParseInteger(std::string_view text, int& value);
int ParseInteger(std::string_view text);  // raises EConvertError

// ---- Dates ----

// Day 0 is 30/12/1899. Valid years are 1 to 9999.
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
bool TryEncodeDateSerial(int year, int month, int day, double& serial);
double EncodeDateSerial(int year, int month, int day);  // raises EConvertError
double EncodeTimeSerial(int hour, int minute, int second, int msec = 0);
void DecodeDateSerial(double serial, int& year, int& month, int& day);
void DecodeTimeSerial(double serial, int& hour, int& minute, int& second, int& msec);

// "dd/mm/yyyy".
std::string FormatDateSerial(double serial);
// "hh:nn:ss".
std::string FormatTimeSerial(double serial);
// "dd/mm/yyyy hh:nn:ss", or the plain date when the time is midnight.
std::string FormatDateTimeSerial(double serial);

// Reads "d/m/yyyy" (one or two digits for day and month; a year of one or two digits is
// taken as 1950-2049), blanks around allowed.
bool TryParseDateSerial(std::string_view text, double& serial);
double ParseDateSerial(std::string_view text);  // raises EConvertError
// As above, optionally followed by blanks and a time "h:nn" or "h:nn:ss".
bool TryParseDateTimeSerial(std::string_view text, double& serial);
double ParseDateTimeSerial(std::string_view text);  // raises EConvertError

// The machine's current local date and time as a serial.
double NowSerial();

}  // namespace v7
