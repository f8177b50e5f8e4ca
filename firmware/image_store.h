// The two program images carried by the program: the firmware "FWC", which also
// holds its boot-loader section, and the boot-loader replacement program "BRC".
#pragma once

#include "firmware/firmware_state.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace qdp {

inline constexpr char kFirmwareResource[] = "FWC";
inline constexpr char kReplacementResource[] = "BRC";

// Boot-loader section of the firmware image, and where the replacement program
// carries it.
inline constexpr std::size_t kBootLoaderSectionSize = 0x2000;
inline constexpr std::size_t kReplacementSectionAt = 0x2000;
// The replacement program is marked as an installer here: the recorder runs a
// program with this mark as one, and it installs the section it carries.
inline constexpr std::size_t kInstallerMarkAt = 0x0F08;
inline constexpr char kInstallerMark[8] = {'B', 'L', 'I', 'N', 'S', 'T', 'A', 'L'};
inline constexpr std::uint16_t kInstallerMarkPage =
    kInstallerMarkAt - kInstallerMarkAt % kControllerPageSize;

void DescrambleImage(ImageBuffer& image);

// Each returns false when its image is missing or too short; the buffer then holds
// nothing usable.
[[nodiscard]] bool LoadFirmwareImage();
[[nodiscard]] bool LoadReplacementImage(); // needs the firmware image loaded first

// The firmware image's boot-loader section (0xD800 to 0xF7FF), once it is loaded.
std::span<const std::uint8_t> BootLoaderSection();

} // namespace qdp
