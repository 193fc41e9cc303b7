// The routines behind the built-in functions: amounts in words (lakh/crore and million
// systems), rounding to decimals and to steps, text surgery, date arithmetic and formatting,
// unit conversion, digests and mail. Texts are UTF-8; "characters" are Unicode code points.
// Dates are serials (days since 30/12/1899, time as the fraction), read and written by the
// conversions of uValues.h.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace v7 {

// ---- Clock ----

// The clock behind today's date and the current time. Tests set a fixed one; an empty
// clock restores the machine's.
using TExprClock = std::function<double()>;
void SetExprClock(TExprClock clock);
double ExprNow();

// ---- Amounts in words ----

// Words of 1 to 9 decimal digits in the lakh/crore system ("" for no digits or zero). The
// millions flag drops the " and " after hundreds. More than 9 digits or a non-digit raise.
std::string NumToWordsLakh(const std::string& digits, bool millions);
// Words of 1 to 15 digits in thousands, millions, billions and trillions.
std::string NumToWordsMillion(const std::string& digits, bool millions);
// "Rupees ... and Paise ... only". Amounts from 0 to 999,999,999.99 (to
// 999,999,999,999,999.99 under the millions flag); a negative or larger amount raises.
std::string AmountInWords(double amount, bool millions);
// "<CurrName> ... and <SubCurrName> ... only" with Decimals (0 to 9) digits of fraction.
std::string CurrAmountInWords(const std::string& currName, const std::string& subCurrName,
                              double amount, bool useMillions, int decimals, bool millions);

// ---- Rounding ----

// Rounds to a multiple of Step hundredths, half up, on the decimal digits of the value
// (1.15 is 115 hundredths); a value already on a multiple stays. A negative value is cut
// toward zero to a multiple (-12.34 with 5 gives -12.30). A step of zero or less raises.
double RndValue(double value, int step);
// Rounds half up to Decimals places, on the decimal digits of the value's shortest text:
// 1.005 gives 1.01 and 0.57 to one place 0.6. A negative value is cut toward zero (-1.239
// gives -1.23). A value with fewer decimals than asked is returned unchanged; negative
// Decimals round to tens, hundreds...
double RoundValue(double value, int decimals);
inline const std::string& IIfValue(bool cond, const std::string& trueValue,
                                   const std::string& falseValue) {
  return cond ? trueValue : falseValue;
}

// ---- Text ----

// Insert overwrites the text from position Pos (1-based); '' when Pos is past the end or
// Insert is empty.
std::string Stuff(const std::string& text, const std::string& insert, int pos);
// Count characters from Start (1-based); a Start below 1 counts from the first character,
// a negative Count gives ''; "null" in any case reads as ''.
std::string SubStr(const std::string& text, int start, int count);
std::string UpperText(const std::string& text);  // a-z only
std::string LowerText(const std::string& text);  // A-Z only
std::string TrimSpace(const std::string& text);  // removes every blank (32)
// The first run of "0"-"9", ".", "-" characters ('' when none).
std::string ExtractNum(const std::string& text);
// Every occurrence, left to right without overlap; case-sensitive.
std::string FindAndReplace(const std::string& text, const std::string& find,
                           const std::string& replace);
// Sum of the codes of the first n characters, n the length of the trimmed text.
int HashChar(const std::string& text);
int GetLength(const std::string& text);
// The MD5 digest as 32 lower-case hexadecimal digits.
std::string ConvertMD5(const std::string& text);

// ---- Numbers and dates ----

std::string NumberText(double value);     // "0" when the value has no text (NaN)
std::string DateText(double date);        // "dd/mm/yyyy"; '' for a date out of range
std::string MonthYearShort(double date);  // "Jan 2024"; '' on failure
// "January 2024"; nothing for a date out of range (the caller shows "Invalid Date ").
std::optional<std::string> MonthYearLong(double date);
// The trimmed text as a date; the clock's date and time when it is not one.
double TextToDate(const std::string& text);
// Date + Days. A sum beyond the calendar (before 01/01/0001, after 31/12/9999) is no date:
// writing it raises, so AddToDate answers its failure date for it.
double AddDays(double date, int days);
// Same day Months later (or earlier), falling back to the month's last day.
double AddToMonth(double date, int months);
double LastDayOfMonth(double date);
// The date, or the day before, two or three days before when the day does not exist.
double ValidEncodeDate(int year, int month, int day);
double DaysElapsed(const std::string& from, const std::string& to);  // 0 when unreadable
// Hours and minutes between two date-times as hours.minutes (2.05 = 2 hours 5 minutes).
double TimeElapsed(const std::string& from, const std::string& to);
std::string AddToTime();  // answers '' whatever it is given

// Formats a date-time. Patterns (letters in any case):
//   d dd ddd dddd     day: 5, 05, Sun, Sunday
//   m mm mmm mmmm     month: 1, 01, Jan, January (m/mm right after h/hh: minutes)
//   yy yyyy           year: 24, 2024
//   h hh              hour 0-23 (0-12 with am/pm)
//   n nn  s ss        minute, second
//   z zzz             milliseconds
//   am/pm a/p         12-hour clock and its mark
//   "text" 'text'     literal text
//   / :               date and time separators
// Any other character is copied.
std::string FormatDateTimeText(const std::string& format, double dateTime);

// ---- Units ----

// Qty pieces as packs of Per: 25 with 12 gives 2.01. Per 0 raises.
double ConvertUnits(double qty, int per);
// The inverse: 2.01 with 12 gives 25.
double RevConvertUnits(double value, int per);

// ---- Mail ----

// Sends one mail. The text holds the server settings as name=value lines (host, port,
// userid, password), then the message as XML starting on the first line that begins with
// "<":
//   host=mail.example.com
//   port=25
//   userid=site01
//   password=secret
//   <mail><from>..</from><to>..</to><subject>..</subject><body>..</body>
//   <attachment>path1,path2</attachment></mail>
// Answers the mail sender's status: "done" or the error that stopped the sending.
std::string SendMail(const std::string& text);

}  // namespace v7
