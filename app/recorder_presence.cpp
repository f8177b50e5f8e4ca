#include "app/recorder_presence.h"

#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"
#include "transport/discovery.h"
#include "transport/scsi_executor.h"
#include "transport/transport_state.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace qdp {
namespace {

void Tell(const DriveOpenProblem& problem) {
    std::array<char, 256> text{};
    os::DescribeError(problem.osError, text);
    std::string_view advice;
    if (problem.error == os::OpenError::PermissionDenied) {
        advice = os::AccessDeniedAdvice();
    } else if (problem.error == os::OpenError::Busy) {
        advice = "it is in use by another program";
    }
    std::fprintf(stderr, "Cannot open %s: %s%s%.*s.\n", problem.node.data(), text.data(),
                 advice.empty() ? "" : "; ", static_cast<int>(advice.size()), advice.data());
}

} // namespace

bool RecorderConnected(char** deviceName) { return QDp_IsConnected(deviceName) != 0; }

bool PortOf(const char* devicePath, PortText& port) {
    port.fill('\0');
    return os::DrivePort(devicePath, port);
}

bool RecorderConnected(RecorderRun& run) {
    if (run.port[0] == '\0') {
        return RecorderConnected(&run.deviceName);
    }
    PortText port{};
    if (run.deviceName != nullptr && PortOf(run.deviceName, port) && port == run.port) {
        return RecorderConnected(&run.deviceName);
    }
    // Not on its drive: on whichever drive its port now has.
    for (int drive = 0; drive < kProbedDrives; ++drive) {
        DevicePathText path = kInitialDevicePath;
        path[kDriveDigitIndex] = static_cast<char>('0' + drive);
        char* name = path.data();
        if (PortOf(name, port) && port == run.port && RecorderConnected(&name)) {
            std::free(run.deviceName);
            run.deviceName = static_cast<char*>(std::malloc(kDevicePathSize));
            if (run.deviceName != nullptr) {
                std::memcpy(run.deviceName, path.data(), kDevicePathSize);
            }
            return run.deviceName != nullptr;
        }
    }
    return false;
}

void TellDriveProblems(std::uint64_t persistMs) {
    while (const auto problem = TakeDriveOpenProblem(persistMs)) {
        Tell(*problem);
    }
}

void TellLastDriveProblem(const char* devicePath) {
    if (devicePath == nullptr) {
        return;
    }
    if (const auto problem = LastDriveOpenProblem(devicePath)) {
        Tell(*problem);
    }
}

} // namespace qdp
