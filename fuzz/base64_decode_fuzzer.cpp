// Feeds arbitrary bytes to the lenient Base64 decoder and its URL-safe and text variants, and
// checks the decoder against its rules written out byte by byte. Aborts on any disagreement.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "TovrinTracker/Log.hpp"
#include "TovrinTracker/MF_Base64Codec.hpp"

namespace {

using tovrin::Bytes;
using tovrin::MF_Base64Codec;

void check(bool condition) {
  if (!condition)
    std::abort();
}

int valueOf(char c) {
  const std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t index = alphabet.find(c);
  return index == std::string_view::npos ? -1 : static_cast<int>(index);
}

// Non-ASCII text is empty; otherwise alphabet characters, in groups of four, make three bytes,
// a trailing group of three or two makes two or one, and everything else is ignored.
Bytes referenceDecode(std::string_view text) {
  Bytes out;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80)
      return out;
  }
  unsigned group[4] = {};
  int count = 0;
  for (const char c : text) {
    const int value = valueOf(c);
    if (value < 0)
      continue;
    group[count++] = static_cast<unsigned>(value);
    if (count == 4) {
      out.push_back(static_cast<std::uint8_t>((group[0] << 2) | (group[1] >> 4)));
      out.push_back(static_cast<std::uint8_t>((group[1] << 4) | (group[2] >> 2)));
      out.push_back(static_cast<std::uint8_t>((group[2] << 6) | group[3]));
      count = 0;
    }
  }
  if (count >= 2)
    out.push_back(static_cast<std::uint8_t>((group[0] << 2) | (group[1] >> 4)));
  if (count == 3)
    out.push_back(static_cast<std::uint8_t>((group[1] << 4) | (group[2] >> 2)));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The decoder logs about non-ASCII and non-UTF-8 input; keep the fuzzer's output readable.
  static const bool quiet = [] {
    tovrin::setLogSink([](std::string_view) {});
    return true;
  }();
  (void)quiet;

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto decoded = MF_Base64Codec::dataFromBase64String(text);
  check(decoded.has_value());
  check(*decoded == referenceDecode(text));
  check(decoded->size() <= (size + 3) / 4 * 3);
  check(tovrin::dataWithBase64String(text) == decoded);
  // Whatever was decoded survives another encode and decode unchanged.
  check(tovrin::dataWithBase64String(tovrin::base64String(*decoded)) == decoded);

  const std::string url = MF_Base64Codec::base64UrlEncodedStringFromBase64String(text);
  check(url.find_first_of("=+/") == std::string::npos);
  const std::string standard = MF_Base64Codec::base64StringFromBase64UrlEncodedString(text);
  check(standard.find_first_of("-_") == std::string::npos);
  check(standard.size() % 4 <= 1);
  check(tovrin::dataWithBase64UrlEncodedString(text) == referenceDecode(standard));

  if (const auto string = tovrin::stringFromBase64String(text)) {
    check(Bytes(string->begin(), string->end()) == *decoded);
  }
  if (const auto string = tovrin::stringFromBase64UrlEncodedString(text)) {
    check(Bytes(string->begin(), string->end()) == referenceDecode(standard));
  }
  return 0;
}
