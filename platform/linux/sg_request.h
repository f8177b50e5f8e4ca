// How one command is put to the Linux SCSI generic driver.
#pragma once

#include "platform/platform.h"

#include <array>
#include <optional>
#include <scsi/sg.h>
#include <string>
#include <string_view>

namespace qdp::os::linux_sg {

inline constexpr unsigned kTimeoutMs = 2000;
inline constexpr unsigned char kCommandLength = 16;
inline constexpr unsigned char kSenseRequested = 24;
using SenseArea = std::array<unsigned char, 32>;

// "\\.\PHYSICALDRIVEn" names /dev/sgn; any other path names no drive.
std::optional<std::string> NodeForDevicePath(std::string_view devicePath);

sg_io_hdr_t BuildHeader(const ScsiCommand& command, SenseArea& sense);

// The command was carried out and the device, the adapter and the driver all
// reported success.
bool Succeeded(const sg_io_hdr_t& header);

} // namespace qdp::os::linux_sg
