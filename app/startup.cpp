// Start-up: the program's own path, the arguments, the banner, the instance lock and
// the wait for a recorder.
#include "app/console.h"
#include "app/options.h"
#include "app/recorder_presence.h"
#include "app/updater.h"
#include "firmware/console_text.h"
#include "firmware/image_store.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"
#include "qdp_version.h"
#include "transport/scsi_executor.h"
#include "transport/transport_state.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace qdp {
namespace {

inline constexpr std::uint32_t kDeviceWaitPauseMs = 1;

// Returns true once a recorder is connected, false when the operator pressed Esc.
bool WaitForDevice(RecorderRun& run) {
    Print("Device is not connected.\nConnect device to continue or press Esc to exit.\n");
    for (;;) {
        if (RecorderConnected(run)) {
            return true;
        }
        TellDriveProblems(kDriveProblemPersistMs);
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

// The drive that a --device argument names, as a device path (allocated); null when
// the argument names no drive.
char* NamedDevice(const char* argument) {
    DevicePathText path{};
    constexpr std::string_view prefix(kInitialDevicePath.data(), kDriveDigitIndex);
    const std::string_view name(argument);
    const bool devicePath =
        name.size() == kDevicePathSize - 1 && name[kDriveDigitIndex] >= '0' &&
        name[kDriveDigitIndex] <= '9' &&
        std::equal(prefix.begin(), prefix.end(), name.begin(), [](char a, char b) {
            return std::toupper(static_cast<unsigned char>(a)) ==
                   std::toupper(static_cast<unsigned char>(b));
        });
    if (devicePath) {
        path = kInitialDevicePath;
        path[kDriveDigitIndex] = name[kDriveDigitIndex];
    } else if (!os::DevicePathForNode(argument, path)) {
        return nullptr;
    }
    const std::size_t size = std::strlen(path.data()) + 1;
    auto* copy = static_cast<char*>(std::malloc(size));
    if (copy != nullptr) {
        std::memcpy(copy, path.data(), size);
    }
    return copy;
}

} // namespace

int UpdaterMain(int argc, char** argv) {
    os::ProgramPath(argc > 0 ? argv[0] : "", Firmware.ModulePath);
    RunOptions options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return kExitFailed;
    }
    if (options.version) {
        return ShowVersion();
    }
    if (options.help) {
        ShowText(kUsage);
        return kExitDone;
    }
    RecorderRun run({options.diag, options.yes, options.verify});
    if (options.device != nullptr && (run.deviceName = NamedDevice(options.device)) == nullptr) {
        std::fprintf(stderr, "%s does not name a drive.\n\n%s", options.device, kUsage);
        return kExitFailed;
    }
    // With --json, standard output holds the JSON document alone: all else to standard
    // error.
    struct Restore {
        ~Restore() { SetTextSink(nullptr); }
    } restore;
    if (options.json) {
        SetTextSink(&StandardErrorSink());
    }
    if (!options.list) {
        Print("Quirn Dorvel+ Firmware Updater version " QDP_VERSION "\n\n");
    }

    const os::InstanceLock lock = os::CreateInstanceLock(kInstanceLockName);
    if (lock.outcome == os::LockOutcome::AlreadyExists) {
        Print("Close all other digital recorder applications and try again.\n");
        if (!options.list) { // a listing is for scripts: no key to wait for
            Print("Press any key to exit.\n");
            WaitForExitKey(run.mode);
        }
        os::CloseInstanceLock(lock.handle);
        return kExitLockHeld;
    }
    // The lock is held until the process ends.

    if (options.list) {
        return ListRecorders(options, run.deviceName);
    }
    // Without a console, no prompt could be answered, and no Esc could end a wait.
    if (!options.yes && !os::ConsoleAvailable()) {
        Print("%s", kNoConsole);
        return kExitFailed;
    }
    if (options.all) {
        return UpdateAll(options);
    }
    if (RecorderConnected(run)) {
        return RunUpdate(run);
    }
    if (options.device != nullptr || options.yes) {
        TellDriveProblems(0); // why nothing answered, where a drive would not open
        if (options.device != nullptr) {
            Print("No recorder answers at %s.\n", options.device);
        } else {
            Print("No recorder is connected.\n");
        }
        return kExitFailed;
    }
    return WaitForDevice(run) ? RunUpdate(run) : kExitDone;
}

} // namespace qdp
