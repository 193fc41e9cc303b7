// General routines every unit uses: comma fields, padding, replace-all, text-to-number,
// rounding, settings-file lookup, path splitting, local ids, and the process-wide control
// values of the open database project.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace v7 {

// The trace method pointer every component holds: one text in the trace-mark convention.
// An empty function means "trace nothing".
using TTraceProc = std::function<void(const std::string&)>;

// A text that should be a number (or a date) is not one; the message names the text.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A file that exists but cannot be read, or cannot be written. The message names the file.
class EInOutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Process-wide values. Only the writers named beside each change them. ----
extern std::string DbKind;          // TDBManager::Connect
extern std::string DbLowerFunc;     // TDBManager::Connect
extern std::string DbDateFormat;    // TDBManager::Connect
extern std::string DbDateTemplate;  // TDBManager::Connect
extern std::string CurrencyTable;   // TDBManager::Connect
extern int SiteNo;                  // TDBManager::LoadControl; document-packet step
extern int ConnectNo;               // stays 0: prefix of local ids
extern bool Millions;               // LoadControl; setsystemvar
extern long double LocalIdCounter;  // LoadControl sets 1; NextLocalId adds 1
extern long double BaseCurrencyId;  // setsystemvar
extern std::string CompanyName;     // LoadControl; setsystemvar
extern std::string UserName;        // document-packet step; LoadControl; setsystemvar
extern std::string UserCategory;    // setsystemvar
extern std::string UserDepartment;  // setsystemvar
extern std::string DbRep;           // LoadControl; setsystemvar
extern std::string CrRep;           // LoadControl; setsystemvar
extern std::string QuorexPath;      // setsystemvar
extern std::string MainCurr;        // setsystemvar
extern std::string SubCurr;         // setsystemvar
extern int CurrDecimal;             // setsystemvar
extern double FinYrSt, FinYrEd, AFinYrSt, AFinYrEd;  // LoadControl; setsystemvar
extern std::string BaseMainCurr;                     // LoadControl

// The process's date and decimal separators (set by the connection manager).
extern char DateSeparator;
extern char DecimalSeparator;

// ---- Routines ----
std::string IsNullValue(const std::string& value, const std::string& dataType);
std::string GetField(const std::string& text, int n);
std::string GetDelimField(const std::string& text, int n, char delimiter);
std::string PadRight(const std::string& text, int width, char fill);
std::string PadLeft(const std::string& text, int width, char fill);
std::string StripCommas(const std::string& text);
std::string ReplaceAll(const std::string& text, const std::string& oldText,
                       const std::string& newText);
// The text-to-float conversion of the system: blanks around, an optional sign, decimal
// digits with the process's decimal separator and an optional exponent; nothing else (no
// hexadecimal, "inf" or "nan", no thousands separators). False, value unchanged, otherwise.
bool TryStrToFloat(const std::string& text, double& value);
// 0 for a blank text; else the text less its commas by TryStrToFloat (EConvertError when
// it is no number).
double ToFloat(const std::string& text);
// A record id read from text as ToFloat reads a number (trimmed, thousands commas removed,
// empty gives 0, the same conversion error), but exact: ids of 16 and more digits, as the
// sites from 901 up make them, do not fit a double. Every record id read from a packet, a
// store or a query goes through here.
long double StrToRecordId(const std::string& text);
// As StrToRecordId, answering false instead of raising.
bool TryStrToRecordId(const std::string& text, long double& id);
double RoundFloat(int decimals, double value);
void SplitPath(const std::string& path, std::string& folder, std::string& name);
std::string ReadSetting(const std::string& key);
std::string ReadValueFromFile(const std::string& fileName, const std::string& key);
std::string ReadAppIniString(const std::string& fileName, const std::string& section,
                             const std::string& key);
double NextLocalId();
double NewLocalId();
std::string FormatDbDate(const std::string& dbKind, double dateTime);
std::string BoolToTF(bool flag);
bool IsReservedVariable(const std::string& name);

// The general float text: up to 15 significant digits, no trailing zeros, "." as the
// decimal separator, exponent form only for very large or very small values.
std::string FloatToStr(double value);

// The folder that stands for "the executable's folder" (with its trailing "/"): the
// running binary's folder unless a configuration folder was chosen.
std::string AppFolder();
void SetConfigFolder(const std::string& folder);

// ---- Small text helpers shared by the units (ASCII case rules, as the data is ASCII). ----
// Removes blanks and control characters (every byte <= ' ') from both ends.
std::string TrimStr(const std::string& text);
std::string LowerStr(const std::string& text);
std::string UpperStr(const std::string& text);
bool SameStrNoCase(const std::string& a, const std::string& b);
// Splits at CR LF, LF or CR; a final line break does not start another line.
std::vector<std::string> SplitTextLines(const std::string& text);
// Reads a whole text file (a settings file) as UTF-8: false when it does not exist;
// EInOutError naming it when it exists but cannot be read (no permission, a folder, a read
// error) or is no text (SettingsTextToUtf8: UTF-16 is read by its byte order mark; a file
// with NUL bytes and none, or with UTF-8 characters and bytes that are not UTF-8, is refused,
// with a message that asks for it to be saved as UTF-8).
bool ReadFileText(const std::string& fileName, std::string& text);

}  // namespace v7
