// Counter-based random numbers: every row, frame and scene object draws from
// its own generator seeded by mixing indices, so results never depend on how
// rows are spread over threads.
#pragma once

#include <cmath>
#include <cstdint>

namespace synth {
namespace detail {

inline std::uint64_t splitmix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

inline std::uint64_t mixSeed(std::uint64_t seed, std::uint64_t a, std::uint64_t b = 0) {
  return splitmix(splitmix(splitmix(seed) ^ (a * 0xD6E8FEB86659FD93ull)) ^ (b + 0x632BE59BD9B4E019ull));
}

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(splitmix(seed)) {}
  std::uint64_t next() { return state_ = splitmix(state_); }
  // [0, 1) with 53 bits.
  double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
  double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  // Box-Muller; two deviates per pair of draws, so consumption never depends on values.
  double normal() {
    if (hasSpare_) {
      hasSpare_ = false;
      return spare_;
    }
    const double u1 = 1.0 - uniform();  // (0, 1]
    const double u2 = uniform();
    const double r = std::sqrt(-2.0 * std::log(u1));
    spare_ = r * std::sin(6.283185307179586 * u2);
    hasSpare_ = true;
    return r * std::cos(6.283185307179586 * u2);
  }
  int below(int n) { return static_cast<int>(uniform() * n); }

 private:
  std::uint64_t state_;
  double spare_ = 0.0;
  bool hasSpare_ = false;
};

}  // namespace detail
}  // namespace synth
