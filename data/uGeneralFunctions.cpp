// General routines and the process-wide control values (see uGeneralFunctions.h).
#include "uGeneralFunctions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>

#include "uIniFile.h"
#include "uNumbers.h"
#include "uTextEncoding.h"

namespace v7 {

std::string DbKind;
std::string DbLowerFunc;
std::string DbDateFormat;
std::string DbDateTemplate;
std::string CurrencyTable;
int SiteNo = 0;
int ConnectNo = 0;
bool Millions = false;
long double LocalIdCounter = 0;
long double BaseCurrencyId = 0;
std::string CompanyName;
std::string UserName;
std::string UserCategory;
std::string UserDepartment;
std::string DbRep;
std::string CrRep;
std::string QuorexPath;
std::string MainCurr;
std::string SubCurr;
int CurrDecimal = 0;
double FinYrSt = 0, FinYrEd = 0, AFinYrSt = 0, AFinYrEd = 0;
std::string BaseMainCurr;

char DateSeparator = '/';
char DecimalSeparator = '.';

namespace {

const char kSettingsFile[] = "v7rm.ini";
const char kReservedVariables[] =
    ";username;recordid;finyrst;finyred;afinyrst;afinyred;usercategory;userdepartment;dbrep;"
    "crrep;_maincurr;";

std::string gConfigFolder;

char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

// ---- Text helpers ----

std::string TrimStr(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}

std::string LowerStr(const std::string& text) {
  std::string r = text;
  for (char& c : r) c = LowerChar(c);
  return r;
}

std::string UpperStr(const std::string& text) {
  std::string r = text;
  for (char& c : r) c = UpperChar(c);
  return r;
}

bool SameStrNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  }
  return true;
}

std::vector<std::string> SplitTextLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(text.substr(start, i - start));
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

bool ReadFileText(const std::string& fileName, std::string& text) {
  text.clear();
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    throw EInOutError("Cannot read the file " + fileName + ": " + std::strerror(errno));
  }
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      int err = errno;
      ::close(fd);
      throw EInOutError("Cannot read the file " + fileName + ": " + std::strerror(err));
    }
  }
  ::close(fd);
  // Windows editors save "Unicode" as UTF-16 with a byte order mark, and UTF-8 with one
  // too; read as bytes, such a file has NULs in every key, or a mark in its first one. The
  // reader of patch files knows them all.
  try {
    text = SettingsTextToUtf8(text);
  } catch (const ETextEncodingError& e) {
    std::error_code ec;
    throw EInOutError("Cannot read the file " + std::filesystem::absolute(fileName, ec).string() +
                      " as text: " + e.what() + ". Save it as UTF-8");
  }
  return true;
}

// ---- Routines ----

std::string IsNullValue(const std::string& value, const std::string& dataType) {
  std::string v = TrimStr(value);
  std::string t = LowerStr(dataType);
  // "/  /" is what an empty date edit holds.
  std::string emptyDate = std::string(1, DateSeparator) + "  " + DateSeparator;
  if (v.empty() || SameStrNoCase(v, "null") || (t == "d" && v == emptyDate)) return "T";
  return "F";
}

std::string GetDelimField(const std::string& text, int n, char delimiter) {
  if (n < 1) return "";
  size_t start = 0;
  for (int field = 1;; ++field) {
    size_t end = text.find(delimiter, start);
    if (field == n) return text.substr(start, end == std::string::npos ? end : end - start);
    if (end == std::string::npos) return "";
    start = end + 1;
  }
}

std::string GetField(const std::string& text, int n) { return GetDelimField(text, n, ','); }

std::string PadRight(const std::string& text, int width, char fill) {
  if (static_cast<int>(text.size()) >= width) return text;
  return text + std::string(static_cast<size_t>(width) - text.size(), fill);
}

std::string PadLeft(const std::string& text, int width, char fill) {
  if (static_cast<int>(text.size()) >= width) return text;
  return std::string(static_cast<size_t>(width) - text.size(), fill) + text;
}

std::string StripCommas(const std::string& text) {
  std::string r;
  r.reserve(text.size());
  for (char c : text) {
    if (c != ',') r += c;
  }
  return r;
}

std::string ReplaceAll(const std::string& text, const std::string& oldText,
                       const std::string& newText) {
  if (oldText.empty()) return text;
  std::string r;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(oldText, start);
    if (at == std::string::npos) break;
    r.append(text, start, at - start);
    r += newText;
    start = at + oldText.size();
  }
  r.append(text, start, std::string::npos);
  return r;
}

bool TryStrToFloat(const std::string& text, double& value) {
  const std::string t = TrimStr(text);
  // Only a plain decimal number with an optional exponent: the library parser would also
  // take "inf", "nan" and hexadecimal forms, which no user means.
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::string body = t.substr(i);
  if (body.empty() || body[0] == '+' || body[0] == '-') return false;
  for (char& c : body) {
    if (c == DecimalSeparator) {
      c = '.';
    } else if (!((c >= '0' && c <= '9') || c == 'e' || c == 'E' || c == '+' || c == '-')) {
      return false;
    }
  }
  double v = 0;
  auto [end, ec] =
      std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
  if (ec != std::errc() || end != body.data() + body.size() || !std::isfinite(v)) return false;
  value = (i > 0 && t[0] == '-') ? -v : v;
  return true;
}

