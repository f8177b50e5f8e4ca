// The update: version report, identification check, consent, boot-loader and
// firmware replacement with the restarts between them, and the memory erase.
#include "app/console.h"
#include "app/updater.h"
#include "controller/controller_commands.h"
#include "firmware/image_programmer.h"
#include "firmware/image_store.h"
#include "firmware/memory_erase.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"

#include <algorithm>

namespace qdp {

BootLoaderRecord InstalledBootLoaderRecord{};
FirmwareStatusRecord InstalledFirmwareStatus{};
bool FirmwareValid = false;

namespace {

constexpr int Major(std::uint16_t version) { return version >> 8; }
constexpr int Minor(std::uint16_t version) { return version & 0xFF; }

bool IsYes(std::uint16_t key) { return key == kKeyY || key == kKeyYLower; }
bool IsLoad(std::uint16_t key) { return key == kKeyL || key == kKeyLLower; }

int EndAfterKey(const char* message) {
    Print("%s", message);
    Print("\r\nPress any key to exit.\r\n");
    ReadKey();
    return 0;
}

// Keeps Ctrl+C from ending the program while the recorder is being rewritten.
class InterruptGuard {
  public:
    InterruptGuard() { os::IgnoreInterrupt(true); }
    ~InterruptGuard() { os::IgnoreInterrupt(false); }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// Waits until the recorder has left the host and come back under DeviceName, with
// back-to-back polls. False when either half overran its bound.
bool WaitForRestart() {
    const std::uint64_t restarted = os::SteadyMs();
    while (QDp_IsConnected(&DeviceName) != 0) {
        if (os::SteadyMs() - restarted >= kLeaveBoundMs) {
            return false;
        }
    }
    const std::uint64_t left = os::SteadyMs();
    while (QDp_IsConnected(&DeviceName) == 0) {
        if (os::SteadyMs() - left >= kReturnBoundMs) {
            return false;
        }
    }
    return true;
}

enum class Replacement { Done, ProgrammingFailed, RecorderLost };

// Clears the installed firmware's marker, restarts into the boot loader, writes the
// image and, when that succeeded, restarts into it.
Replacement ReplaceProgram(const ImageBuffer& image) {
    InterruptGuard guard;
    Ctrl_ErasePage(kFirmwareStatusAddress);
    Ctrl_Restart();
    if (!WaitForRestart()) {
        return Replacement::RecorderLost;
    }
    if (!ProgramImage(image)) {
        return Replacement::ProgrammingFailed;
    }
    Print("OK\n");
    Ctrl_Restart();
    return WaitForRestart() ? Replacement::Done : Replacement::RecorderLost;
}

int RecorderLost() {
    return EndAfterKey("\r\nERROR: Recorder did not come back after restart.\r\n");
}

} // namespace

int RunUpdate() {
    if (!LoadFirmwareImage()) {
        return EndAfterKey(
            "ERROR: Firmware image is damaged. Firmware loading is not possible.\r\n");
    }
    if (!Ctrl_ReadBootLoaderRecord(&InstalledBootLoaderRecord)) {
        return EndAfterKey(
            "ERROR: Boot Loader is not found. Firmware loading is not possible.\r\n");
    }
    const std::uint16_t installed = InstalledBootLoaderRecord.version;
    Print("Current Boot Loader version: %d.%d\n", Major(installed), Minor(installed));
    if (!DiagMode && !std::equal(std::begin(InstalledBootLoaderRecord.identification),
                                 std::end(InstalledBootLoaderRecord.identification),
                                 std::begin(ImageBootLoaderRecord.identification))) {
        return EndAfterKey("ERROR: Boot Loader is not compatible with this software.\r\n"
                           "Firmware loading is not possible.\r\n");
    }

    FirmwareValid = true;
    if (Ctrl_ReadFirmwareStatus(&InstalledFirmwareStatus) && InstalledFirmwareStatus.version != 0) {
        const std::uint16_t version = InstalledFirmwareStatus.version;
        Print("Current firmware version: %d.%d\n", Major(version), Minor(version));
    } else {
        Print("Current firmware version: unavailable.\n");
        FirmwareValid = false;
    }

    const std::uint16_t offered = ImageFirmwareStatus.version;
    Print("Press 'Y' to load firmware version %d.%d or other key to exit.\n", Major(offered),
          Minor(offered));
    if (!IsYes(ReadKey())) {
        return 0;
    }
    Print("\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n");
    Print("Press 'L' to confirm load or other key to exit.\n");
    if (!IsLoad(ReadKey())) {
        return 0;
    }

    const std::uint16_t target = ImageBootLoaderRecord.version;
    if (DiagMode || installed < target) {
        if (!LoadReplacementImage()) {
            return EndAfterKey(
                "ERROR: Firmware image is damaged. Firmware loading is not possible.\r\n");
        }
        Print("\nIt is necessary to upgrade Boot Loader before firmware loading.\n");
        Print("Press 'Y' to upgrade Boot Loader %d.%d to version %d.%d or other key to exit.\n",
              Major(installed), Minor(installed), Major(target), Minor(target));
        if (!IsYes(ReadKey())) {
            return 0;
        }
        Print("Replacing Boot Loader");
        switch (ReplaceProgram(ReplacementImage)) {
        case Replacement::Done: break;
        case Replacement::ProgrammingFailed:
            Print("Failed\n");
            Print("Press any key to exit.\n");
            ReadKey();
            return 0;
        case Replacement::RecorderLost: return RecorderLost();
        }
    }

    Print("Replacing firmware");
    switch (ReplaceProgram(FirmwareImage)) {
    case Replacement::Done:
        Print("Erasing memory");
        if (FirmwareValid) {
            EraseMemory();
        }
        break;
    case Replacement::ProgrammingFailed:
        // Said here so that the dots are not taken for success.
        Print("Failed\n");
        break;
    case Replacement::RecorderLost: return RecorderLost();
    }
    return EndAfterKey("\nDisconnect recorder to apply firmware changes.\n");
}

} // namespace qdp
