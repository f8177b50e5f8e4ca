// How the runners (qdp_virtual_updater, qdp_usb_recorder) set a recorder up from
// their options: the flash by its size, and the installed boot loader and firmware
// against what a firmware image offers.
#pragma once

#include "sim/virtual_recorder.h"

#include <span>
#include <string_view>

namespace qdp::sim {

// 128 KiB blocks of 64 pages of 2 KiB, in as few units as the 16-bit count allows.
Geometry FlashOfMiB(unsigned long mib);

// "older" (one minor version below the offered boot loader), "equal", "newer" or
// "incompatible" (the offered version, another identification).
bool IsBootLoaderChoice(std::string_view choice);
// "valid" (firmware 2.4 with its marker) or "unavailable" (erased).
bool IsFirmwareChoice(std::string_view choice);

// Installs the chosen boot loader and firmware, against the boot-loader record of a
// descrambled firmware image, and puts recorded audio at the end of the flash, for
// the erase to be seen.
void SetUpRecorder(VirtualRecorder& recorder, std::span<const std::uint8_t> image,
                   std::string_view bootLoader, std::string_view firmware);

} // namespace qdp::sim
