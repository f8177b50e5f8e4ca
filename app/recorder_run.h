// One recorder's update: how it runs, the recorder it follows, and what was read from
// it. The update of several recorders at once gives each its own, on a thread of its
// own.
#pragma once

#include "controller/records.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <mutex>

namespace qdp {

struct RunMode {
    bool diag = false;       // replace the boot loader always; skip the identification check
    bool unattended = false; // --yes: every consent given, no key read
    bool verify = false;     // --verify: what is written is read back
};

using PortText = std::array<char, 128>;

struct RecorderRun {
    RunMode mode;
    char* deviceName = nullptr; // the recorder's device path once found (allocated)
    // The USB port that the recorder is followed by across its restarts; empty: it is
    // followed by its drive number.
    PortText port{};
    // Taken around each restart, so that recorders restarting at once come back each to
    // the drive number it left, where there is no port to follow them by.
    std::mutex* restartTurn = nullptr;
    // Aligned, so that their 16-bit versions can be read through references too.
    alignas(4) BootLoaderRecord installedBootLoader{};
    alignas(4) FirmwareStatusRecord installedFirmware{};
    bool firmwareValid = false; // a valid installed firmware version was read

    explicit RecorderRun(RunMode runMode = {}) : mode(runMode) {}
    ~RecorderRun() { std::free(deviceName); }
    RecorderRun(const RecorderRun&) = delete;
    RecorderRun& operator=(const RecorderRun&) = delete;
};

} // namespace qdp
