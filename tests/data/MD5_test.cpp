// The MD5 digest against RFC 1321 vectors, the padding boundaries and raw bytes.
#include <gtest/gtest.h>

#include "uMD5.h"

using namespace v7;

namespace {
std::string Md5(const std::string& text) {
  TMD5 md5;
  return md5.MD5Print(md5.MD5String(text));
}
}  // namespace

TEST(MD5, DigestsOfTheRfcAtThePaddingBoundariesAndOfRawBytes) {
  EXPECT_EQ(Md5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(Md5(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(Md5(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
  EXPECT_EQ(Md5(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");
  EXPECT_EQ(Md5(std::string("\xff\x00\xe9", 3)), "9054d9639c27a3e1cdf01061c697ac98");
}
