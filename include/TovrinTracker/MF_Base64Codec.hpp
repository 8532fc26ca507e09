#pragma once
// Base64 (RFC 4648, standard and URL-safe alphabets) for byte data and UTF-8 text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovrin {

/// Raw byte data, as the codec reads and writes it.
using Bytes = std::vector<std::uint8_t>;

/// Stateless Base64 codec. Every function is static and thread-safe.
class MF_Base64Codec {
 public:
  MF_Base64Codec() = delete;

  /// Standard Base64 with "=" padding and no line breaks; empty data gives "". None only when the
  /// result would be too large to hold or memory runs out (the latter logs a line).
  static std::optional<std::string> base64StringFromData(const Bytes& data);

  /// Lenient decoding: every byte outside the standard alphabet ("=", whitespace, "-", "_", ...)
  /// is skipped; a trailing group of 3 or 2 characters yields 2 or 1 bytes, a lone one is dropped.
  /// Text holding any byte >= 0x80 decodes to empty data (with a log line). None only on size
  /// limits or when memory runs out.
  static std::optional<Bytes> dataFromBase64String(std::string_view text);

  /// Standard to URL-safe form: drops every "=", then "+" becomes "-" and "/" becomes "_".
  static std::string base64UrlEncodedStringFromBase64String(std::string_view base64);

  /// URL-safe to standard form: "-" becomes "+", "_" becomes "/", then "==" or "=" is appended
  /// when the length modulo 4 is 2 or 3 (lengths with remainder 0 or 1 are left as they are).
  static std::string base64StringFromBase64UrlEncodedString(std::string_view base64Url);
};

/// The Base64 form of the UTF-8 bytes of `text` ("" when it cannot be produced).
std::string base64String(std::string_view text);
/// The Base64 form of `data` ("" when it cannot be produced).
std::string base64String(const Bytes& data);

/// The URL-safe Base64 form (no padding) of the UTF-8 bytes of `text`.
std::string base64UrlEncodedString(std::string_view text);
/// The URL-safe Base64 form (no padding) of `data`.
std::string base64UrlEncodedString(const Bytes& data);

/// Decodes leniently, as dataFromBase64String; none unless the bytes are valid UTF-8.
std::optional<std::string> stringFromBase64String(std::string_view base64);
/// Converts URL-safe text to the standard form, then as stringFromBase64String.
std::optional<std::string> stringFromBase64UrlEncodedString(std::string_view base64Url);

/// Same as MF_Base64Codec::dataFromBase64String.
std::optional<Bytes> dataWithBase64String(std::string_view base64);
/// Converts URL-safe text to the standard form, then decodes it.
std::optional<Bytes> dataWithBase64UrlEncodedString(std::string_view base64Url);

}  // namespace tovrin
