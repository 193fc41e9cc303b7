// The MD5 message digest (RFC 1321) of a text's bytes, as the expression language's
// convertmd5 shows it: 32 lower-case hexadecimal digits.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace v7 {

using TMD5Digest = std::array<std::uint8_t, 16>;

class TMD5 {
 public:
  // The digest of the text's bytes as held, no encoding applied, no terminator.
  TMD5Digest MD5String(const std::string& text) const;
  // Each byte as two lower-case hexadecimal digits, high four bits first.
  std::string MD5Print(const TMD5Digest& digest) const;
};

}  // namespace v7
