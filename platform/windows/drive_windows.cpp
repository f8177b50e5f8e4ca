// Drives on Windows: \\.\PHYSICALDRIVEn, one IOCTL_SCSI_PASS_THROUGH_DIRECT per command.
#include "platform/platform.h"
#include "platform/windows/pass_through_request.h"

#include <windows.h>

#include <ntddscsi.h>

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

DriveHandle OpenDrive(const char* devicePath) {
    const HANDLE drive =
        ::CreateFileA(devicePath, win::kGenericReadWrite, win::kFileShareWrite, nullptr,
                      win::kOpenExisting, win::kFileAttributeSystem, nullptr);
    return drive == INVALID_HANDLE_VALUE ? kNoDrive : reinterpret_cast<DriveHandle>(drive);
}

bool PassThrough(DriveHandle drive, const ScsiCommand& command) {
    win::PassThroughRequest request = win::BuildPassThroughRequest(command, command.data);
    DWORD returned = 0;
    const BOOL done =
        ::DeviceIoControl(reinterpret_cast<HANDLE>(drive), win::kIoctlScsiPassThroughDirect,
                          &request, sizeof request, &request, sizeof request, &returned, nullptr);
    return done != 0 && request.sptd.ScsiStatus == 0;
}

void CloseDrive(DriveHandle drive) { ::CloseHandle(reinterpret_cast<HANDLE>(drive)); }

} // namespace qdp::os
