#include "platform/linux/sg_request.h"

#include <algorithm>
#include <cctype>

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

bool Succeeded(const sg_io_hdr_t& header) {
    return header.status == 0 && header.host_status == 0 && header.driver_status == 0;
}

} // namespace qdp::os::linux_sg
