// --list: what each connected recorder holds and what an update would do to it. It
// reads the two records (with --verify, the program area and the boot loader too) and
// writes nothing.
#include "app/console.h"
#include "app/options.h"
#include "app/recorder_presence.h"
#include "app/recorder_report.h"
#include "app/updater.h"
#include "controller/controller_commands.h"
#include "firmware/console_text.h"
#include "firmware/image_programmer.h"
#include "firmware/image_store.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qdp {
namespace {

enum class Action { Update, BootLoaderNotFound, BootLoaderNotCompatible, Left };

struct Listed {
    RecorderPlace place;
    std::string bootLoader; // empty: not found
    std::string firmware;   // empty: unavailable
    Action action = Action::Update;
    bool bootLoaderFirst = false;
    // With --verify: whether what it holds equals what this updater carries; nothing
    // when it could not be read.
    std::optional<bool> programMatches;
    std::optional<bool> bootLoaderMatches;
};

// A read failed: the recorder may have left while it was read.
bool StillThere(const char* devicePath) {
    std::string copy = devicePath;
    char* name = copy.data(); // a name given is only read
    return RecorderConnected(&name);
}

// Compares what the recorder holds at `first` with `expected`; nothing when the
// recorder left meanwhile, false when it differs or could not be read.
std::optional<bool> Matches(const char* devicePath, std::uint32_t first,
                            std::span<const std::uint8_t> expected, Listed& listed) {
    if (VerifyMemory(first, expected)) {
        return true;
    }
    if (!StillThere(devicePath)) {
        listed.action = Action::Left;
    }
    return false;
}

// Reads the records of the recorder that DevicePath names now.
Listed Read(const char* devicePath, bool verify, bool diag) {
    Listed listed;
    listed.place = PlaceOf(devicePath);
    BootLoaderRecord bootLoader{};
    if (!Ctrl_ReadBootLoaderRecord(&bootLoader)) {
        listed.action = StillThere(devicePath) ? Action::BootLoaderNotFound : Action::Left;
        return listed;
    }
    listed.bootLoader = VersionText(bootLoader.version);
    FirmwareStatusRecord firmware{};
    if (Ctrl_ReadFirmwareStatus(&firmware) && firmware.version != 0) {
        listed.firmware = VersionText(firmware.version);
    } else if (!StillThere(devicePath)) {
        listed.action = Action::Left;
        return listed;
    }
    if (verify) {
        listed.programMatches = Matches(
            devicePath, 0, std::span(Firmware.FirmwareImage).first(kProgramAreaSize), listed);
        if (listed.action != Action::Left) {
            listed.bootLoaderMatches =
                Matches(devicePath, kBootLoaderRecordAddress, BootLoaderSection(), listed);
        }
        if (listed.action == Action::Left) {
            listed.programMatches.reset();
            listed.bootLoaderMatches.reset();
            return listed;
        }
    }
    if (!BootLoaderAccepted(bootLoader, diag)) {
        listed.action = Action::BootLoaderNotCompatible;
    } else {
        listed.bootLoaderFirst = BootLoaderReplaced(bootLoader.version, diag);
    }
    return listed;
}

std::string Summary(const Listed& listed) {
    switch (listed.action) {
    case Action::BootLoaderNotFound: return "boot loader not found";
    case Action::BootLoaderNotCompatible: return "boot loader not compatible";
    case Action::Left: return "left while being read";
    case Action::Update: break;
    }
    std::string text = listed.firmware.empty() ? "installed firmware unavailable: " : "";
    text += "update to " + VersionText(Firmware.ImageFirmwareStatus.version);
    if (listed.bootLoaderFirst) {
        text +=
            " with boot-loader " + VersionText(Firmware.ImageBootLoaderRecord.version) + " first";
    }
    return text;
}

const char* ActionName(Action action) {
    switch (action) {
    case Action::BootLoaderNotFound: return "boot-loader-not-found";
    case Action::BootLoaderNotCompatible: return "boot-loader-not-compatible";
    case Action::Left: return "left";
    case Action::Update: break;
    }
    return "update";
}

std::string Verified(const char* what, std::optional<bool> matches, const std::string& offered) {
    return std::string(what) +
           (matches ? (*matches ? " equals " : " differs from ") + offered : " could not be read");
}

std::string Line(const Listed& listed, bool verify) {
    std::string line = listed.place.Name();
    if (listed.action == Action::Left) {
        return line + ": " + Summary(listed) + "\n";
    }
    line += ": Boot Loader " + (listed.bootLoader.empty() ? "not found" : listed.bootLoader);
    if (!listed.bootLoader.empty()) {
        line += ", firmware " + (listed.firmware.empty() ? "unavailable" : listed.firmware);
    }
    line += ": " + Summary(listed);
    if (verify && !listed.bootLoader.empty()) {
        line += "; " +
                Verified("program area", listed.programMatches,
                         "firmware " + VersionText(Firmware.ImageFirmwareStatus.version)) +
                ", " +
                Verified("boot loader", listed.bootLoaderMatches,
                         VersionText(Firmware.ImageBootLoaderRecord.version));
    }
    return line + "\n";
}

using qdp::Nullable;
Json Nullable(std::optional<bool> flag) { return flag ? Json(*flag) : Json(nullptr); }

Json JsonObject(const Listed& listed, bool verify) {
    Json object;
    object["device"] = listed.place.device;
    object["node"] = Nullable(listed.place.node);
    object["port"] = Nullable(listed.place.port);
    object["boot_loader"] = Nullable(listed.bootLoader);
    object["firmware"] = Nullable(listed.firmware);
    object["offered_firmware"] = VersionText(Firmware.ImageFirmwareStatus.version);
    object["offered_boot_loader"] = VersionText(Firmware.ImageBootLoaderRecord.version);
    object["action"] = ActionName(listed.action);
    object["boot_loader_first"] = listed.bootLoaderFirst;
    object["summary"] = Summary(listed);
    if (verify) {
        object["program_matches_offered"] = Nullable(listed.programMatches);
        object["boot_loader_matches_offered"] = Nullable(listed.bootLoaderMatches);
    }
    return object;
}

} // namespace

