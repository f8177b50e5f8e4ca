// The seam's program file and images: the linked-in images, unless the host holds
// another version of one (a damaged or missing image, say).
#include "platform/embedded_images.h"
#include "platform/platform.h"
#include "sim/virtual_host.h"

#include <algorithm>
#include <cstring>

namespace qdp::os {

void ProgramPath(const char* argv0, std::span<char> out) {
    const std::size_t copied = std::min(std::strlen(argv0), out.size() - 1);
    std::memcpy(out.data(), argv0, copied);
    out[copied] = '\0';
}

bool ReadImageResource(const char*, const char* name, std::span<std::uint8_t> dest) {
    const auto& overrides = sim::VirtualHost::Instance().imageOverrides;
    const auto found = overrides.find(name);
    const std::span<const std::uint8_t> image = found != overrides.end()
                                                    ? std::span<const std::uint8_t>(found->second)
                                                    : FindEmbeddedImage(name);
    if (image.size() < dest.size()) {
        return false;
    }
    std::copy_n(image.begin(), dest.size(), dest.begin());
    return true;
}

} // namespace qdp::os
