#include "app/recorder_presence.h"

#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"
#include "transport/scsi_executor.h"

#include <array>
#include <cstdio>
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
