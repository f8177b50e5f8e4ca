// Start-up: the program's own path, the diagnostic switch, the banner, the instance
// lock and the wait for a recorder.
#include "app/console.h"
#include "app/updater.h"
#include "firmware/image_store.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"

#include <cstring>

namespace qdp {

bool DiagMode = false;
char* DeviceName = nullptr;
std::intptr_t InstanceMutex = 0;

namespace {

inline constexpr std::uint32_t kDeviceWaitPauseMs = 1;

// Returns true once a recorder is connected, false when the operator pressed Esc.
bool WaitForDevice() {
    Print("Device is not connected.\nConnect device to continue or press Esc to exit.\n");
    for (;;) {
        if (QDp_IsConnected(&DeviceName) != 0) {
            return true;
        }
        if (KeyIsWaiting() && ReadKey() == kKeyEsc) {
            return false;
        }
        os::SleepMs(kDeviceWaitPauseMs);
    }
}

} // namespace

int UpdaterMain(int argc, char** argv) {
    os::ProgramPath(argc > 0 ? argv[0] : "", ModulePath);
    DiagMode = argc == 2 && std::strcmp(argv[1], kDiagArgument) == 0;
    Print("Quirn Dorvel+ Firmware Updater version 1.3\n\n");

    const os::InstanceLock lock = os::CreateInstanceLock(kInstanceLockName);
    if (lock.outcome == os::LockOutcome::AlreadyExists) {
        Print("Close all other digital recorder applications and try again.\n");
        Print("Press any key to exit.\n");
        ReadKey();
        os::CloseInstanceLock(lock.handle);
        return 1;
    }
    InstanceMutex = lock.handle; // held until the process ends

    if (QDp_IsConnected(&DeviceName) == 0 && !WaitForDevice()) {
        return 0;
    }
    return RunUpdate();
}

} // namespace qdp
