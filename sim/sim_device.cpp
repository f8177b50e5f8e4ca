// The seam's drives and clock, served by the virtual host.
#include "platform/generic_node.h"
#include "platform/platform.h"
#include "sim/virtual_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace qdp::os {
namespace {

// The system error numbers the virtual host reports.
inline constexpr int kNoSuchDevice = 2;
inline constexpr int kIoError = 5;
inline constexpr int kPermissionDenied = 13;
inline constexpr int kBusy = 16;

OpenError ErrorOf(sim::OpenFailure failure) {
    switch (failure) {
    case sim::OpenFailure::None: return OpenError::None;
    case sim::OpenFailure::Absent: return OpenError::NoSuchDevice;
    case sim::OpenFailure::PermissionDenied: return OpenError::PermissionDenied;
    case sim::OpenFailure::Busy: return OpenError::Busy;
    }
    return OpenError::Other;
}

int NumberOf(OpenError error) {
    switch (error) {
    case OpenError::None: return 0;
    case OpenError::NoSuchDevice: return kNoSuchDevice;
    case OpenError::PermissionDenied: return kPermissionDenied;
    case OpenError::Busy: return kBusy;
    case OpenError::Other: break;
    }
    return kIoError;
}

} // namespace

OpenedDrive OpenDrive(const char* devicePath) {
    OpenedDrive opened{};
    sim::OpenFailure failure = sim::OpenFailure::None;
    opened.handle = sim::VirtualHost::Instance().Open(devicePath, failure);
    opened.error = ErrorOf(failure);
    opened.osError = NumberOf(opened.error);
    return opened;
}

PassThroughResult PassThrough(DriveHandle drive, const ScsiCommand& command) {
    const sim::HostResult host = sim::VirtualHost::Instance().Execute(
        drive, command.direction, command.cdb, command.data, command.length);
    PassThroughResult result;
    result.carriedOut = host.carriedOut;
    if (!host.carriedOut) {
        result.osError = kIoError;
        return result;
    }
    result.transferred = static_cast<std::uint32_t>(host.moved);
    if (!host.good) {
        result.scsiStatus = 0x02; // CHECK CONDITION, with fixed-format sense data
        result.senseLength = 18;
        result.sense[0] = 0x70;
        result.sense[2] = host.sense.key;
        result.sense[7] = 10;
        result.sense[12] = host.sense.asc;
        result.sense[13] = host.sense.ascq;
    }
    return result;
}

void CloseDrive(DriveHandle drive) { sim::VirtualHost::Instance().Close(drive); }

// Names as on Linux, where the virtual runner runs: \\.\PHYSICALDRIVEn is /dev/sgn.
NodeName DriveNodeName(const char* devicePath) {
    NodeName node{};
    constexpr std::string_view kPrefix = "\\\\.\\PHYSICALDRIVE";
    const std::string_view path(devicePath, strnlen(devicePath, node.size() - 1));
    if (path.size() == kPrefix.size() + 1 && path.starts_with(kPrefix)) {
        std::snprintf(node.data(), node.size(), "/dev/sg%c", path.back());
    } else {
        std::memcpy(node.data(), path.data(), path.size());
    }
    return node;
}

void DescribeError(int osError, std::span<char> out) {
    const char* text = osError == kNoSuchDevice       ? "No such file or directory"
                       : osError == kPermissionDenied ? "Permission denied"
                       : osError == kBusy             ? "Device or resource busy"
                                                      : "Input/output error";
    if (!out.empty()) {
        std::snprintf(out.data(), out.size(), "%s", text);
    }
}

bool DevicePathForNode(const char* node, std::span<char> out) {
    return DevicePathOfGenericNode(node, out);
}

bool DrivePort(const char* devicePath, std::span<char> out) {
    const auto port = sim::VirtualHost::Instance().PortOfDevice(devicePath);
    if (!port || port->size() >= out.size()) {
        return false;
    }
    std::snprintf(out.data(), out.size(), "%s", port->c_str());
    return true;
}

std::string_view AccessDeniedAdvice() { return "the updater needs read and write access to it"; }

void SleepMs(std::uint32_t milliseconds) { sim::VirtualHost::Instance().Sleep(milliseconds); }

std::uint64_t SteadyMs() { return sim::VirtualHost::Instance().NowMs(); }

} // namespace qdp::os
