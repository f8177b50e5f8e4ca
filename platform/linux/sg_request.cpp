#include "platform/linux/sg_request.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace qdp::os::linux_sg {

std::optional<std::string> NodeForDevicePath(std::string_view devicePath) {
    constexpr std::string_view kPrefix = "\\\\.\\PHYSICALDRIVE";
    if (!devicePath.starts_with(kPrefix)) {
        return std::nullopt;
    }
    const std::string_view number = devicePath.substr(kPrefix.size());
    if (number.empty() || number.size() > 3 ||
        !std::all_of(number.begin(), number.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
        return std::nullopt;
    }
    return "/dev/sg" + std::string(number);
}

OpenError OpenErrorFor(int error) {
    switch (error) {
    case 0: return OpenError::None;
    case ENOENT:
    case ENXIO:
    case ENODEV: return OpenError::NoSuchDevice;
    case EACCES:
    case EPERM:
    case EROFS: return OpenError::PermissionDenied;
    case EBUSY:
    case EAGAIN: return OpenError::Busy;
    default: return OpenError::Other;
    }
}

sg_io_hdr_t BuildHeader(const ScsiCommand& command, SenseArea& sense) {
    sg_io_hdr_t header{};
    header.interface_id = 'S';
    if (command.direction == 1) {
        header.dxfer_direction = SG_DXFER_FROM_DEV;
    } else {
        header.dxfer_direction = command.length == 0 ? SG_DXFER_NONE : SG_DXFER_TO_DEV;
    }
    header.cmd_len = kCommandLength;
    header.mx_sb_len = kSenseRequested;
    header.dxfer_len = command.length;
    header.dxferp = command.data;
    // The driver only reads the command block.
    header.cmdp = const_cast<unsigned char*>(command.cdb);
    header.sbp = sense.data();
    header.timeout = kTimeoutMs;
    return header;
}

PassThroughResult ResultOf(const sg_io_hdr_t& header, const SenseArea& sense) {
    PassThroughResult result;
    result.carriedOut = true;
    result.scsiStatus = header.status;
    result.hostStatus = static_cast<std::uint8_t>(header.host_status);
    result.driverStatus = static_cast<std::uint8_t>(header.driver_status);
    result.senseLength = std::min<std::uint8_t>(header.sb_len_wr, sense.size());
    std::copy_n(sense.begin(), result.senseLength, result.sense.begin());
    const int residual = std::clamp(header.resid, 0, static_cast<int>(header.dxfer_len));
    result.transferred = header.dxfer_len - static_cast<unsigned>(residual);
    return result;
}

} // namespace qdp::os::linux_sg
