// Plain program images built from a short description, one directive a line:
//
//   fill <byte>                         every byte of the image
//   random <from> <to> <seed>           pseudo-random bytes in [from, to)
//   bytes <address> <byte> ...          bytes from an address on
//   text <address> <text...>            the rest of the line, as ASCII
//   firmware-status <major.minor> <marker>   the record at 0xD3F5
//   boot-loader <major.minor> <7 characters> the record at 0xD800
//
// Numbers take C notation (0x.. for hexadecimal); '#' starts a comment.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>

namespace qdp::tools {

inline constexpr std::size_t kResourceSize = 65536;
using Resource = std::array<std::uint8_t, kResourceSize>;

// Builds the plain image; on a bad line returns false and says why in `error`.
bool BuildPlainImage(std::istream& description, Resource& image, std::string& error);

} // namespace qdp::tools
