#pragma once

#include <cstdint>

namespace qdp {

// The most one I2C transfer carries, in either direction.
inline constexpr std::uint8_t kMaxI2CTransfer = 64;

} // namespace qdp
