// --list: what each connected recorder holds and what an update would do to it. It
// reads the two records and writes nothing.
#include "app/console.h"
#include "app/updater.h"
#include "app/updater_state.h"
#include "controller/controller_commands.h"
#include "firmware/console_text.h"
#include "firmware/image_store.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qdp {
namespace {

enum class Action { Update, BootLoaderNotFound, BootLoaderNotCompatible };

struct Listed {
    std::string device;
    std::string node;       // the system's name, when it differs from the device path
    std::string bootLoader; // empty: not found
    std::string firmware;   // empty: unavailable
    Action action = Action::Update;
    bool bootLoaderFirst = false;
};

std::string VersionText(std::uint16_t version) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%d.%d", VersionMajor(version), VersionMinor(version));
    return text.data();
}

// Reads the records of the recorder that DevicePath names now.
Listed Examine(const char* devicePath) {
    Listed listed;
    listed.device = devicePath;
    const os::NodeName node = os::DriveNodeName(devicePath);
    if (listed.device != node.data()) {
        listed.node = node.data();
    }
    BootLoaderRecord bootLoader{};
    if (!Ctrl_ReadBootLoaderRecord(&bootLoader)) {
        listed.action = Action::BootLoaderNotFound;
        return listed;
    }
    listed.bootLoader = VersionText(bootLoader.version);
    FirmwareStatusRecord firmware{};
    if (Ctrl_ReadFirmwareStatus(&firmware) && firmware.version != 0) {
        listed.firmware = VersionText(firmware.version);
    }
    if (!BootLoaderAccepted(bootLoader)) {
        listed.action = Action::BootLoaderNotCompatible;
    } else {
        listed.bootLoaderFirst = BootLoaderReplaced(bootLoader.version);
    }
    return listed;
}

std::string Summary(const Listed& listed) {
    switch (listed.action) {
    case Action::BootLoaderNotFound: return "boot loader not found";
    case Action::BootLoaderNotCompatible: return "boot loader not compatible";
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

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

std::string JsonVersion(const std::string& version) {
    return version.empty() ? "null" : JsonString(version);
}

const char* ActionName(Action action) {
    switch (action) {
    case Action::BootLoaderNotFound: return "boot-loader-not-found";
    case Action::BootLoaderNotCompatible: return "boot-loader-not-compatible";
    case Action::Update: break;
    }
    return "update";
}

std::string Line(const Listed& listed) {
    std::string line = listed.device;
    if (!listed.node.empty()) {
        line += " (" + listed.node + ")";
    }
    line += ": Boot Loader " + (listed.bootLoader.empty() ? "not found" : listed.bootLoader);
    if (!listed.bootLoader.empty()) {
        line += ", firmware " + (listed.firmware.empty() ? "unavailable" : listed.firmware);
    }
    return line + ": " + Summary(listed) + "\n";
}

std::string JsonObject(const Listed& listed) {
    return "  {\"device\": " + JsonString(listed.device) +
           ", \"node\": " + (listed.node.empty() ? "null" : JsonString(listed.node)) +
           ", \"boot_loader\": " + JsonVersion(listed.bootLoader) +
           ", \"firmware\": " + JsonVersion(listed.firmware) + ", \"offered_firmware\": " +
           JsonString(VersionText(Firmware.ImageFirmwareStatus.version)) +
           ", \"offered_boot_loader\": " +
           JsonString(VersionText(Firmware.ImageBootLoaderRecord.version)) + ", \"action\": \"" +
           ActionName(listed.action) +
           "\", \"boot_loader_first\": " + (listed.bootLoaderFirst ? "true" : "false") +
           ", \"summary\": " + JsonString(Summary(listed)) + "}";
}

} // namespace

int ListRecorders(bool json) {
    if (!LoadFirmwareImage()) {
        Print("The firmware image it carries is damaged.\n");
        return kExitFailed;
    }
    std::array<char*, 9> found{};
    std::int32_t count = 0;
    if (Updater.DeviceName != nullptr) {
        found[0] = Updater.DeviceName;
        count = 1;
    } else {
        count = QDp_GetDevices(found.data());
    }
    std::string text = json ? "[\n" : "";
    int shown = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        char* name = found[i];
        // The listing selected none of them: select each before reading it.
        if (QDp_IsConnected(&name) == 0) {
            continue; // gone since it was found
        }
        const Listed listed = Examine(found[i]);
        text += json ? (shown > 0 ? ",\n" : "") + JsonObject(listed) : Line(listed);
        ++shown;
    }
    if (Updater.DeviceName == nullptr) {
        QDp_FreeDevices(found.data(), count);
    } else if (shown == 0) {
        Print("No recorder answers at %s.\n", Updater.DeviceName);
        return kExitFailed;
    }
    if (json) {
        text += shown > 0 ? "\n]\n" : "]\n";
    } else if (count == 0) {
        text = "No recorder is connected.\n";
    }
    ShowText(text);
    return kExitDone;
}

} // namespace qdp
