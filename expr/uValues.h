// Value conversions of the expression language: currency texts, number digits, strict
// integer reading, date serials (days since 30/12/1899, time as the fraction) and their texts
// "dd/mm/yyyy" and "dd/mm/yyyy hh:nn:ss". Every routine is independent of the process
// locale, so a value written on one machine reads back the same on any other.
// Failures raise EConvertError (uGeneralFunctions.h) with the platform's message texts.
#pragma once

#include <string>
#include <string_view>

#include "uNumbers.h"

namespace v7 {

// ---- Texts ----

// The text without leading and trailing blanks and control characters.
std::string TrimText(std::string_view text);  // TrimView (uNumbers.h) as a string
// ASCII lower case; other bytes (UTF-8 included) stay as they are.
std::string AsciiLower(std::string_view text);
// True when the text, trimmed, is empty or "null" in any letter case.
bool IsNullText(std::string_view text);

// ---- Numbers (the number text itself and its reading: uNumbers.h) ----

// A currency amount: rounded half to even at four decimals, as a currency conversion rounds,
// and written without trailing zeros or separators. Never "-0".
double RoundCurrency(double value);
std::string FormatCurrency(double value);
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
