// The updater's process-wide state: the run's switches, the recorder it found and
// the records read from it.
#pragma once

#include "controller/records.h"

#include <cstdint>

namespace qdp {

struct UpdaterState {
    bool DiagMode = false;
    bool Unattended = false;    // --yes: every consent given, no key read
    bool Verify = false;        // --verify: what is written is read back
    char* DeviceName = nullptr; // the recorder's device path once found; never freed
    std::intptr_t InstanceMutex = 0;
    // Aligned, so that their 16-bit versions can be read through references too.
    alignas(4) BootLoaderRecord InstalledBootLoaderRecord{};
    alignas(4) FirmwareStatusRecord InstalledFirmwareStatus{};
    bool FirmwareValid = false;
};

extern UpdaterState Updater;

// Back to the state at program start, releasing the device name.
void ResetUpdaterState();

} // namespace qdp
