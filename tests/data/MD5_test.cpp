// The MD5 digest against the RFC 1321 test suite and at the padding boundaries.
#include <gtest/gtest.h>

#include "uMD5.h"

using namespace v7;

namespace {
std::string Md5(const std::string& text) {
  TMD5 md5;
  return md5.MD5Print(md5.MD5String(text));
}
}  // namespace

TEST(MD5, Rfc1321Suite) {
  EXPECT_EQ(Md5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5("1234567890123456789012345678901234567890"
                "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(MD5, PaddingBoundaries) {
  // Digests of 55, 56, 63, 64 and 65 times "a", from an independent implementation.
  EXPECT_EQ(Md5(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(Md5(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(Md5(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
  EXPECT_EQ(Md5(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
  EXPECT_EQ(Md5(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");
}

TEST(MD5, BytesAsHeldIncludingZeroAndHighBytes) {
  EXPECT_EQ(Md5(std::string("\xff\x00\xe9", 3)), "9054d9639c27a3e1cdf01061c697ac98");
  TMD5Digest all{};
  for (int i = 0; i < 16; ++i) all[i] = static_cast<std::uint8_t>(i * 17);
  EXPECT_EQ(TMD5().MD5Print(all), "00112233445566778899aabbccddeeff");
}
