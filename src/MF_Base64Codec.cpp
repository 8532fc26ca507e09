#include "TovrinTracker/MF_Base64Codec.hpp"

#include <cstddef>
#include <cstring>
#include <exception>
#include <string>

#include "TovrinTracker/Log.hpp"

namespace tovrin {
namespace {

#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && \
    __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kLittleEndian = false;
#else
constexpr bool kLittleEndian = true;
#endif

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr char kEncodeFailure[] = "WARNING: error occured while tring to encode base 32 data: ";
constexpr char kDecodeFailure[] = "WARNING: error occured while decoding base 32 string: ";

// ---- Encoding --------------------------------------------------------------------------------

// The two output characters of every 12-bit value, so that three input bytes (24 bits) need two
// lookups instead of four.
struct PairTable {
  char pairs[4096][2];
};

constexpr PairTable makePairTable() {
  PairTable table{};
  for (int i = 0; i < 4096; ++i) {
    table.pairs[i][0] = kAlphabet[i >> 6];
    table.pairs[i][1] = kAlphabet[i & 0x3F];
  }
  return table;
}

constexpr PairTable kPairs = makePairTable();

// Length of the padded encoding of `size` bytes, written so that it cannot overflow for any size
// accepted by maxEncodableSize().
constexpr std::size_t encodedLength(std::size_t size) {
  return size / 3 * 4 + (size % 3 != 0 ? 4 : 0);
}

std::size_t maxEncodableSize() {
  return std::string{}.max_size() / 4 * 3;
}

inline std::uint32_t load24(const std::uint8_t* in) {
  return (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | std::uint32_t{in[2]};
}

inline void putQuad(std::uint32_t bits, char* out) {
  std::memcpy(out, kPairs.pairs[bits >> 12], 2);
  std::memcpy(out + 2, kPairs.pairs[bits & 0xFFF], 2);
}

// Six bytes as a 48-bit big-endian number. May read eight bytes: the caller guarantees two more
// readable bytes after the six.
inline std::uint64_t load48(const std::uint8_t* in) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::uint64_t bits = 0;
  std::memcpy(&bits, in, 8);
  return __builtin_bswap64(bits) >> 16;
#else
  std::uint64_t bits = 0;
  for (int i = 0; i < 6; ++i)
    bits = (bits << 8) | in[i];
  return bits;
#endif
}

// Eight characters for six bytes: four lookups in the pair table.
inline void putOctet(std::uint64_t bits, char* out) {
  std::memcpy(out, kPairs.pairs[(bits >> 36) & 0xFFF], 2);
  std::memcpy(out + 2, kPairs.pairs[(bits >> 24) & 0xFFF], 2);
  std::memcpy(out + 4, kPairs.pairs[(bits >> 12) & 0xFFF], 2);
  std::memcpy(out + 6, kPairs.pairs[bits & 0xFFF], 2);
}

// Writes exactly encodedLength(size) characters to `out`.
void encodeInto(const std::uint8_t* in, std::size_t size, char* out) {
  const std::uint8_t* const end = in + size;
  // Twelve bytes per round, read as two 8-byte words (hence the two bytes of lookahead).
  while (end - in >= 14) {
    putOctet(load48(in), out);
    putOctet(load48(in + 6), out + 8);
    in += 12;
    out += 16;
  }
  while (end - in >= 3) {
    putQuad(load24(in), out);
    in += 3;
    out += 4;
  }
  if (end - in == 2) {
    const std::uint32_t bits = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8);
    putQuad(bits, out);
    out[3] = '=';
  } else if (end - in == 1) {
    const std::uint32_t bits = std::uint32_t{in[0]} << 16;
    putQuad(bits, out);
    out[2] = '=';
    out[3] = '=';
  }
}

std::optional<std::string> encode(const std::uint8_t* data, std::size_t size) {
  if (size > maxEncodableSize())
    return std::nullopt;
  try {
    std::string text(encodedLength(size), '\0');
    encodeInto(data, size, text.data());
    return text;
  } catch (const std::exception& e) {
    log(std::string(kEncodeFailure) + e.what());
    return std::nullopt;
  }
}

// ---- Decoding --------------------------------------------------------------------------------

// A decoding table entry keeps the three data bytes of a group in its first three bytes in
// memory order, so a decoded group is stored with a single 4-byte write, and two flags in its
// fourth byte (zero for alphabet characters).
constexpr std::uint32_t kSkip = kLittleEndian ? 1U << 24 : 1U;      // ASCII outside the alphabet
constexpr std::uint32_t kNonAscii = kLittleEndian ? 1U << 25 : 2U;  // byte >= 0x80
constexpr std::uint32_t kFlags = kSkip | kNonAscii;

// Places a 24-bit group value (first byte in the high bits) in the entry's memory order.
constexpr std::uint32_t inMemoryOrder(std::uint32_t bits) {
  if (kLittleEndian) {
    return ((bits >> 16) & 0xFF) | (bits & 0xFF00) | ((bits & 0xFF) << 16);
  }
  return bits << 8;
}

// Plain character values for the byte-wise walk: 0..63, or one of these markers.
constexpr std::uint8_t kSkipValue = 0x40;
constexpr std::uint8_t kNonAsciiValue = 0x80;

// One table per position in a group of four: entry [k][c] holds the 6-bit value of `c` already
// shifted to its place in the group, so a whole group is four lookups OR-ed together, and one
// test of the OR-ed flags tells whether all four characters belong to the alphabet.
struct DecodeTables {
  std::uint32_t slot[4][256];
  std::uint8_t value[256];
};

constexpr int alphabetValue(int c) {
  if (c >= 'A' && c <= 'Z')
    return c - 'A';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 26;
  if (c >= '0' && c <= '9')
    return c - '0' + 52;
  if (c == '+')
    return 62;
  if (c == '/')
    return 63;
  return -1;
}

constexpr DecodeTables makeDecodeTables() {
  DecodeTables tables{};
  for (int c = 0; c < 256; ++c) {
    const int value = alphabetValue(c);
    for (int k = 0; k < 4; ++k) {
      if (c >= 0x80) {
        tables.slot[k][c] = kNonAscii;
      } else if (value < 0) {
        tables.slot[k][c] = kSkip;
      } else {
        tables.slot[k][c] = inMemoryOrder(static_cast<std::uint32_t>(value) << (18 - 6 * k));
      }
    }
    tables.value[c] = c >= 0x80   ? kNonAsciiValue
                      : value < 0 ? kSkipValue
                                  : static_cast<std::uint8_t>(value);
  }
  return tables;
}

constexpr DecodeTables kDecode = makeDecodeTables();

// Stores a group built from table entries: three data bytes plus one byte of scratch.
inline void put4(std::uint32_t entry, std::uint8_t* out) {
  std::memcpy(out, &entry, 4);
}

// Upper bound of the decoded size of `size` characters; cannot overflow.
constexpr std::size_t decodedCapacity(std::size_t size) {
  return size / 4 * 3 + (size % 4 != 0 ? 3 : 0);
}

constexpr std::size_t kNonAsciiText = static_cast<std::size_t>(-1);

// Decodes `size` characters into `out` in one pass and returns the number of bytes written, or
// kNonAsciiText when a byte >= 0x80 was met. `out` needs room for decodedCapacity(size) + 1
// bytes: the fast path's 4-byte stores write one byte past the decoded data.
std::size_t decodeInto(const std::uint8_t* in, std::size_t size, std::uint8_t* out) {
  const std::uint8_t* const end = in + size;
  const std::uint8_t* const start = out;
  const auto& t = kDecode.slot;
  std::uint32_t group = 0;  // values of the characters collected so far, 6 bits each
  int count = 0;            // characters in `group`
  for (;;) {
    if (count == 0) {
      // Fast path: whole groups of four alphabet characters, eight characters per round while
      // they last. Any other byte leaves the loop; the byte-wise walk below handles it.
      while (end - in >= 8) {
        const std::uint32_t a = t[0][in[0]] | t[1][in[1]] | t[2][in[2]] | t[3][in[3]];
        const std::uint32_t b = t[0][in[4]] | t[1][in[5]] | t[2][in[6]] | t[3][in[7]];
        if (((a | b) & kFlags) != 0)
          break;
        put4(a, out);
        put4(b, out + 3);
        in += 8;
        out += 6;
      }
      while (end - in >= 4) {
        const std::uint32_t a = t[0][in[0]] | t[1][in[1]] | t[2][in[2]] | t[3][in[3]];
        if ((a & kFlags) != 0)
          break;
        put4(a, out);
        in += 4;
        out += 3;
      }
    }
    if (in == end)
      break;
    // Lenient walk, one byte at a time, until the current group is complete again.
    const std::uint8_t value = kDecode.value[*in++];
    if (value >= kSkipValue) {
      if (value == kNonAsciiValue)
        return kNonAsciiText;
      continue;
    }
    group = (group << 6) | value;
    if (++count == 4) {
      *out++ = static_cast<std::uint8_t>(group >> 16);
      *out++ = static_cast<std::uint8_t>(group >> 8);
      *out++ = static_cast<std::uint8_t>(group);
      group = 0;
      count = 0;
    }
  }
  // A trailing group of three characters carries two bytes, of two characters one byte; a lone
  // character carries none. The low bits left over are ignored.
  if (count == 3) {
    group <<= 6;
    *out++ = static_cast<std::uint8_t>(group >> 16);
    *out++ = static_cast<std::uint8_t>(group >> 8);
  } else if (count == 2) {
    group <<= 12;
    *out++ = static_cast<std::uint8_t>(group >> 16);
  }
  return static_cast<std::size_t>(out - start);
}

// Decodes into a fresh Bytes or std::string, sized once to the upper bound and trimmed after.
template <class Container>
std::optional<Container> decode(std::string_view text) {
  if (text.empty())
    return Container{};
  const std::size_t capacity = decodedCapacity(text.size()) + 1;
  if (capacity > Container{}.max_size())
    return std::nullopt;
  try {
    Container out(capacity, 0);
    const std::size_t written =
        decodeInto(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                   reinterpret_cast<std::uint8_t*>(out.data()));
    if (written == kNonAsciiText) {
      log("Base64 text holds a byte outside ASCII; it decodes to empty data");
      out.clear();
    } else {
      out.resize(written);
    }
    return out;
  } catch (const std::exception& e) {
    log(std::string(kDecodeFailure) + e.what());
    return std::nullopt;
  }
}

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = s[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;  // allowed range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0)
        low = 0xA0;  // overlong below U+0800
      if (lead == 0xED)
        high = 0x9F;  // surrogates U+D800..U+DFFF
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0)
        low = 0x90;  // overlong below U+10000
      if (lead == 0xF4)
        high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < length)
      return false;
    if (s[i + 1] < low || s[i + 1] > high)
      return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (s[i + k] < 0x80 || s[i + k] > 0xBF)
        return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

