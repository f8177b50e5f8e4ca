// The updater: start-up, the device wait and the update sequence.
#pragma once

#include "controller/records.h"

#include <cstdint>

namespace qdp {

inline constexpr char kInstanceLockName[] = "VornakHS_";
inline constexpr char kDiagArgument[] = "diag";
inline constexpr char kVersionArgument[] = "--version";
inline constexpr char kHelpArgument[] = "--help";

// Exit codes: a script can tell a failed update from a good or declined one.
inline constexpr int kExitDone = 0;     // updated, declined, or left at the device wait
inline constexpr int kExitLockHeld = 1; // another recorder application is running
inline constexpr int kExitFailed = 2;   // the update could not be done

// How long a restarted recorder may take to leave the host, and then to return.
inline constexpr std::uint64_t kLeaveBoundMs = 30'000;
inline constexpr std::uint64_t kReturnBoundMs = 120'000;
// How long a drive must keep failing to open before the operator is told.
inline constexpr std::uint64_t kDriveProblemPersistMs = 1'000;

inline constexpr char kNoConsole[] =
    "No console to answer the prompt; use --yes for an unattended update.\n";

struct RunOptions;

// The entry point: returns the process exit code.
int UpdaterMain(int argc, char** argv);

// The rest of the entry point once a recorder is connected.
int RunUpdate();

// The connected recorders (or the one under DeviceName), what they hold and what an
// update would do to each, as text or as JSON; with `verify`, also whether their
// program area and boot loader equal what this updater carries. Returns the exit code.
int ListRecorders(const RunOptions& options);

// Whether the update goes on with a recorder whose boot loader is this one.
[[nodiscard]] bool BootLoaderAccepted(const BootLoaderRecord& installed);
// Whether the update replaces a boot loader of this version first.
[[nodiscard]] bool BootLoaderReplaced(std::uint16_t installedVersion);

// Waits for the key that ends the program, unless the run is unattended.
void WaitForExitKey();

} // namespace qdp
