#pragma once

#include <cstdint>

namespace qdp {

inline constexpr std::uint32_t kPreservedBytes = 0x4000000; // the first 64 MiB
inline constexpr std::uint8_t kMaxBlocksPerErase = 64;

// Erases the recorder's flash beyond its first 64 MiB from the cached geometry, one
// "." per erase command, then "OK\n". False, with nothing sent or printed, when the
// geometry is unusable.
[[nodiscard]] bool EraseMemory();

} // namespace qdp