std::optional<std::string> MF_Base64Codec::base64StringFromData(const Bytes& data) {
  return encode(data.data(), data.size());
}

std::optional<Bytes> MF_Base64Codec::dataFromBase64String(std::string_view text) {
  return decode<Bytes>(text);
}

std::string MF_Base64Codec::base64UrlEncodedStringFromBase64String(std::string_view base64) {
  std::string url;
  url.reserve(base64.size());
  for (const char c : base64) {
    if (c == '=')
      continue;
    url.push_back(c == '+' ? '-' : c == '/' ? '_' : c);
  }
  return url;
}

std::string MF_Base64Codec::base64StringFromBase64UrlEncodedString(std::string_view base64Url) {
  std::string base64(base64Url);
  for (char& c : base64) {
    if (c == '-') {
      c = '+';
    } else if (c == '_') {
      c = '/';
    }
  }
  const std::size_t remainder = base64.size() % 4;
  if (remainder == 2) {
    base64 += "==";
  } else if (remainder == 3) {
    base64 += '=';
  }
  return base64;
}

std::string base64String(std::string_view text) {
  return encode(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()).value_or("");
}

std::string base64String(const Bytes& data) {
  return encode(data.data(), data.size()).value_or("");
}

std::string base64UrlEncodedString(std::string_view text) {
  return MF_Base64Codec::base64UrlEncodedStringFromBase64String(base64String(text));
}

std::string base64UrlEncodedString(const Bytes& data) {
  return MF_Base64Codec::base64UrlEncodedStringFromBase64String(base64String(data));
}

std::optional<std::string> stringFromBase64String(std::string_view base64) {
  std::optional<std::string> text = decode<std::string>(base64);
  if (text && !isValidUtf8(*text)) {
    log("Base64 text does not decode to valid UTF-8");
    return std::nullopt;
  }
  return text;
}

std::optional<std::string> stringFromBase64UrlEncodedString(std::string_view base64Url) {
  return stringFromBase64String(MF_Base64Codec::base64StringFromBase64UrlEncodedString(base64Url));
}

std::optional<Bytes> dataWithBase64String(std::string_view base64) {
  return decode<Bytes>(base64);
}

std::optional<Bytes> dataWithBase64UrlEncodedString(std::string_view base64Url) {
  return decode<Bytes>(MF_Base64Codec::base64StringFromBase64UrlEncodedString(base64Url));
}

}  // namespace tovrin
