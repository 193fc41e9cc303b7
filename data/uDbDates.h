// Date-time values as the database layer moves them: the system's date-time double (days
// since 30/12/1899, time as the fraction), its "dd/mm/yyyy hh:nn:ss" text, and the Julian
// day number in which the SQLite backend stores dates. Every conversion goes through whole
// seconds, so a date read back and written again compares equal to the stored one.
#pragma once

#include <string>

namespace v7 {

// Order of the day, month and year in a date text.
enum class TDateOrder { DMY, MDY, YMD };

// Days since 30/12/1899 of a calendar date and time; false when the parts are no date.
bool DateTimeFromParts(int year, int month, int day, int hour, int minute, int second,
                       double& dateTime);
// The parts of a date-time double, rounded to the nearest second.
void DateTimeToParts(double dateTime, int& year, int& month, int& day, int& hour, int& minute,
                     int& second);
// The date-time rounded to the nearest whole second.
double RoundDateTimeToSecond(double dateTime);

// Reads a date with an optional time: day, month and year in the given order separated by
// "/", "-" or "."; a two-digit year counts from 1950; the month may be a three-letter English
// name ("31-Dec-2005"); the time "hh:nn[:ss]" may follow after blanks, with an optional
// "AM"/"PM". A text of the ISO form "yyyy-mm-dd[ hh:nn:ss]" is read whatever the order.
// False when the text is no date.
bool ParseDateTimeText(const std::string& text, TDateOrder order, double& dateTime);

// "dd/mm/yyyy", followed by " hh:nn:ss" when the time is not midnight: the text a date
// column reads as.
std::string DateTimeToText(double dateTime);

// The date-time written by a mask of the tokens yyyy, yy, mmmm, mmm, mm, m, dd, d, hh, h,
// nn, ss and AM/PM; other characters are copied. "mm" right after "hh" or "h" means
// minutes.
std::string FormatDateTimeMask(const std::string& mask, double dateTime);

// Julian day number <-> date-time double (through whole seconds, as stored by SQLite).
double JulianFromDateTime(double dateTime);
double DateTimeFromJulian(double julianDay);

// Lowest Julian day that is read as a date where a number stands for one (01/01/0001).
constexpr double kFirstJulianDate = 1721425.5;
// Highest such Julian day (31/12/9999).
constexpr double kLastJulianDate = 5373484.5;

}  // namespace v7
