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

// Opening a node may fail for these reasons, told apart for the operator.
OpenError OpenErrorFor(int error);

sg_io_hdr_t BuildHeader(const ScsiCommand& command, SenseArea& sense);

// What the driver reported for a command the ioctl carried out.
PassThroughResult ResultOf(const sg_io_hdr_t& header, const SenseArea& sense);

} // namespace qdp::os::linux_sg
