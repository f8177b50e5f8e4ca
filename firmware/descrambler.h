// The key stream that scrambles the embedded images: XOR with the output of a
// linear congruential generator, the same operation both ways.
#pragma once

#include <cstdint>
#include <span>

namespace qdp {

inline constexpr std::uint32_t kImageSeed = 24681;

// Seeds the generator (one advance, its output unused) and XORs each byte with the
// low 8 bits of the next output.
void ApplyKeyStream(std::span<std::uint8_t> bytes);

} // namespace qdp
