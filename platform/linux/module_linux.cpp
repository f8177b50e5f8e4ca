// On Linux the images are linked into the program as data, so the module path is
// not needed to find them.
#include "platform/embedded_images.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace qdp::os {

void ProgramPath(const char* argv0, std::span<char> out) {
    if (out.empty()) {
        return;
    }
    const ssize_t length = ::readlink("/proc/self/exe", out.data(), out.size() - 1);
    if (length > 0) {
        out[static_cast<std::size_t>(length)] = '\0';
        return;
    }
    const std::size_t copied = std::min(std::strlen(argv0), out.size() - 1);
    std::memcpy(out.data(), argv0, copied);
    out[copied] = '\0';
}

bool ReadImageResource(const char* /*modulePath*/, const char* name, std::span<std::uint8_t> dest) {
    const std::span<const std::uint8_t> image = FindEmbeddedImage(name);
    if (image.size() < dest.size()) {
        return false;
    }
    std::copy_n(image.begin(), dest.size(), dest.begin());
    return true;
}

} // namespace qdp::os
