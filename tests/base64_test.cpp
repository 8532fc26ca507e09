#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <type_traits>

#include "TovrinTracker/MF_Base64Codec.hpp"
#include "support/TestSupport.hpp"

namespace {

using tovrin::Bytes;
using tovrin::MF_Base64Codec;

Bytes bytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

std::string encode(const Bytes& data) {
  return MF_Base64Codec::base64StringFromData(data).value();
}
Bytes decode(std::string_view text) {
  return MF_Base64Codec::dataFromBase64String(text).value();
}

Bytes randomBytes(std::mt19937& engine, std::size_t size) {
  Bytes data(size);
  for (auto& byte : data)
    byte = static_cast<std::uint8_t>(engine());
  return data;
}

// The decoding rules written as plainly as possible, to check the optimised decoder against.
Bytes referenceDecode(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80)
      return {};
  }
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<unsigned> values;
  for (const char c : text) {
    if (c != '=' && alphabet.find(c) != std::string::npos)
      values.push_back(alphabet.find(c));
  }
  Bytes out;
  for (std::size_t i = 0; i + 1 < values.size(); i += 4) {
    const unsigned s0 = values[i], s1 = values[i + 1];
    out.push_back(static_cast<std::uint8_t>((s0 << 2) | (s1 >> 4)));
    if (i + 2 >= values.size())
      break;
    const unsigned s2 = values[i + 2];
    out.push_back(static_cast<std::uint8_t>((s1 << 4) | (s2 >> 2)));
    if (i + 3 >= values.size())
      break;
    out.push_back(static_cast<std::uint8_t>((s2 << 6) | values[i + 3]));
  }
  return out;
}

}  // namespace

TEST(Base64Codec, Rfc4648VectorsEncodeAndDecode) {
  const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, base64] : vectors) {
    EXPECT_EQ(encode(bytes(plain)), base64) << plain;
    EXPECT_EQ(decode(base64), bytes(plain)) << base64;
  }
  // Padding by length mod 3 (1, 2, 0), past the codec's unrolled part.
  EXPECT_EQ(encode(bytes("0123456789abcd")), "MDEyMzQ1Njc4OWFiY2Q=");
  EXPECT_EQ(encode(bytes("0123456789abcde")), "MDEyMzQ1Njc4OWFiY2Rl");
  EXPECT_EQ(encode(bytes("0123456789abc")), "MDEyMzQ1Njc4OWFiYw==");
}

TEST(Base64Codec, DecodingSkipsEverythingOutsideTheAlphabet) {
  EXPECT_EQ(decode("Zm9v\r\nYmFy"), bytes("foobar"));
  EXPECT_EQ(decode(" Zm9 vY\tmFy \n"), bytes("foobar"));
  EXPECT_EQ(decode("Zm9vYg"), bytes("foob"));  // padding is optional
  EXPECT_EQ(decode("Zm9vYg=="), bytes("foob"));
  EXPECT_EQ(decode("Zm=9v=YmF=y"), bytes("foobar"));  // "=" counts nowhere
  EXPECT_EQ(decode("Zm9v.YmFy!"), bytes("foobar"));
  // A lone trailing character is dropped; 2 and 3 give 1 and 2 bytes; spare low bits ignored.
  EXPECT_EQ(decode("Zm9vY"), bytes("foo"));
  EXPECT_EQ(decode("Zm9vYm"), bytes("foob"));
  EXPECT_EQ(decode("Zm9vYmE"), bytes("fooba"));
  EXPECT_EQ(decode("Zh"), bytes("f"));
  EXPECT_EQ(decode(""), Bytes{});
  EXPECT_EQ(decode("==\n "), Bytes{});
}

TEST(Base64Codec, OneNonAsciiByteAnywhereGivesEmptyData) {
  for (const std::string text : {"\xC3\xA9Zm9vYmFy", "Zm9v\xC3\xA9YmFy", "Zm9vYmFy\xFF"}) {
    tovrin::test::LogCapture logs;
    const auto data = MF_Base64Codec::dataFromBase64String(text);
    ASSERT_TRUE(data.has_value()) << text;
    EXPECT_TRUE(data->empty()) << text;
    EXPECT_EQ(logs.count("outside ASCII"), 1U);
  }
}

TEST(Base64Codec, UrlSafeForms) {
  // 0xFB 0xFF 0xBF 0xFE 0x3F uses both "+" and "/" in the standard alphabet.
  const Bytes data{0xFB, 0xFF, 0xBF, 0xFE, 0x3F};
  EXPECT_EQ(tovrin::base64String(data), "+/+//j8=");
  EXPECT_EQ(tovrin::base64UrlEncodedString(data), "-_-__j8");
  EXPECT_EQ(MF_Base64Codec::base64UrlEncodedStringFromBase64String("+/+//j8="), "-_-__j8");
  EXPECT_EQ(MF_Base64Codec::base64StringFromBase64UrlEncodedString("-_-__j8"), "+/+//j8=");
  EXPECT_EQ(MF_Base64Codec::base64StringFromBase64UrlEncodedString("Zm9vYg"), "Zm9vYg==");
  EXPECT_EQ(MF_Base64Codec::base64StringFromBase64UrlEncodedString("Zm9vYmFy"), "Zm9vYmFy");
  EXPECT_EQ(MF_Base64Codec::base64StringFromBase64UrlEncodedString("Zm9vY"), "Zm9vY");
  EXPECT_EQ(MF_Base64Codec::base64StringFromBase64UrlEncodedString("Zm9vYg="), "Zm9vYg==");
  // The plain decoder skips "-" and "_" (only "j8" is left: one byte); the URL decoder maps them.
  EXPECT_EQ(decode("-_-__j8"), Bytes{0x8F});
  EXPECT_EQ(tovrin::dataWithBase64UrlEncodedString("-_-__j8"), data);
  EXPECT_EQ(tovrin::dataWithBase64String("+/+//j8="), data);
}

