// The firmware layer's process-wide state: where the program's own file lies, the
// two images once loaded, and the firmware image's version records.
#pragma once

#include "controller/records.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qdp {

inline constexpr std::size_t kImageSize = 0xFC00;
inline constexpr std::size_t kModulePathSize = 255; // 254 characters and the NUL

using ImageBuffer = std::array<std::uint8_t, kImageSize>;

struct FirmwareState {
    std::array<char, kModulePathSize> ModulePath{}; // the file that carries the images
    ImageBuffer FirmwareImage{};
    ImageBuffer ReplacementImage{};
    // Aligned, so that their 16-bit versions can be read through references too.
    alignas(4) FirmwareStatusRecord ImageFirmwareStatus{};
    alignas(4) BootLoaderRecord ImageBootLoaderRecord{};
};

extern FirmwareState Firmware;

// Back to the state at program start.
void ResetFirmwareState();

} // namespace qdp
