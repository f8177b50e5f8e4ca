// Drives on Windows: \\.\PHYSICALDRIVEn, one IOCTL_SCSI_PASS_THROUGH_DIRECT per command.
#include "platform/platform.h"
#include "platform/windows/pass_through_request.h"

#include <windows.h>

#include <ntddscsi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qdp::os {

static_assert(win::kGenericReadWrite == (GENERIC_READ | GENERIC_WRITE));
static_assert(win::kFileShareWrite == FILE_SHARE_WRITE);
static_assert(win::kOpenExisting == OPEN_EXISTING);
static_assert(win::kFileAttributeSystem == FILE_ATTRIBUTE_SYSTEM);
static_assert(win::kIoctlScsiPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(sizeof(win::PassThroughDirect<void*>) == sizeof(SCSI_PASS_THROUGH_DIRECT));
static_assert(offsetof(win::PassThroughDirect<void*>, DataBuffer) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
static_assert(offsetof(win::PassThroughDirect<void*>, SenseInfoOffset) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset));
static_assert(offsetof(win::PassThroughDirect<void*>, Cdb) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb));
#if defined(_M_IX86) || defined(__i386__)
static_assert(sizeof(win::PassThroughRequest) == 80);
static_assert(offsetof(win::PassThroughRequest, sense) == 48);
#endif

namespace {

// ERROR_NO_SUCH_DEVICE, which MinGW's headers lack.
constexpr DWORD kErrorNoSuchDevice = 433;

OpenError OpenErrorFor(DWORD error) {
    switch (error) {
    // No disk of that number, or one that has left or is not ready: not there.
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case kErrorNoSuchDevice:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED: return OpenError::NoSuchDevice;
    case ERROR_ACCESS_DENIED: return OpenError::PermissionDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return OpenError::Busy;
    default: return OpenError::Other;
    }
}

} // namespace

OpenedDrive OpenDrive(const char* devicePath) {
    const HANDLE drive =
        ::CreateFileA(devicePath, win::kGenericReadWrite, win::kFileShareWrite, nullptr,
                      win::kOpenExisting, win::kFileAttributeSystem, nullptr);
    if (drive == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return {kNoDrive, OpenErrorFor(error), static_cast<int>(error)};
    }
    return {reinterpret_cast<DriveHandle>(drive), OpenError::None, 0};
}

NodeName DriveNodeName(const char* devicePath) {
    NodeName node{};
    std::memcpy(node.data(), devicePath, strnlen(devicePath, node.size() - 1));
    return node;
}

PassThroughResult PassThrough(DriveHandle drive, const ScsiCommand& command) {
    win::PassThroughRequest request = win::BuildPassThroughRequest(command, command.data);
    DWORD returned = 0;
    const BOOL done =
        ::DeviceIoControl(reinterpret_cast<HANDLE>(drive), win::kIoctlScsiPassThroughDirect,
                          &request, sizeof request, &request, sizeof request, &returned, nullptr);
    PassThroughResult result;
    if (done == 0) {
        result.osError = static_cast<int>(::GetLastError());
        return result;
    }
    result.carriedOut = true;
    result.scsiStatus = request.sptd.ScsiStatus;
    result.senseLength = static_cast<std::uint8_t>(
        std::min<std::size_t>(request.sptd.SenseInfoLength, sizeof request.sense));
    std::memcpy(result.sense.data(), request.sense, result.senseLength);
    result.transferred = std::min(request.sptd.DataTransferLength, command.length);
    return result;
}

void CloseDrive(DriveHandle drive) { ::CloseHandle(reinterpret_cast<HANDLE>(drive)); }

// Windows names a physical drive by its device path alone.
bool DevicePathForNode(const char*, std::span<char>) { return false; }

// Opening a physical drive for reading and writing takes an elevated process.
std::string_view AccessDeniedAdvice() { return "the updater must run as administrator"; }

void DescribeError(int osError, std::span<char> out) {
    if (out.empty()) {
        return;
    }
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(osError), 0, out.data(), static_cast<DWORD>(out.size()), nullptr);
    std::size_t end = length;
    while (end > 0 && (out[end - 1] == '\r' || out[end - 1] == '\n' || out[end - 1] == '.')) {
        --end; // the system's text ends in ".\r\n"
    }
    if (length == 0) {
        std::snprintf(out.data(), out.size(), "error %d", osError);
    } else {
        out[std::min(end, out.size() - 1)] = '\0';
    }
}

} // namespace qdp::os
