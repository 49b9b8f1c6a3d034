// The soak's own random source: splitmix64, so a seed gives the same run on every platform and
// standard library (std:: distributions are not specified bit for bit).
#pragma once

#include <cstdint>
#include <vector>

namespace soak {

class SoakRandom {
  public:
    explicit SoakRandom(uint64_t seed) : state_(seed) {}

    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [lo, hi]; the modulo bias is negligible for the small ranges used here.
    uint32_t between(uint32_t lo, uint32_t hi) {
        return lo + static_cast<uint32_t>(next() % (static_cast<uint64_t>(hi) - lo + 1));
    }
    bool percent(uint32_t p) { return between(1, 100) <= p; }
    template <typename T>
    const T &pick(const std::vector<T> &items) {
        return items[between(0, static_cast<uint32_t>(items.size() - 1))];
    }
    std::vector<uint8_t> bytes(size_t n) {
        std::vector<uint8_t> out(n);
        for (size_t i = 0; i < n; i += 8) {
            const uint64_t v = next();
            for (size_t j = i; j < n && j < i + 8; j++) {
                out[j] = static_cast<uint8_t>(v >> (8 * (j - i)));
            }
        }
        return out;
    }

  private:
    uint64_t state_;
};

}  // namespace soak
