// Text that arrives from other sites (packet XML, patch files) or from an editor (the settings
// files) turned into UTF-8, the one encoding of every text of the system, before any of it is
// used. Conversion is glibc's iconv; text that is not valid in its encoding is refused, never
// stored.
#pragma once

#include <stdexcept>
#include <string>

namespace v7 {

// Text that cannot be read in its encoding; the message names the encoding and the byte
// offset of the first bad byte ("Invalid windows-1252 text at byte offset 12").
class ETextEncodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The code page of the product's Windows programs: what a text that declares no encoding
// and is not valid UTF-8 is read as.
inline constexpr char kWindowsCodePage[] = "windows-1252";

// bytes, in the encoding named, as UTF-8. Raises ETextEncodingError for an encoding that
// iconv does not know and for text that is not valid in it.
std::string ConvertToUtf8(const std::string& bytes, const std::string& encoding);

// A text without a declared encoding (a patch file, a settings file, a packet without a
// declaration): read in the encoding that its byte order mark names (UTF-16 or UTF-32, as
// Windows editors save "Unicode" text); without one, UTF-8 when it is valid UTF-8 (a UTF-8
// byte order mark is dropped), else read as kWindowsCodePage. Raises ETextEncodingError when
// it is neither, for NUL bytes without a byte order mark (UTF-16 saved without its mark), and
// for a text holding both UTF-8 characters beyond ASCII and bytes that are not UTF-8, naming
// the offset of the first bad byte: read as kWindowsCodePage its UTF-8 characters would turn
// into others ("café" into "cafÃ©") and be stored, or written back, as if they were meant.
std::string PlainTextToUtf8(const std::string& bytes);

// A settings file: as PlainTextToUtf8.
std::string SettingsTextToUtf8(const std::string& bytes);

// The bytes of an XML document as UTF-8, read in the encoding that its byte order mark or
// its declaration (<?xml ... encoding="..."?>) gives. Without either, as PlainTextToUtf8.
// The declaration is left as it stands: the caller parses the result as UTF-8.
std::string XmlToUtf8(const std::string& bytes);

}  // namespace v7
