// The update: version report, identification check, consent, boot-loader and
// firmware replacement with the restarts between them, and the memory erase.
#include "app/console.h"
#include "app/recorder_presence.h"
#include "app/updater.h"
#include "app/updater_state.h"
#include "controller/controller_commands.h"
#include "firmware/image_programmer.h"
#include "firmware/image_store.h"
#include "firmware/memory_erase.h"
#include "platform/platform.h"

#include <algorithm>
#include <optional>

namespace qdp {
namespace {

bool IsYes(std::uint16_t key) { return key == kKeyY || key == kKeyYLower; }
bool IsLoad(std::uint16_t key) { return key == kKeyL || key == kKeyLLower; }

// The operator's answer to the prompt just shown: nothing when it is consent, else
// the program's exit code. Unattended, the consenting key is shown as if typed. With
// no console to type on, no answer is not taken for a "no".
std::optional<int> Refusal(bool (*consents)(std::uint16_t), char consentKey) {
    if (Updater.Unattended) {
        Print("%c\n", consentKey);
        return std::nullopt;
    }
    const std::uint16_t key = ReadKey();
    if (key == kNoConsoleKey) {
        Print("%s", kNoConsole);
        return kExitFailed;
    }
    return consents(key) ? std::nullopt : std::optional<int>(kExitDone);
}

int EndAfterKey(const char* message, int exitCode) {
    Print("%s", message);
    Print("\r\nPress any key to exit.\r\n");
    WaitForExitKey();
    return exitCode;
}

int BootLoaderDiffers() {
    return EndAfterKey("\r\nERROR: Boot Loader verification failed.\r\n", kExitFailed);
}

int ImageDamaged() {
    return EndAfterKey("ERROR: Firmware image is damaged. Firmware loading is not possible.\r\n",
                       kExitFailed);
}

// Keeps Ctrl+C from ending the program while the recorder is being rewritten.
class InterruptGuard {
  public:
    InterruptGuard() { os::IgnoreInterrupt(true); }
    ~InterruptGuard() { os::IgnoreInterrupt(false); }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

enum class Restart { Back, NeverLeft, NotBack };

// Waits until the recorder has left the host and come back under DeviceName, with
// back-to-back polls, each half within its bound.
Restart WaitForRestart() {
    const std::uint64_t restarted = os::SteadyMs();
    while (RecorderConnected(&Updater.DeviceName)) {
        if (os::SteadyMs() - restarted >= kLeaveBoundMs) {
            return Restart::NeverLeft;
        }
    }
    const std::uint64_t left = os::SteadyMs();
    while (!RecorderConnected(&Updater.DeviceName)) {
        if (os::SteadyMs() - left >= kReturnBoundMs) {
            return Restart::NotBack;
        }
    }
    return Restart::Back;
}

enum class Replacement { Done, ProgrammingFailed, NeverLeft, NotBack };

Replacement Lost(Restart restart) {
    return restart == Restart::NeverLeft ? Replacement::NeverLeft : Replacement::NotBack;
}

// Announces the replacement, clears the installed firmware's marker and an earlier
// installer's mark, restarts into the boot loader, writes the image and, when that
// succeeded, restarts into it. From the announcement on, Ctrl+C does not end the
// program.
Replacement ReplaceProgram(const char* announcement, const ImageBuffer& image) {
    InterruptGuard guard;
    Print("%s", announcement);
    // With both marks gone, no page that this run rewrites belongs to a program that a
    // power-up would start. When either erase fails, the program that starts now must
    // not be written over: the run ends here, before the restart, as failed. The
    // restart's result tells nothing that the recorder's leaving and return do not
    // tell better.
    if (!Ctrl_ErasePage(kFirmwareStatusAddress) || !Ctrl_ErasePage(kInstallerMarkPage)) {
        return Replacement::ProgrammingFailed;
    }
    static_cast<void>(Ctrl_Restart());
    if (const Restart restart = WaitForRestart(); restart != Restart::Back) {
        return Lost(restart);
    }
    if (!ProgramImage(image, Updater.Verify)) {
        return Replacement::ProgrammingFailed;
    }
    Print("OK\n");
    static_cast<void>(Ctrl_Restart());
    const Restart restart = WaitForRestart();
    return restart == Restart::Back ? Replacement::Done : Lost(restart);
}

// The end of a replacement that did not succeed.
int ReplacementFailed(Replacement replacement) {
    switch (replacement) {
    case Replacement::ProgrammingFailed:
        Print("Failed\n");
        Print("Press any key to exit.\n");
        WaitForExitKey();
        return kExitFailed;
    case Replacement::NeverLeft: Print("\r\nERROR: Recorder did not restart.\r\n"); break;
    case Replacement::NotBack:
    case Replacement::Done:
        Print("\r\nERROR: Recorder did not come back after restart.\r\n");
        break;
    }
    // Why its drive would not open, when that explains the end.
    TellLastDriveProblem(Updater.DeviceName);
    return EndAfterKey("", kExitFailed);
}

} // namespace

void WaitForExitKey() {
    if (!Updater.Unattended) {
        ReadKey();
    }
}

bool BootLoaderAccepted(const BootLoaderRecord& installed) {
    const BootLoaderRecord& offered = Firmware.ImageBootLoaderRecord;
    return Updater.DiagMode ||
           std::equal(std::begin(installed.identification), std::end(installed.identification),
                      std::begin(offered.identification));
}

bool BootLoaderReplaced(std::uint16_t installedVersion) {
    return Updater.DiagMode || installedVersion < Firmware.ImageBootLoaderRecord.version;
}

int RunUpdate() {
    if (!LoadFirmwareImage()) {
        return ImageDamaged();
    }
    BootLoaderRecord& installedBootLoader = Updater.InstalledBootLoaderRecord;
    if (!Ctrl_ReadBootLoaderRecord(&installedBootLoader)) {
        return EndAfterKey("ERROR: Boot Loader is not found. Firmware loading is not possible.\r\n",
                           kExitFailed);
    }
    const std::uint16_t installed = installedBootLoader.version;
    const BootLoaderRecord& offeredBootLoader = Firmware.ImageBootLoaderRecord;
    Print("Current Boot Loader version: %d.%d\n", VersionMajor(installed), VersionMinor(installed));
    if (!BootLoaderAccepted(installedBootLoader)) {
        return EndAfterKey("ERROR: Boot Loader is not compatible with this software.\r\n"
                           "Firmware loading is not possible.\r\n",
                           kExitFailed);
    }

    Updater.FirmwareValid = true;
    FirmwareStatusRecord& installedFirmware = Updater.InstalledFirmwareStatus;
    if (Ctrl_ReadFirmwareStatus(&installedFirmware) && installedFirmware.version != 0) {
        const std::uint16_t version = installedFirmware.version;
        Print("Current firmware version: %d.%d\n", VersionMajor(version), VersionMinor(version));
    } else {
        Print("Current firmware version: unavailable.\n");
        Updater.FirmwareValid = false;
    }

    const std::uint16_t offered = Firmware.ImageFirmwareStatus.version;
    Print("Press 'Y' to load firmware version %d.%d or other key to exit.\n", VersionMajor(offered),
          VersionMinor(offered));
    if (const auto end = Refusal(IsYes, kKeyY)) {
        return *end;
    }
    Print("\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n");
    Print("Press 'L' to confirm load or other key to exit.\n");
    if (const auto end = Refusal(IsLoad, kKeyL)) {
        return *end;
    }

    const std::uint16_t target = offeredBootLoader.version;
    // With --verify, the boot loader is read back wherever it should now be the one
    // offered: after its replacement, and at the end when it was already that one.
    const bool replaced = BootLoaderReplaced(installed);
    const bool offeredAtEnd =
        Updater.Verify &&
        (replaced || (installed == target && BootLoaderAccepted(installedBootLoader)));
    if (replaced) {
        if (!LoadReplacementImage()) {
            return ImageDamaged();
        }
        Print("\nIt is necessary to upgrade Boot Loader before firmware loading.\n");
        Print("Press 'Y' to upgrade Boot Loader %d.%d to version %d.%d or other key to exit.\n",
              VersionMajor(installed), VersionMinor(installed), VersionMajor(target),
              VersionMinor(target));
        if (const auto end = Refusal(IsYes, kKeyY)) {
            return *end;
        }
        if (const Replacement result =
                ReplaceProgram("Replacing Boot Loader", Firmware.ReplacementImage);
            result != Replacement::Done) {
            return ReplacementFailed(result);
        }
        if (Updater.Verify && !VerifyMemory(kBootLoaderRecordAddress, BootLoaderSection())) {
            return BootLoaderDiffers();
        }
    }

    if (const Replacement result = ReplaceProgram("Replacing firmware", Firmware.FirmwareImage);
        result != Replacement::Done) {
        return ReplacementFailed(result);
    }
    if (offeredAtEnd && !VerifyMemory(kBootLoaderRecordAddress, BootLoaderSection())) {
        return BootLoaderDiffers();
    }
    Print("Erasing memory");
    // The erase prints its own progress; its result changes nothing that follows.
    if (Updater.FirmwareValid) {
        static_cast<void>(EraseMemory());
    }
    return EndAfterKey("\nDisconnect recorder to apply firmware changes.\n", kExitDone);
}

} // namespace qdp
