// Terminal input bytes decoded to the key codes of the PC console: characters, and
// the escape sequences of special keys (xterm, VT220 and the Linux console) as 0
// followed by their extended code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qdp::os::linux_keys {

// Decodes as many whole keys from the front of `bytes` as it can and appends their
// codes to `codes`. Returns the number of bytes used; the rest is the start of an
// escape sequence whose remaining bytes may still come. Once `settled` (no more
// bytes came in time), everything is used: a lone Esc is the Esc key, Esc before a
// character is that character typed with Alt, and an unfinished sequence is dropped.
// Unknown sequences are dropped whole: they yield no key.
std::size_t DecodeKeys(std::span<const std::uint8_t> bytes, bool settled, std::vector<int>& codes);

} // namespace qdp::os::linux_keys
