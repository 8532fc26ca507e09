#include "TovrinTracker/Shuffle.hpp"

#include <openssl/rand.h>

#include <array>
#include <random>
#include <string>

#include "TovrinTracker/Log.hpp"

namespace tovrin {
namespace {

// A per-thread Mersenne Twister seeded with 256 bits from OpenSSL's generator (or from
// std::random_device should OpenSSL fail), so threads never share or lock state.
std::mt19937& threadEngine() {
  thread_local std::mt19937 engine = [] {
    std::array<std::uint32_t, 8> seed{};
    if (RAND_bytes(reinterpret_cast<unsigned char*>(seed.data()), static_cast<int>(sizeof(seed))) !=
        1) {
      log("OpenSSL random generator unavailable; seeding shuffles from std::random_device");
      std::random_device device;
      for (auto& word : seed)
        word = device();
    }
    std::seed_seq sequence(seed.begin(), seed.end());
    return std::mt19937(sequence);
  }();
  return engine;
}

class DefaultRandomSource final : public RandomSource {
 public:
  std::uint32_t uniform(std::uint32_t bound) override {
    if (bound <= 1)
      return 0;
    // Values below `threshold` would make the low results more likely; draw again on them.
    // 2^32 mod bound, computed in 32 bits as (2^32 - bound) mod bound.
    const std::uint32_t threshold = (0U - bound) % bound;
    std::mt19937& engine = threadEngine();
    for (;;) {
      const auto value = static_cast<std::uint32_t>(engine());
      if (value >= threshold)
        return value % bound;
    }
  }
};

}  // namespace

RandomSource& defaultRandomSource() {
  static DefaultRandomSource source;
  return source;
}

namespace detail {

void logShuffleRefused(std::size_t size) {
  log("shuffle: a list of " + std::to_string(size) +
      " elements is longer than 2^32-1 and is left unchanged");
}

void logShuffleBadDraw(std::uint32_t value, std::uint32_t bound) {
  log("shuffle: the random source returned " + std::to_string(value) + " for a bound of " +
      std::to_string(bound) + "; shuffling stopped");
}

}  // namespace detail
}  // namespace tovrin
