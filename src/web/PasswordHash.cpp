#include "web/PasswordHash.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace {
constexpr const char* kSalt = "PelmoTrazinBockwuhf";
}

std::string PasswordHash(const std::string& iPassword) {
  const std::string input = std::string(kSalt) + iPassword;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), input.data(), input.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
    throw std::runtime_error("MD5 digest failed");
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    result += kHex[digest[i] >> 4];
    result += kHex[digest[i] & 15];
  }
  return result;
}
