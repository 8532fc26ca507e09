// Base64 throughput of the library's codec next to OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock
// on the same inputs. Both sides produce a freshly allocated result (a std::string when encoding,
// tovrin::Bytes when decoding), so allocation costs are counted alike. Bytes processed are the
// raw data bytes when encoding and the Base64 characters when decoding.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>

#include "TovrinTracker/MF_Base64Codec.hpp"

namespace {

tovrin::Bytes randomBytes(std::size_t size) {
  std::mt19937 engine(20261208);
  tovrin::Bytes data(size);
  for (auto& byte : data)
    byte = static_cast<std::uint8_t>(engine());
  return data;
}

std::string encodedText(std::size_t size) {
  return tovrin::MF_Base64Codec::base64StringFromData(randomBytes(size)).value();
}

void EncodeTovrin(benchmark::State& state) {
  const tovrin::Bytes data = randomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto text = tovrin::MF_Base64Codec::base64StringFromData(data);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void EncodeOpenSSL(benchmark::State& state) {
  const tovrin::Bytes data = randomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    // EVP_EncodeBlock writes a terminating NUL after the text.
    std::string text((data.size() + 2) / 3 * 4 + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data.data(),
                                       static_cast<int>(data.size()));
    text.resize(static_cast<std::size_t>(length));
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void DecodeTovrin(benchmark::State& state) {
  const std::string text = encodedText(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto data = tovrin::MF_Base64Codec::dataFromBase64String(text);
    benchmark::DoNotOptimize(data);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void DecodeOpenSSL(benchmark::State& state) {
  const std::string text = encodedText(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    tovrin::Bytes data(text.size() / 4 * 3);
    const int length =
        EVP_DecodeBlock(data.data(), reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
    // EVP_DecodeBlock counts padding as zero bytes; drop them as the codec does.
    std::size_t size = static_cast<std::size_t>(length);
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i)
      --size;
    data.resize(size);
    benchmark::DoNotOptimize(data);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The same text broken into MIME lines of 76 characters; OpenSSL's block decoder rejects it, so
// this shows the cost of the codec's byte-wise walk over line breaks on its own.
void DecodeTovrinLines(benchmark::State& state) {
  const std::string plain = encodedText(static_cast<std::size_t>(state.range(0)));
  std::string text;
  for (std::size_t i = 0; i < plain.size(); i += 76)
    text += plain.substr(i, 76) + "\r\n";
  for (auto _ : state) {
    auto data = tovrin::MF_Base64Codec::dataFromBase64String(text);
    benchmark::DoNotOptimize(data);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

constexpr std::int64_t kKiB = 1024;
constexpr std::int64_t kMiB = kKiB * kKiB;

}  // namespace

BENCHMARK(EncodeTovrin)->Arg(kKiB)->Arg(kMiB);
BENCHMARK(EncodeOpenSSL)->Arg(kKiB)->Arg(kMiB);
BENCHMARK(DecodeTovrin)->Arg(kKiB)->Arg(kMiB);
BENCHMARK(DecodeOpenSSL)->Arg(kKiB)->Arg(kMiB);
BENCHMARK(DecodeTovrinLines)->Arg(kKiB)->Arg(kMiB);
