#include "platform/embedded_images.h"

#include <cstring>

namespace qdp::os {

std::span<const std::uint8_t> FindEmbeddedImage(const char* name) {
    for (const EmbeddedImage& image : kEmbeddedImages) {
        if (std::strcmp(image.name, name) == 0) {
            return image.bytes;
        }
    }
    return {};
}

} // namespace qdp::os
