#pragma once
// In-place random shuffling of lists, with a replaceable source of random numbers.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace tovrin {

/// Uniformly distributed random integers.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  /// A uniformly distributed value in [0, bound). A bound of 0 or 1 gives 0.
  virtual std::uint32_t uniform(std::uint32_t bound) = 0;
};

/// The shared default source: seeded from OpenSSL's cryptographic generator, unbiased (rejection
/// sampling), safe to call from any number of threads at once (each thread has its own state).
RandomSource& defaultRandomSource();

namespace detail {
/// Logs that a list is too long to shuffle, or that `source` drew a value outside its bound.
void logShuffleRefused(std::size_t size);
void logShuffleBadDraw(std::uint32_t value, std::uint32_t bound);
}  // namespace detail

/// Shuffles `list` in place (forward Fisher-Yates) and returns it: for i = 0 .. n-2, swaps
/// element i with element i + source.uniform(n - i), so exactly n-1 values are drawn with bounds
/// n, n-1, ..., 2 and every order is equally likely. Lists of 0 or 1 elements draw nothing.
/// A list with more than 2^32-1 elements is left unchanged, with a log line. A draw outside its
/// bound (a faulty source) stops the shuffle there, with a log line; the list stays a permutation.
template <class T>
std::vector<T>& shuffle(std::vector<T>& list, RandomSource& source = defaultRandomSource()) {
  const std::size_t n = list.size();
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    detail::logShuffleRefused(n);
    return list;
  }
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const auto bound = static_cast<std::uint32_t>(n - i);
    const std::uint32_t r = source.uniform(bound);
    if (r >= bound) {
      detail::logShuffleBadDraw(r, bound);
      break;
    }
    using std::swap;
    swap(list[i], list[i + r]);
  }
  return list;
}

}  // namespace tovrin
