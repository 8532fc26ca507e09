#include "TovrinTracker/MD5.hpp"

#include <openssl/evp.h>

#include <memory>

#include "TovrinTracker/Log.hpp"

namespace tovrin {

std::string MD5String(std::string_view text) {
  // The digest covers the text as a C string would see it: up to the first NUL.
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos)
    text = text.substr(0, nul);

  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), text.data(), text.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1 || digestLength != 16) {
    log("MD5 digest is unavailable from OpenSSL; returning an empty digest string");
    return {};
  }

  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string hex(std::size_t{2} * digestLength, '0');
  for (std::size_t i = 0; i < digestLength; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace tovrin
