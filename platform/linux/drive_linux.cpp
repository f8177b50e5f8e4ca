// Drives on Linux: /dev/sgN, one SG_IO per command. The generic device, unlike the
// block device, passes vendor operation codes through.
#include "platform/generic_node.h"
#include "platform/linux/sg_request.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qdp::os {
namespace {

NodeName NodeText(std::string_view text) {
    NodeName node{};
    std::copy_n(text.begin(), std::min(text.size(), node.size() - 1), node.begin());
    return node;
}

} // namespace

OpenedDrive OpenDrive(const char* devicePath) {
    const auto node = linux_sg::NodeForDevicePath(devicePath);
    if (!node) {
        return {kNoDrive, OpenError::NoSuchDevice, ENOENT};
    }
    // Without O_NONBLOCK the open would wait while another program holds the node
    // exclusively; busy is then told like any other failure.
    const int fd = ::open(node->c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return {kNoDrive, linux_sg::OpenErrorFor(error), error};
    }
    return {fd, OpenError::None, 0};
}

NodeName DriveNodeName(const char* devicePath) {
    const auto node = linux_sg::NodeForDevicePath(devicePath);
    return NodeText(node ? std::string_view(*node) : std::string_view(devicePath));
}

PassThroughResult PassThrough(DriveHandle drive, const ScsiCommand& command) {
    linux_sg::SenseArea sense{};
    sg_io_hdr_t header = linux_sg::BuildHeader(command, sense);
    // SG_IO waits for the command even on a descriptor opened with O_NONBLOCK.
    if (::ioctl(static_cast<int>(drive), SG_IO, &header) != 0) {
        PassThroughResult result;
        result.osError = errno;
        return result;
    }
    return linux_sg::ResultOf(header, sense);
}

void CloseDrive(DriveHandle drive) { ::close(static_cast<int>(drive)); }

bool DevicePathForNode(const char* node, std::span<char> out) {
    return DevicePathOfGenericNode(node, out);
}

std::string_view AccessDeniedAdvice() { return "the updater needs read and write access to it"; }

void DescribeError(int osError, std::span<char> out) {
    if (out.empty()) {
        return;
    }
    const char* text = ::strerror(osError);
    const std::size_t length = std::min(std::strlen(text), out.size() - 1);
    std::memcpy(out.data(), text, length);
    out[length] = '\0';
}

} // namespace qdp::os
