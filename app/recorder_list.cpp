// --list: what each connected recorder holds and what an update would do to it. It
// reads the two records (with --verify, the program area and the boot loader too) and
// writes nothing.
#include "app/console.h"
#include "app/options.h"
#include "app/recorder_presence.h"
#include "app/updater.h"
#include "controller/controller_commands.h"
#include "firmware/console_text.h"
#include "firmware/image_programmer.h"
#include "firmware/image_store.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qdp {
namespace {

using Json = nlohmann::ordered_json;

enum class Action { Update, BootLoaderNotFound, BootLoaderNotCompatible, Left };

struct Listed {
    std::string device;
    std::string node;       // the system's name, when it differs from the device path
    std::string port;       // the USB port it is plugged into; empty: the system tells none
    std::string bootLoader; // empty: not found
    std::string firmware;   // empty: unavailable
    Action action = Action::Update;
    bool bootLoaderFirst = false;
    // With --verify: whether what it holds equals what this updater carries; nothing
    // when it could not be read.
    std::optional<bool> programMatches;
    std::optional<bool> bootLoaderMatches;
};

std::string VersionText(std::uint16_t version) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%d.%d", VersionMajor(version), VersionMinor(version));
    return text.data();
}

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

// Where the recorder that a device path names is: its path, node and port.
Listed Where(const char* devicePath) {
    Listed listed;
    listed.device = devicePath;
    const os::NodeName node = os::DriveNodeName(devicePath);
    if (listed.device != node.data()) {
        listed.node = node.data();
    }
    PortText port{};
    if (PortOf(devicePath, port)) {
        listed.port = port.data();
    }
    return listed;
}

// Reads the records of the recorder that DevicePath names now.
Listed Read(const char* devicePath, bool verify, bool diag) {
    Listed listed = Where(devicePath);
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
    std::string line = listed.device;
    if (!listed.node.empty()) {
        line += " (" + listed.node + ")";
    }
    if (!listed.port.empty()) {
        line += ", port " + listed.port;
    }
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

Json Nullable(const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); }

Json Nullable(std::optional<bool> flag) { return flag ? Json(*flag) : Json(nullptr); }

Json JsonObject(const Listed& listed, bool verify) {
    Json object;
    object["device"] = listed.device;
    object["node"] = Nullable(listed.node);
    object["port"] = Nullable(listed.port);
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

std::string JsonText(const Json& value) {
    // Text the program did not make (a device path given on the command line) may hold
    // any bytes: what is not UTF-8 is replaced, never thrown about.
    return value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
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
                Listed left = Where(found[i]);
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
