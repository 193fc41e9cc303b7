// The MD5 digest (see uMD5.h); the digest itself comes from libcrypto.
#include "uMD5.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace v7 {

TMD5Digest TMD5::MD5String(const std::string& text) const {
  // libcrypto wipes the working context when it is freed.
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  TMD5Digest digest{};
  unsigned int size = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), text.data(), text.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1 || size != digest.size()) {
    throw std::runtime_error("MD5 digest unavailable from libcrypto");
  }
  return digest;
}

std::string TMD5::MD5Print(const TMD5Digest& digest) const {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(32);
  for (std::uint8_t b : digest) {
    text += kHex[b >> 4];
    text += kHex[b & 0x0f];
  }
  return text;
}

}  // namespace v7
