// Encodes arbitrary bytes, compares the text with OpenSSL's EVP_EncodeBlock, and decodes it back
// through every decoding entry point (and OpenSSL's EVP_DecodeBlock). Aborts on any mismatch.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TovrinTracker/Log.hpp"
#include "TovrinTracker/MF_Base64Codec.hpp"

namespace {

void check(bool condition) {
  if (!condition)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    tovrin::setLogSink([](std::string_view) {});
    return true;
  }();
  (void)quiet;
  if (size > (1U << 24))
    return 0;  // keeps OpenSSL's int lengths in range

  const tovrin::Bytes bytes(data, data + size);
  const auto text = tovrin::MF_Base64Codec::base64StringFromData(bytes);
  check(text.has_value());

  std::string expected((size + 2) / 3 * 4 + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()), data,
                                     static_cast<int>(size));
  expected.resize(static_cast<std::size_t>(length));
  check(*text == expected);

  tovrin::Bytes openssl(text->size() / 4 * 3);
  check(EVP_DecodeBlock(openssl.data(), reinterpret_cast<const unsigned char*>(text->data()),
                        static_cast<int>(text->size())) == static_cast<int>(openssl.size()));
  openssl.resize(size);  // EVP_DecodeBlock counts padding as zero bytes
  check(openssl == bytes);

  check(tovrin::MF_Base64Codec::dataFromBase64String(*text) == bytes);
  check(tovrin::dataWithBase64UrlEncodedString(tovrin::base64UrlEncodedString(bytes)) == bytes);

  // The text overload encodes the same bytes; valid UTF-8 text comes back as it went in.
  const std::string_view asText(reinterpret_cast<const char*>(data), size);
  check(tovrin::base64String(asText) == *text);
  if (const auto back =
          tovrin::stringFromBase64UrlEncodedString(tovrin::base64UrlEncodedString(asText))) {
    check(*back == asText);
  }
  return 0;
}
