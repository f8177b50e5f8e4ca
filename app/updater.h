// The updater: start-up, the device wait and the update sequence.
#pragma once

#include "controller/records.h"

#include <cstdint>

namespace qdp {

inline constexpr char kInstanceLockName[] = "VornakHS_";
inline constexpr char kDiagArgument[] = "diag";

extern bool DiagMode;
extern char* DeviceName;
extern std::intptr_t InstanceMutex;

extern BootLoaderRecord InstalledBootLoaderRecord;
extern FirmwareStatusRecord InstalledFirmwareStatus;
extern bool FirmwareValid;

// How long a restarted recorder may take to leave the host, and then to return.
inline constexpr std::uint64_t kLeaveBoundMs = 30'000;
inline constexpr std::uint64_t kReturnBoundMs = 120'000;

// The entry point: returns the process exit code.
int UpdaterMain(int argc, char** argv);

// The rest of the entry point once a recorder is connected.
int RunUpdate();

} // namespace qdp
