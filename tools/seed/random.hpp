#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

namespace seed {

// One splitmix64 step. Also used as a hash that derives independent streams from a seed and a
// purpose, so that a zone's content depends only on the seed and the zone's place in the lattice.
constexpr std::uint64_t splitmix64(std::uint64_t& state) noexcept {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

constexpr std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t state = a ^ (b * 0xD1B54A32D192ED03ULL);
    return splitmix64(state);
}

constexpr std::uint64_t mix(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
    return mix(mix(a, b), c);
}

// xoshiro256**. The standard distributions are implementation-defined, so every draw is made
// here to keep the data identical for the same seed on any standard library.
class Random {
  public:
    explicit Random(std::uint64_t seed) noexcept {
        for (auto& word : state_)
            word = splitmix64(seed);
    }

    std::uint64_t next() noexcept {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // In [0, 1), from the top 53 bits.
    double uniform() noexcept { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) noexcept { return lo + (hi - lo) * uniform(); }
    bool chance(double p) noexcept { return uniform() < p; }

    // In [0, n); n > 0.
    std::uint32_t below(std::uint32_t n) noexcept {
        return static_cast<std::uint32_t>((next() >> 32) * n >> 32);
    }

    // In [lo, hi].
    int between(int lo, int hi) noexcept {
        return lo + static_cast<int>(below(static_cast<std::uint32_t>(hi - lo + 1)));
    }

    // An index drawn with probability proportional to its weight.
    std::size_t weighted(std::span<const double> weights) noexcept {
        double total = 0;
        for (double w : weights)
            total += w;
        double point = uniform() * total;
        for (std::size_t i = 0; i + 1 < weights.size(); ++i) {
            if (point < weights[i])
                return i;
            point -= weights[i];
        }
        return weights.size() - 1;
    }
    std::size_t weighted(std::initializer_list<double> weights) noexcept {
        return weighted(std::span<const double>(weights.begin(), weights.size()));
    }

    template <typename T>
    const T& pick(std::span<const T> items) noexcept {
        return items[below(static_cast<std::uint32_t>(items.size()))];
    }

  private:
    static constexpr std::uint64_t rotl(std::uint64_t x, int k) noexcept {
        return (x << k) | (x >> (64 - k));
    }
    std::uint64_t state_[4];
};

}  // namespace seed
