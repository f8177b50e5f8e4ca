// The updater: start-up, the device wait and the update sequence.
#pragma once

#include "app/recorder_run.h"
#include "controller/records.h"

#include <cstdint>
#include <optional>

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
inline constexpr char kImageDamaged[] =
    "ERROR: Firmware image is damaged. Firmware loading is not possible.\r\n";

struct RunOptions;

// The entry point: returns the process exit code.
int UpdaterMain(int argc, char** argv);

// The rest of the entry point once the run's recorder is connected: the dialogue and
// the update. Returns the exit code.
int RunUpdate(RecorderRun& run);

// --all: every connected recorder at once, each followed by its USB port. Returns the
// exit code.
int UpdateAll(const RunOptions& options);

// The connected recorders (or the one `deviceName` names), what they hold and what an
// update would do to each, as text or as JSON; with `verify`, also whether their
// program area and boot loader equal what this updater carries. Returns the exit code.
int ListRecorders(const RunOptions& options, char* deviceName);

// Whether the update goes on with a recorder whose boot loader is this one.
[[nodiscard]] bool BootLoaderAccepted(const BootLoaderRecord& installed, bool diag);
// Whether the update replaces a boot loader of this version first.
[[nodiscard]] bool BootLoaderReplaced(std::uint16_t installedVersion, bool diag);

// What the recorder holds, read: whether the update can go on with it.
enum class Examined { Ready, BootLoaderNotFound, BootLoaderNotCompatible };
[[nodiscard]] Examined Examine(RecorderRun& run);

// How writing a recorder ended.
enum class Outcome { Updated, Failed, NotRestarted, NotBack, BootLoaderDiffers };
// Writes the run's recorder: its boot loader first when asked, the firmware, and the
// storage erase when its firmware was valid, each step with its title and progress.
// An end other than Updated is told ("Failed", "ERROR: ..."); the images are loaded.
[[nodiscard]] Outcome CarryOut(RecorderRun& run, bool replaceBootLoader);
// The console text that tells an end other than Updated.
const char* EndMessage(Outcome outcome);

// The operator's answer to the prompt just shown, `upper` or `lower` consenting: nothing
// when it is consent, else the program's exit code. Unattended, the consenting key is
// shown as if typed. With no console to type on, the missing answer is not taken for a
// "no": the run fails.
[[nodiscard]] std::optional<int> Refusal(const RunMode& mode, std::uint16_t upper,
                                         std::uint16_t lower);

// Waits for the key that ends the program, unless the run is unattended.
void WaitForExitKey(const RunMode& mode);

// Keeps Ctrl+C from ending the program while it lasts, by however many threads.
class InterruptGuard {
  public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

} // namespace qdp
