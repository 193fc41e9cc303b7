// Text of other sites as UTF-8 (see uTextEncoding.h).
#include "uTextEncoding.h"

#include <endian.h>
#include <iconv.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <optional>

namespace v7 {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (ok()) iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// Runs a conversion over the whole input; the offset of the first byte that cannot be
// converted when there is one.
std::optional<size_t> Run(iconv_t cd, const std::string& in, std::string& out) {
  out.clear();
  char* inPtr = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char buffer[4096];
  for (;;) {
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    // A null input ends the text: a stateful encoding writes what it still holds.
    const size_t done = inLeft ? iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft)
                               : iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    const int error = errno;
    out.append(buffer, static_cast<size_t>(outPtr - buffer));
    if (done != static_cast<size_t>(-1)) {
      if (inLeft == 0 && outPtr == buffer) return std::nullopt;
      continue;
    }
    if (error == E2BIG) continue;
    // EILSEQ: a byte sequence the encoding does not have; EINVAL: text cut inside a
    // character.
    return static_cast<size_t>(inPtr - in.data());
  }
}

// Declared names are XML encoding names (letters, digits, ".", "_", "-"): iconv's own
// suffixes such as "//IGNORE" would let bad text through silently.
bool IsEncodingName(const std::string& name) {
  if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  for (unsigned char c : name)
    if (!(std::isalnum(c) && c < 0x80) && c != '.' && c != '_' && c != '-') return false;
  return true;
}

// An encoding's name in a message: a declaration may name anything, of any length.
std::string EncodingInMessage(const std::string& name) {
  constexpr size_t kShown = 40;
  return "\"" + (name.size() > kShown ? name.substr(0, kShown) + "..." : name) + "\"";
}

// The text as UTF-8, or the offset of its first bad byte. The text is decoded to code
// points first: glibc's UTF-8 to UTF-8 copies sequences beyond U+10FFFF that no database
// accepts, while its decoder into UTF-32 refuses them.
std::optional<size_t> TryConvert(const std::string& bytes, const std::string& encoding,
                                 std::string& utf8) {
  if (!IsEncodingName(encoding))
    throw ETextEncodingError("Unknown encoding " + EncodingInMessage(encoding));
  IconvHandle decode("UTF-32LE", encoding.c_str());
  if (!decode.ok()) throw ETextEncodingError("Unknown encoding " + EncodingInMessage(encoding));
  IconvHandle encode("UTF-8", "UTF-32LE");
  if (!encode.ok()) throw ETextEncodingError("Cannot convert " + encoding + " text to UTF-8");
  // Piece by piece: the code points of a whole packet would take four times its text.
  utf8.clear();
  utf8.reserve(bytes.size());
  char* inPtr = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  std::string piece;
  for (;;) {
    char codePoints[16384];
    char* outPtr = codePoints;
    size_t outLeft = sizeof codePoints;
    // A null input ends the text: a stateful encoding writes what it still holds.
    const size_t done = inLeft ? iconv(decode.get(), &inPtr, &inLeft, &outPtr, &outLeft)
                               : iconv(decode.get(), nullptr, nullptr, &outPtr, &outLeft);
    const int error = errno;
    if (Run(encode.get(), std::string(codePoints, static_cast<size_t>(outPtr - codePoints)), piece))
      throw ETextEncodingError("Cannot convert " + encoding + " text to UTF-8");
    utf8 += piece;
    if (done != static_cast<size_t>(-1)) {
      if (inLeft == 0 && outPtr == codePoints) break;
      continue;
    }
    if (error == E2BIG) continue;
    // EILSEQ: a byte sequence the encoding does not have; EINVAL: text cut inside a
    // character.
    return static_cast<size_t>(inPtr - bytes.data());
  }
  // A byte order mark is no part of the text.
  if (utf8.starts_with(kByteOrderMark)) utf8.erase(0, 3);
  return std::nullopt;
}

std::string InvalidText(const std::string& encoding, size_t offset) {
  return "Invalid " + encoding + " text at byte offset " + std::to_string(offset);
}

