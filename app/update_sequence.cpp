// The update: version report, identification check, consent, boot-loader and
// firmware replacement with the restarts between them, and the memory erase.
#include "app/console.h"
#include "app/recorder_presence.h"
#include "app/updater.h"
#include "controller/controller_commands.h"
#include "firmware/image_programmer.h"
#include "firmware/image_store.h"
#include "firmware/memory_erase.h"
#include "platform/platform.h"

#include <algorithm>
#include <mutex>
#include <optional>

namespace qdp {
namespace {

int EndAfterKey(const RunMode& mode, const char* message, int exitCode) {
    Print("%s", message);
    Print("\r\nPress any key to exit.\r\n");
    WaitForExitKey(mode);
    return exitCode;
}

int ImageDamaged(const RunMode& mode) { return EndAfterKey(mode, kImageDamaged, kExitFailed); }

enum class Restart { Back, NeverLeft, NotBack };

// Waits until the recorder has left the host and come back, with back-to-back polls,
// each half within its bound.
Restart WaitForRestart(RecorderRun& run) {
    const std::uint64_t restarted = os::SteadyMs();
    while (RecorderConnected(run)) {
        if (os::SteadyMs() - restarted >= kLeaveBoundMs) {
            return Restart::NeverLeft;
        }
    }
    const std::uint64_t left = os::SteadyMs();
    while (!RecorderConnected(run)) {
        if (os::SteadyMs() - left >= kReturnBoundMs) {
            return Restart::NotBack;
        }
    }
    return Restart::Back;
}

// A restart and the wait for the recorder's return, in turn with the other recorders'
// where the run takes turns.
Restart RestartAndWait(RecorderRun& run) {
    std::unique_lock<std::mutex> turn;
    if (run.restartTurn != nullptr) {
        turn = std::unique_lock<std::mutex>(*run.restartTurn);
    }
    // The restart's result tells nothing that the recorder's leaving and return do not
    // tell better.
    static_cast<void>(Ctrl_Restart());
    return WaitForRestart(run);
}

Outcome Lost(Restart restart) {
    return restart == Restart::NeverLeft ? Outcome::NotRestarted : Outcome::NotBack;
}

// Announces the replacement, clears the installed firmware's marker and an earlier
// installer's mark, restarts into the boot loader, writes the image and, when that
// succeeded, restarts into it. From the announcement on, Ctrl+C does not end the
// program.
Outcome ReplaceProgram(RecorderRun& run, const char* announcement, const ImageBuffer& image) {
    const InterruptGuard guard;
    Print("%s", announcement);
    // With both marks gone, no page that this run rewrites belongs to a program that a
    // power-up would start. When either erase fails, the program that starts now must
    // not be written over: the run ends here, before the restart, as failed.
    if (!Ctrl_ErasePage(kFirmwareStatusAddress) || !Ctrl_ErasePage(kInstallerMarkPage)) {
        return Outcome::Failed;
    }
    if (const Restart restart = RestartAndWait(run); restart != Restart::Back) {
        return Lost(restart);
    }
    if (!ProgramImage(image, run.mode.verify)) {
        return Outcome::Failed;
    }
    Print("OK\n");
    const Restart restart = RestartAndWait(run);
    return restart == Restart::Back ? Outcome::Updated : Lost(restart);
}

// The boot loader read back, where it should be the one offered.
Outcome BootLoaderAsOffered() {
    return VerifyMemory(kBootLoaderRecordAddress, BootLoaderSection()) ? Outcome::Updated
                                                                       : Outcome::BootLoaderDiffers;
}

// Ctrl+C is ignored while any recorder is being rewritten, by however many threads.
int Rewriting = 0;
std::mutex RewritingMutex;

} // namespace

InterruptGuard::InterruptGuard() {
    const std::lock_guard<std::mutex> lock(RewritingMutex);
    if (Rewriting++ == 0) {
        os::IgnoreInterrupt(true);
    }
}

InterruptGuard::~InterruptGuard() {
    const std::lock_guard<std::mutex> lock(RewritingMutex);
    if (--Rewriting == 0) {
        os::IgnoreInterrupt(false);
    }
}

std::optional<int> Refusal(const RunMode& mode, std::uint16_t upper, std::uint16_t lower) {
    if (mode.unattended) {
        Print("%c\n", static_cast<char>(upper));
        return std::nullopt;
    }
    const std::uint16_t typed = ReadKey();
    if (typed == kNoConsoleKey) {
        Print("%s", kNoConsole);
        return kExitFailed;
    }
    return typed == upper || typed == lower ? std::nullopt : std::optional<int>(kExitDone);
}

void WaitForExitKey(const RunMode& mode) {
    if (!mode.unattended) {
        ReadKey();
    }
}

bool BootLoaderAccepted(const BootLoaderRecord& installed, bool diag) {
    const BootLoaderRecord& offered = Firmware.ImageBootLoaderRecord;
    return diag ||
           std::equal(std::begin(installed.identification), std::end(installed.identification),
                      std::begin(offered.identification));
}

bool BootLoaderReplaced(std::uint16_t installedVersion, bool diag) {
    return diag || installedVersion < Firmware.ImageBootLoaderRecord.version;
}

Examined Examine(RecorderRun& run) {
    if (!Ctrl_ReadBootLoaderRecord(&run.installedBootLoader)) {
        return Examined::BootLoaderNotFound;
    }
    if (!BootLoaderAccepted(run.installedBootLoader, run.mode.diag)) {
        return Examined::BootLoaderNotCompatible;
    }
    run.firmwareValid =
        Ctrl_ReadFirmwareStatus(&run.installedFirmware) && run.installedFirmware.version != 0;
    return Examined::Ready;
}

const char* EndMessage(Outcome outcome) {
    switch (outcome) {
    case Outcome::Failed: return "Failed\n";
    case Outcome::NotRestarted: return "\r\nERROR: Recorder did not restart.\r\n";
    case Outcome::NotBack: return "\r\nERROR: Recorder did not come back after restart.\r\n";
    case Outcome::BootLoaderDiffers: return "\r\nERROR: Boot Loader verification failed.\r\n";
    case Outcome::Updated: break;
    }
    return "";
}

Outcome CarryOut(RecorderRun& run, bool replaceBootLoader) {
    const std::uint16_t installed = run.installedBootLoader.version;
    const std::uint16_t offered = Firmware.ImageBootLoaderRecord.version;
    // With --verify, the boot loader is read back wherever it should be the one offered:
    // after its replacement, and at the end when it was already that one.
    const bool offeredAtEnd =
        run.mode.verify &&
        (replaceBootLoader ||
         (installed == offered && BootLoaderAccepted(run.installedBootLoader, false)));
    Outcome outcome = Outcome::Updated;
    if (replaceBootLoader) {
        outcome = ReplaceProgram(run, "Replacing Boot Loader", Firmware.ReplacementImage);
        if (outcome == Outcome::Updated && run.mode.verify) {
            outcome = BootLoaderAsOffered();
        }
    }
    if (outcome == Outcome::Updated) {
        outcome = ReplaceProgram(run, "Replacing firmware", Firmware.FirmwareImage);
    }
    if (outcome == Outcome::Updated && offeredAtEnd) {
        outcome = BootLoaderAsOffered();
    }
    if (outcome != Outcome::Updated) {
        Print("%s", EndMessage(outcome));
        return outcome;
    }
    Print("Erasing memory");
    // The erase prints its own progress; its result changes nothing that follows.
    if (run.firmwareValid) {
        static_cast<void>(EraseMemory());
    }
    return Outcome::Updated;
}

int RunUpdate(RecorderRun& run) {
    const RunMode& mode = run.mode;
    if (!LoadFirmwareImage()) {
        return ImageDamaged(mode);
    }
    const Examined examined = Examine(run);
    if (examined == Examined::BootLoaderNotFound) {
        return EndAfterKey(mode,
                           "ERROR: Boot Loader is not found. Firmware loading is not possible.\r\n",
                           kExitFailed);
    }
    const std::uint16_t installed = run.installedBootLoader.version;
    Print("Current Boot Loader version: %d.%d\n", VersionMajor(installed), VersionMinor(installed));
    if (examined == Examined::BootLoaderNotCompatible) {
        return EndAfterKey(mode,
                           "ERROR: Boot Loader is not compatible with this software.\r\n"
                           "Firmware loading is not possible.\r\n",
                           kExitFailed);
    }
    if (run.firmwareValid) {
        const std::uint16_t version = run.installedFirmware.version;
        Print("Current firmware version: %d.%d\n", VersionMajor(version), VersionMinor(version));
    } else {
        Print("Current firmware version: unavailable.\n");
    }

    const std::uint16_t offered = Firmware.ImageFirmwareStatus.version;
    Print("Press 'Y' to load firmware version %d.%d or other key to exit.\n", VersionMajor(offered),
          VersionMinor(offered));
    if (const auto end = Refusal(mode, kKeyY, kKeyYLower)) {
        return *end;
    }
    Print("\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n");
    Print("Press 'L' to confirm load or other key to exit.\n");
    if (const auto end = Refusal(mode, kKeyL, kKeyLLower)) {
        return *end;
    }

    const bool replaced = BootLoaderReplaced(installed, mode.diag);
    if (replaced) {
        if (!LoadReplacementImage()) {
            return ImageDamaged(mode);
        }
        const std::uint16_t target = Firmware.ImageBootLoaderRecord.version;
        Print("\nIt is necessary to upgrade Boot Loader before firmware loading.\n");
        Print("Press 'Y' to upgrade Boot Loader %d.%d to version %d.%d or other key to exit.\n",
              VersionMajor(installed), VersionMinor(installed), VersionMajor(target),
              VersionMinor(target));
        if (const auto end = Refusal(mode, kKeyY, kKeyYLower)) {
            return *end;
        }
    }
    switch (CarryOut(run, replaced)) {
    case Outcome::Updated:
        return EndAfterKey(mode, "\nDisconnect recorder to apply firmware changes.\n", kExitDone);
    case Outcome::Failed:
        Print("Press any key to exit.\n");
        WaitForExitKey(mode);
        return kExitFailed;
    case Outcome::NotRestarted:
    case Outcome::NotBack:
        // Why its drive would not open, when that explains the end.
        TellLastDriveProblem(run.deviceName);
        break;
    case Outcome::BootLoaderDiffers: break;
    }
    return EndAfterKey(mode, "", kExitFailed);
}

} // namespace qdp
