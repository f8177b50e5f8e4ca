// Start-up: the program's own path, the arguments, the banner, the instance lock and
// the wait for a recorder.
#include "app/console.h"
#include "app/updater.h"
#include "app/updater_state.h"
#include "firmware/image_store.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"
#include "qdp_version.h"
#include "transport/scsi_executor.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace qdp {
namespace {

inline constexpr std::uint32_t kDeviceWaitPauseMs = 1;

// What the operator reads on standard error about a drive that cannot be opened:
// the system's own words, and what to do about it.
void TellDriveProblem(const DriveOpenProblem& problem) {
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

// Returns true once a recorder is connected, false when the operator pressed Esc.
bool WaitForDevice() {
    Print("Device is not connected.\nConnect device to continue or press Esc to exit.\n");
    for (;;) {
        if (RecorderConnected()) {
            return true;
        }
        while (const auto problem = TakeDriveOpenProblem(kDriveProblemPersistMs)) {
            TellDriveProblem(*problem);
        }
        if (KeyIsWaiting() && ReadKey() == kKeyEsc) {
            return false;
        }
        os::SleepMs(kDeviceWaitPauseMs);
    }
}

int ShowVersion() {
    Print("Quirn Dorvel+ Firmware Updater version " QDP_VERSION "\n");
    if (!LoadFirmwareImage()) {
        Print("The firmware image it carries is damaged.\n");
        return kExitFailed;
    }
    const std::uint16_t firmware = Firmware.ImageFirmwareStatus.version;
    const std::uint16_t bootLoader = Firmware.ImageBootLoaderRecord.version;
    Print("Offers firmware version %d.%d with Boot Loader version %d.%d.\n", VersionMajor(firmware),
          VersionMinor(firmware), VersionMajor(bootLoader), VersionMinor(bootLoader));
    return kExitDone;
}

int ShowHelp() {
    Print("Usage: QDp_FW_FirstUpdater [diag]\n"
          "       QDp_FW_FirstUpdater --help | --version\n"
          "\n"
          "Updates the firmware of a Quirn Dorvel+ recorder connected by USB. The updater\n"
          "waits for the recorder (Esc leaves), shows the installed and offered versions and\n"
          "asks before it changes anything: Y to load the firmware, then L to confirm, which\n"
          "erases ALL data on the recorder; when the recorder's Boot Loader is older than the\n"
          "one offered, Y once more to upgrade it first. Any other key leaves. Do not\n"
          "disconnect the recorder until the updater tells you to.\n"
          "\n"
          "  diag       replace the Boot Loader whatever its version, and accept a recorder\n"
          "             whose Boot Loader identification differs (service use)\n"
          "  --help     show this text\n"
          "  --version  show the updater's version and the versions it offers\n"
          "\n"
          "Exit codes: 0 the update was done, or declined; 1 another recorder application\n"
          "is running; 2 the update failed (the console says why).\n"
          "Environment: QDP_LOG=file appends a line for every device command and every\n"
          "message to that file, for a technician.\n");
    return kExitDone;
}

} // namespace

bool RecorderConnected() { return QDp_IsConnected(&Updater.DeviceName) != 0; }

void TellLastDriveProblem() {
    if (Updater.DeviceName == nullptr) {
        return;
    }
    if (const auto problem = LastDriveOpenProblem(Updater.DeviceName)) {
        TellDriveProblem(*problem);
    }
}

int UpdaterMain(int argc, char** argv) {
    os::ProgramPath(argc > 0 ? argv[0] : "", Firmware.ModulePath);
    if (argc == 2 && std::strcmp(argv[1], kVersionArgument) == 0) {
        return ShowVersion();
    }
    if (argc == 2 && std::strcmp(argv[1], kHelpArgument) == 0) {
        return ShowHelp();
    }
    Updater.DiagMode = argc == 2 && std::strcmp(argv[1], kDiagArgument) == 0;
    Print("Quirn Dorvel+ Firmware Updater version " QDP_VERSION "\n\n");

    const os::InstanceLock lock = os::CreateInstanceLock(kInstanceLockName);
    if (lock.outcome == os::LockOutcome::AlreadyExists) {
        Print("Close all other digital recorder applications and try again.\n");
        Print("Press any key to exit.\n");
        ReadKey();
        os::CloseInstanceLock(lock.handle);
        return kExitLockHeld;
    }
    Updater.InstanceMutex = lock.handle; // held until the process ends

    if (!RecorderConnected() && !WaitForDevice()) {
        return kExitDone;
    }
    return RunUpdate();
}

} // namespace qdp