// The encoding that a byte order mark, or the first characters of an XML document in a
// wide encoding, show; empty for an 8-bit text.
std::string WideEncoding(const std::string& b) {
  auto starts = [&](const char* prefix, size_t n) { return b.compare(0, n, prefix, n) == 0; };
  if (starts("\xEF\xBB\xBF", 3)) return "UTF-8";
  if (starts("\xFF\xFE\0\0", 4) || starts("\0\0\xFE\xFF", 4)) return "UTF-32";
  if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2)) return "UTF-16";
  if (starts("<\0\0\0", 4)) return "UTF-32LE";
  if (starts("\0\0\0<", 4)) return "UTF-32BE";
  if (starts("<\0?\0", 4)) return "UTF-16LE";
  if (starts("\0<\0?", 4)) return "UTF-16BE";
  return "";
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The encoding named by the XML declaration at the start of an 8-bit text; empty when
// there is no declaration or it names none.
std::string DeclaredEncoding(const std::string& b) {
  if (b.compare(0, 5, "<?xml") != 0 || b.size() < 6 || !IsXmlSpace(b[5])) return "";
  const size_t end = b.find("?>");
  if (end == std::string::npos) return "";
  const std::string decl = b.substr(0, end);
  size_t at = 5;
  while ((at = decl.find("encoding", at)) != std::string::npos) {
    const bool standsAlone = IsXmlSpace(decl[at - 1]);
    at += 8;
    size_t i = at;
    while (i < decl.size() && IsXmlSpace(decl[i])) ++i;
    if (!standsAlone || i >= decl.size() || decl[i] != '=') continue;
    ++i;
    while (i < decl.size() && IsXmlSpace(decl[i])) ++i;
    if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) return "";
    const size_t close = decl.find(decl[i], i + 1);
    if (close == std::string::npos) return "";
    return decl.substr(i + 1, close - i - 1);
  }
  return "";
}

// A NUL is no character of any text the system takes in: it would cut a value short
// wherever it goes (a C string, an XML parser), or be stored as no database takes it.
void RefuseNul(const std::string& utf8, const std::string& encoding) {
  if (utf8.find('\0') != std::string::npos)
    throw ETextEncodingError("Invalid " + encoding + " text: it holds a NUL character");
}

struct Utf8Scan {
  std::optional<size_t> firstBad;  // the first byte that is no part of a UTF-8 character
  bool beyondAscii = false;        // some UTF-8 character beyond ASCII stands elsewhere
};

// Decodes the bytes as UTF-8 in one pass, stepping over each byte that is not UTF-8.
Utf8Scan ScanUtf8(const std::string& bytes) {
  Utf8Scan scan;
  IconvHandle decode("UTF-32LE", "UTF-8");
  if (!decode.ok()) throw ETextEncodingError("Cannot convert UTF-8 text");
  char* inPtr = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  uint32_t buffer[1024];
  while (inLeft > 0) {
    char* outPtr = reinterpret_cast<char*>(buffer);
    size_t outLeft = sizeof buffer;
    const size_t done = iconv(decode.get(), &inPtr, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    const size_t decoded = (sizeof buffer - outLeft) / sizeof buffer[0];
    for (size_t i = 0; i < decoded; ++i)
      if (le32toh(buffer[i]) >= 0x80) scan.beyondAscii = true;
    if (done != static_cast<size_t>(-1) || error == E2BIG) continue;
    if (!scan.firstBad) scan.firstBad = static_cast<size_t>(inPtr - bytes.data());
    ++inPtr;
    --inLeft;
  }
  return scan;
}

}  // namespace

std::string ConvertToUtf8(const std::string& bytes, const std::string& encoding) {
  std::string utf8;
  if (const auto bad = TryConvert(bytes, encoding, utf8))
    throw ETextEncodingError(InvalidText(encoding, *bad));
  RefuseNul(utf8, encoding);
  return utf8;
}

std::string PlainTextToUtf8(const std::string& bytes) {
  // A byte order mark names the encoding, as Windows editors write it for "Unicode".
  if (const std::string wide = WideEncoding(bytes); !wide.empty() && wide != "UTF-8")
    return ConvertToUtf8(bytes, wide);
  if (const size_t nul = bytes.find('\0'); nul != std::string::npos)
    throw ETextEncodingError("Invalid text at byte offset " + std::to_string(nul) +
                             ": a NUL byte (UTF-16 text needs its byte order mark)");
  std::string utf8;
  if (!TryConvert(bytes, "UTF-8", utf8)) return utf8;
  // Read as kWindowsCodePage, the UTF-8 characters of a text that holds both would turn into
  // others ("café" into "cafÃ©") and be stored as if they were meant: such a text is neither.
  // A UTF-8 byte order mark counts as such a character.
  if (const auto scan = ScanUtf8(bytes); scan.firstBad && scan.beyondAscii)
    throw ETextEncodingError("Invalid UTF-8 text at byte offset " + std::to_string(*scan.firstBad) +
                             ": the file holds UTF-8 characters too, so it is not " +
                             kWindowsCodePage + " text either");
  if (const auto bad = TryConvert(bytes, kWindowsCodePage, utf8))
    throw ETextEncodingError("Invalid text at byte offset " + std::to_string(*bad) +
                             ": neither UTF-8 nor " + kWindowsCodePage);
  return utf8;
}

std::string SettingsTextToUtf8(const std::string& bytes) { return PlainTextToUtf8(bytes); }

std::string XmlToUtf8(const std::string& bytes) {
  std::string encoding = WideEncoding(bytes);
  if (encoding.empty()) encoding = DeclaredEncoding(bytes);
  return encoding.empty() ? PlainTextToUtf8(bytes) : ConvertToUtf8(bytes, encoding);
}

}  // namespace v7
