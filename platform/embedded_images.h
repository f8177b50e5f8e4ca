// Images linked into the program as data, for platforms without executable
// resources. The build generates the table from the image files.
#pragma once

#include <cstdint>
#include <span>

namespace qdp::os {

struct EmbeddedImage {
    const char* name;
    std::span<const std::uint8_t> bytes;
};

extern const std::span<const EmbeddedImage> kEmbeddedImages;

// The named image's bytes; empty when there is none.
std::span<const std::uint8_t> FindEmbeddedImage(const char* name);

} // namespace qdp::os