TEST(Base64Text, LiteralsAreTextAndDecodingRequiresUtf8) {
  static_assert(std::is_same_v<decltype(tovrin::base64String("abc")), std::string>);
  EXPECT_EQ(tovrin::base64String("abc"), "YWJj");
  EXPECT_EQ(tovrin::base64String(std::string("user:pass")), "dXNlcjpwYXNz");
  EXPECT_EQ(tovrin::base64String(""), "");
  EXPECT_EQ(tovrin::base64UrlEncodedString("~~~"), "fn5-");
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F"
      "e, \xE4\xB8\x96\xE7\x95\x8C \xF0\x9F\x98\x80";
  EXPECT_EQ(tovrin::base64String(text), "R3LDvMOfZSwg5LiW55WMIPCfmIA=");
  EXPECT_EQ(tovrin::stringFromBase64String("R3LDvMOfZSwg5LiW55WMIPCfmIA="), text);
  EXPECT_EQ(tovrin::stringFromBase64UrlEncodedString("fn5-"), "~~~");
  EXPECT_EQ(tovrin::stringFromBase64String(""), "");

  // Decoded bytes that are not UTF-8: a stray byte, overlong forms, a surrogate, a code point
  // above U+10FFFF, a cut-off sequence, a lone continuation byte.
  const Bytes invalid[] = {{0xFF},
                           {0xC0, 0x80},
                           {0xE0, 0x9F, 0xBF},
                           {0xF0, 0x8F, 0xBF, 0xBF},
                           {0xED, 0xA0, 0x80},
                           {0xF4, 0x90, 0x80, 0x80},
                           {0xE4, 0xB8},
                           {'a', 0x80}};
  tovrin::test::LogCapture logs;
  for (const Bytes& bad : invalid) {
    EXPECT_EQ(tovrin::stringFromBase64String(tovrin::base64String(bad)), std::nullopt);
    EXPECT_EQ(tovrin::stringFromBase64UrlEncodedString(tovrin::base64UrlEncodedString(bad)),
              std::nullopt);
  }
  EXPECT_EQ(logs.count("not decode to valid UTF-8"), 2 * std::size(invalid));
}

TEST(Base64Property, RoundTripsAndMatchesOpenSSL) {
  std::mt19937 engine(4648);
  for (std::size_t length = 0; length <= 300; ++length) {
    for (int round = 0; round < 10; ++round) {
      const Bytes data = randomBytes(engine, length);
      const std::string text = encode(data);
      std::string expected(4 * ((length + 2) / 3) + 1, '\0');
      expected.resize(static_cast<std::size_t>(
          EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()), data.data(),
                          static_cast<int>(length))));
      ASSERT_EQ(text, expected) << "length " << length;
      ASSERT_EQ(decode(text), data) << text;
      ASSERT_EQ(tovrin::dataWithBase64UrlEncodedString(tovrin::base64UrlEncodedString(data)), data);
    }
  }
}

TEST(Base64Property, DecoderAgreesWithPlainRulesOnNoisyText) {
  // Valid encodings with junk sprinkled in at random places, so that groups start at every
  // offset and the decoder's fast and byte-wise paths alternate; plus non-ASCII now and then.
  std::mt19937 engine(1321);
  const std::string junk = " \r\n\t=-_.*";
  tovrin::test::LogCapture quiet;
  for (int round = 0; round < 4000; ++round) {
    const Bytes data = randomBytes(engine, engine() % 120);
    std::string text = encode(data);
    const std::size_t insertions = engine() % 6;
    for (std::size_t k = 0; k < insertions; ++k) {
      text.insert(text.begin() + static_cast<std::ptrdiff_t>(engine() % (text.size() + 1)),
                  junk[engine() % junk.size()]);
    }
    if (round % 50 == 0 && !text.empty()) {
      text[engine() % text.size()] = '\x80';
      ASSERT_TRUE(decode(text).empty()) << text;
    } else {
      ASSERT_EQ(decode(text), data) << text;
    }
    ASSERT_EQ(decode(text), referenceDecode(text)) << text;
    // Random cuts give trailing groups of every length.
    const std::string_view cut(text.data(), engine() % (text.size() + 1));
    ASSERT_EQ(decode(cut), referenceDecode(cut)) << cut;
  }
}
