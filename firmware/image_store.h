// The two program images carried by the program: the firmware "FWC", which also
// holds its boot-loader section, and the boot-loader replacement program "BRC".
#pragma once

#include "controller/records.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qdp {

inline constexpr std::size_t kImageSize = 0xFC00;
inline constexpr std::size_t kModulePathSize = 255; // 254 characters and the NUL
inline constexpr char kFirmwareResource[] = "FWC";
inline constexpr char kReplacementResource[] = "BRC";

// Boot-loader section of the firmware image, and where the replacement program
// carries it.
inline constexpr std::size_t kBootLoaderSectionSize = 0x2000;
inline constexpr std::size_t kReplacementSectionAt = 0x2000;

using ImageBuffer = std::array<std::uint8_t, kImageSize>;

// The file that carries the images; the entry point fills it.
extern std::array<char, kModulePathSize> ModulePath;

extern ImageBuffer FirmwareImage;
extern ImageBuffer ReplacementImage;
extern FirmwareStatusRecord ImageFirmwareStatus;
extern BootLoaderRecord ImageBootLoaderRecord;

void DescrambleImage(ImageBuffer& image);

// Each returns false when its image is missing or too short; the buffer then holds
// nothing usable.
bool LoadFirmwareImage();
bool LoadReplacementImage(); // needs FirmwareImage loaded first

} // namespace qdp
