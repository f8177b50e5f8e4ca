#include "firmware/descrambler.h"

namespace qdp {
namespace {

inline constexpr std::uint32_t kMultiplier = 22695477; // 0x015A4E35
inline constexpr std::uint32_t kIncrement = 1;

struct Generator {
    std::uint32_t state;

    std::uint32_t Advance() {
        state = state * kMultiplier + kIncrement; // modulo 2^32
        return (state >> 16) & 0x7FFF;
    }
};

Generator Seeded(std::uint32_t seed) {
    Generator generator{seed};
    generator.Advance();
    return generator;
}

} // namespace

void ApplyKeyStream(std::span<std::uint8_t> bytes) {
    Generator generator = Seeded(kImageSeed);
    for (std::uint8_t& byte : bytes) {
        byte ^= static_cast<std::uint8_t>(generator.Advance());
    }
}

} // namespace qdp
