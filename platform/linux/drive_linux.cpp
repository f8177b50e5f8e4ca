// Drives on Linux: /dev/sgN, one SG_IO per command. The generic device, unlike the
// block device, passes vendor operation codes through.
#include "platform/linux/sg_request.h"
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qdp::os {

DriveHandle OpenDrive(const char* devicePath) {
    const auto node = linux_sg::NodeForDevicePath(devicePath);
    if (!node) {
        return kNoDrive;
    }
    const int fd = ::open(node->c_str(), O_RDWR | O_CLOEXEC);
    return fd < 0 ? kNoDrive : fd;
}

bool PassThrough(DriveHandle drive, const ScsiCommand& command) {
    linux_sg::SenseArea sense{};
    sg_io_hdr_t header = linux_sg::BuildHeader(command, sense);
    if (::ioctl(static_cast<int>(drive), SG_IO, &header) != 0) {
        return false;
    }
    return linux_sg::Succeeded(header);
}

void CloseDrive(DriveHandle drive) { ::close(static_cast<int>(drive)); }

} // namespace qdp::os
