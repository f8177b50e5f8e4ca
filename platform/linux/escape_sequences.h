// Terminal escape sequences for special keys (xterm, VT220 and the Linux console),
// decoded to the extended codes of the PC console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qdp::os::linux_keys {

inline constexpr std::uint8_t kEscape = 0x1B;

// True when `bytes` (starting with Esc) cannot grow into a longer sequence.
bool SequenceComplete(std::span<const std::uint8_t> bytes);

struct Decoded {
    enum class Kind { Escape, Special, Unknown } kind;
    std::uint8_t code;    // the extended code, for Special
    std::size_t consumed; // bytes taken; for Escape only the Esc itself
};

// Decodes a sequence that starts with Esc: a known special key, an unknown
// sequence (dropped whole), or a lone Esc followed by unrelated bytes.
Decoded DecodeSequence(std::span<const std::uint8_t> bytes);

} // namespace qdp::os::linux_keys