double ToFloat(const std::string& text) {
  std::string t = TrimStr(text);
  if (t.empty()) return 0;
  double v = 0;
  if (!TryStrToFloat(StripCommas(t), v))
    throw EConvertError("'" + t + "' is not a valid floating point value");
  return v;
}

bool TryStrToRecordId(const std::string& text, long double& id) {
  id = 0;
  const std::string t = TrimStr(text);
  if (t.empty()) return true;
  std::string s = StripCommas(t);
  for (char& c : s)
    if (c == DecimalSeparator) c = '.';
  // Decimal digits only, read whatever the C library's locale says of the separator.
  long double v = 0;
  // Beyond a double's range no number of the system can stand.
  if (!TryParseNumber(s, v) || std::fabs(v) > std::numeric_limits<double>::max()) return false;
  id = v;
  return true;
}

long double StrToRecordId(const std::string& text) {
  long double id = 0;
  if (!TryStrToRecordId(text, id))
    throw EConvertError("'" + TrimStr(text) + "' is not a valid floating point value");
  return id;
}

std::string FloatToStr(double value) { return FormatNumber(value); }

double RoundFloat(int decimals, double value) {
  std::string t = TrimStr(FloatToStr(value));
  size_t dot = t.find('.');
  std::string f = dot == std::string::npos ? t : t.substr(dot + 1);
  int n = static_cast<int>(f.size());
  if (value == 0) return 0;
  if (n < decimals) return value;
  double a = std::pow(10.0, n);
  double b = std::pow(10.0, n - decimals);
  // A value whose text shows n decimals is, times 10^n, a whole number; taking it as such
  // keeps 1.005 (held as 1.00499999...) from rounding down to 1.
  double w = value * a;
  if (t.find('E') == std::string::npos) w = std::nearbyint(w);
  double q = std::trunc(w / b);
  double r = w - q * b;
  // For a negative value r is never positive: negatives are cut toward zero, as the
  // system always did.
  if (r >= b / 2) {
    w = w + (b - r);
  } else {
    w = w - r;
  }
  return w / a;
}

void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  // The last character is never examined, so "dir\" has no name part.
  for (size_t p = path.size() > 0 ? path.size() - 1 : 0; p >= 1; --p) {
    char c = path[p - 1];
    if (c == '\\' || c == '/') {
      folder = path.substr(0, p);
      name = path.substr(p);
      return;
    }
  }
  name.clear();
}

std::string ReadValueFromFile(const std::string& fileName, const std::string& key) {
  // Read afresh on every call: the file may be edited while the program runs.
  std::string text;
  if (!ReadFileText(fileName, text)) return "";
  for (const auto& line : SplitTextLines(text)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (SameStrNoCase(line.substr(0, eq), key)) return line.substr(eq + 1);
  }
  return "";
}

std::string ReadSetting(const std::string& key) { return ReadValueFromFile(kSettingsFile, key); }

std::string ReadAppIniString(const std::string& fileName, const std::string& section,
                             const std::string& key) {
  return TIniFile::Load(AppFolder() + fileName).ReadString(section, key, "");
}

double NextLocalId() {
  LocalIdCounter = LocalIdCounter + 1;
  std::string a = PadLeft(std::to_string(ConnectNo), 3, '0');
  std::string b = PadLeft(FloatToStr(static_cast<double>(LocalIdCounter)), 5, '0');
  return ToFloat(a + b);
}

double NewLocalId() { return NextLocalId(); }

std::string FormatDbDate(const std::string& dbKind, double dateTime) {
  using namespace std::chrono;
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // Years 100 to 9999 only: anything else is no date and would overflow the day count.
  if (!(dateTime >= -657434 && dateTime < 2958466)) {
    throw EConvertError("'" + FloatToStr(dateTime) + "' is not a valid date");
  }
  // The whole part counts days from 30/12/1899; for a negative value the fraction is the
  // time of that day, so the date is the whole part cut toward zero.
  sys_days day =
      sys_days(year{1899} / December / 30) + days(static_cast<long>(std::trunc(dateTime)));
  year_month_day ymd(day);
  char buf[32];
  unsigned d = static_cast<unsigned>(ymd.day());
  unsigned m = static_cast<unsigned>(ymd.month());
  int y = static_cast<int>(ymd.year());
  if (dbKind == "oracle") {
    std::snprintf(buf, sizeof buf, "%02u-%s-%04d", d, kMonths[m - 1], y);
  } else {
    std::snprintf(buf, sizeof buf, "%02u%c%02u%c%04d", d, DateSeparator, m, DateSeparator, y);
  }
  return buf;
}

std::string BoolToTF(bool flag) { return flag ? "t" : "f"; }

bool IsReservedVariable(const std::string& name) {
  return std::string(kReservedVariables).find(";" + LowerStr(name) + ";") != std::string::npos;
}

std::string AppFolder() {
  if (!gConfigFolder.empty()) return gConfigFolder;
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  std::string folder = exe.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

void SetConfigFolder(const std::string& folder) {
  // Held absolute: a relative folder means the one the program was started in, also after
  // the working folder changes.
  std::error_code ec;
  gConfigFolder = folder.empty() ? "" : std::filesystem::absolute(folder, ec).string();
  if (!gConfigFolder.empty() && gConfigFolder.back() != '/') gConfigFolder += '/';
}

}  // namespace v7