int ListRecorders(const RunOptions& options, char* deviceName) {
    if (!LoadFirmwareImage()) {
        ShowText("The firmware image it carries is damaged.\n");
        return kExitFailed;
    }
    std::array<char*, 9> found{};
    std::int32_t count = 0;
    if (deviceName != nullptr) {
        found[0] = deviceName;
        count = 1;
    } else {
        count = QDp_GetDevices(found.data());
    }
    std::vector<Listed> listing;
    for (std::int32_t i = 0; i < count; ++i) {
        char* name = found[i];
        // The listing selected none of them: select each before reading it.
        if (!RecorderConnected(&name)) {
            if (deviceName == nullptr) { // it answered the scan a moment ago
                Listed left;
                left.place = PlaceOf(found[i]);
                left.action = Action::Left;
                listing.push_back(left);
            }
            continue;
        }
        listing.push_back(Read(found[i], options.verify, options.diag));
    }
    if (deviceName == nullptr) {
        QDp_FreeDevices(found.data(), count);
    }
    if (listing.empty()) {
        TellDriveProblems(0); // why nothing was found, where a drive would not open
        if (options.device != nullptr) {
            ShowText(std::string("No recorder answers at ") + options.device + ".\n");
            return kExitFailed;
        }
    }
    if (options.json) {
        Json array = Json::array();
        for (const Listed& listed : listing) {
            array.push_back(JsonObject(listed, options.verify));
        }
        ShowDocument(JsonText(array));
    } else if (listing.empty()) {
        ShowText("No recorder is connected.\n");
    } else {
        std::string text;
        for (const Listed& listed : listing) {
            text += Line(listed, options.verify);
        }
        ShowText(text);
    }
    return kExitDone;
}

} // namespace qdp
