// --all: every connected recorder updated at once. The questions are asked once for
// all; then each recorder goes through the whole single-recorder sequence on a thread
// of its own, followed across its restarts by the USB port it is plugged into (its
// drive number may change), while the others go on. At the end, a summary.
#include "app/console.h"
#include "app/options.h"
#include "app/progress_lines.h"
#include "app/recorder_presence.h"
#include "app/updater.h"
#include "controller/controller_commands.h"
#include "firmware/console_text.h"
#include "firmware/image_store.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"
#include "transport/command_log.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace qdp {
namespace {

using Json = nlohmann::ordered_json;

// One recorder of the run: its update, and what the operator is told of it.
struct Member {
    std::unique_ptr<RecorderRun> run;
    std::string device;
    std::string node; // the system's name, when it differs from the device path
    Examined examined = Examined::Ready;
    bool left = false; // gone since it was found
    bool replace = false;
    std::string bootLoaderBefore, firmwareBefore, bootLoaderAfter, firmwareAfter;
    std::optional<Outcome> outcome;

    bool Updatable() const { return !left && examined == Examined::Ready; }
    std::string Name() const {
        return device + (node.empty() ? "" : " (" + node + ")") +
               (run->port[0] != '\0' ? std::string(", port ") + run->port.data() : "");
    }
};

std::string VersionText(std::uint16_t version) {
    return std::to_string(VersionMajor(version)) + "." + std::to_string(VersionMinor(version));
}

// The versions the recorder holds now; empty when they cannot be read.
void ReadVersions(std::string& bootLoader, std::string& firmware) {
    BootLoaderRecord record{};
    FirmwareStatusRecord status{};
    bootLoader = Ctrl_ReadBootLoaderRecord(&record) ? VersionText(record.version) : "";
    firmware = !bootLoader.empty() && Ctrl_ReadFirmwareStatus(&status) && status.version != 0
                   ? VersionText(status.version)
                   : "";
}

const char* OutcomeName(const Member& member) {
    if (member.left) {
        return "left";
    }
    if (member.examined == Examined::BootLoaderNotFound) {
        return "boot-loader-not-found";
    }
    if (member.examined == Examined::BootLoaderNotCompatible) {
        return "boot-loader-not-compatible";
    }
    switch (member.outcome.value_or(Outcome::Failed)) {
    case Outcome::Updated: return "updated";
    case Outcome::Failed: return "failed";
    case Outcome::NotRestarted: return "did-not-restart";
    case Outcome::NotBack: return "did-not-come-back";
    case Outcome::BootLoaderDiffers: return "boot-loader-verification-failed";
    }
    return "failed";
}

std::string OutcomeWords(const Member& member) {
    if (member.left) {
        return "left before it was updated";
    }
    if (member.examined == Examined::BootLoaderNotFound) {
        return "not updated: Boot Loader is not found";
    }
    if (member.examined == Examined::BootLoaderNotCompatible) {
        return "not updated: Boot Loader is not compatible with this software";
    }
    if (member.outcome == Outcome::Updated) {
        return "updated";
    }
    std::string message = EndMessage(member.outcome.value_or(Outcome::Failed));
    std::erase_if(message, [](char c) { return c == '\r' || c == '\n'; });
    return "not updated: " + message;
}

// A version after the run: read from a recorder that was updated; the one before on a
// recorder never written to; not read (nullopt) from one whose update failed, which may
// be gone, or on a drive number that another recorder holds now.
std::optional<std::string> After(const Member& member, const std::string& before,
                                 const std::string& after) {
    if (member.outcome == Outcome::Updated) {
        return after;
    }
    return member.outcome.has_value() ? std::nullopt : std::optional(before);
}

std::string Versions(const std::string& before, const std::optional<std::string>& after) {
    const auto shown = [](const std::string& version) {
        return version.empty() ? std::string("unavailable") : version;
    };
    return shown(before) + " -> " + (after ? shown(*after) : "not read");
}

// The recorder's update on its own thread: its text to its line, its name in every
// line of the command log.
void Update(Member& member, ProgressLines& lines, std::size_t index) {
    RecorderRun& run = *member.run;
    SetTextSink(&lines.Sink(index));
    LogRecorderTag(member.Name());
    if (!RecorderConnected(run)) { // selects it for this thread, or finds it gone
        member.left = true;
    } else {
        member.outcome = CarryOut(run, member.replace);
        if (member.outcome == Outcome::Updated) {
            ReadVersions(member.bootLoaderAfter, member.firmwareAfter);
        }
    }
    SetTextSink(nullptr);
    LogRecorderTag("");
    lines.Finish(index, OutcomeWords(member));
}

} // namespace

int UpdateAll(const RunOptions& options) {
    const RunMode mode{options.diag, options.yes, options.verify};
    if (!LoadFirmwareImage()) {
        Print("ERROR: Firmware image is damaged. Firmware loading is not possible.\r\n");
        return kExitFailed;
    }

    // Every recorder, read and shown as --list shows it.
    std::array<char*, 9> found{};
    const std::int32_t count = QDp_GetDevices(found.data());
    std::vector<Member> members;
    bool everyPortKnown = true;
    for (std::int32_t i = 0; i < count; ++i) {
        Member member;
        member.run = std::make_unique<RecorderRun>(mode);
        member.run->deviceName = static_cast<char*>(std::malloc(std::strlen(found[i]) + 1));
        if (member.run->deviceName == nullptr) {
            continue;
        }
        std::strcpy(member.run->deviceName, found[i]);
        member.device = found[i];
        const os::NodeName node = os::DriveNodeName(found[i]);
        member.node = member.device != node.data() ? node.data() : "";
        everyPortKnown = PortOf(found[i], member.run->port) && everyPortKnown;
        member.left = !RecorderConnected(*member.run);
        if (!member.left) {
            member.examined = Examine(*member.run);
            ReadVersions(member.bootLoaderBefore, member.firmwareBefore);
            member.replace = member.Updatable() &&
                             BootLoaderReplaced(member.run->installedBootLoader.version, mode.diag);
        }
        std::string line = member.Name() + ": ";
        if (member.Updatable()) {
            line += "Boot Loader " + member.bootLoaderBefore + ", firmware " +
                    (member.firmwareBefore.empty() ? "unavailable" : member.firmwareBefore) +
                    (member.replace ? ": Boot Loader first" : "") + "\n";
        } else {
            line += OutcomeWords(member) + "\n";
        }
        ShowText(line);
        members.push_back(std::move(member));
    }
    QDp_FreeDevices(found.data(), count);

    std::size_t updatable = 0;
    std::size_t replacing = 0;
    for (const Member& member : members) {
        updatable += member.Updatable() ? 1 : 0;
        replacing += member.replace ? 1 : 0;
    }
    if (updatable == 0) {
        TellDriveProblems(0); // why nothing was found, where a drive would not open
        Print(members.empty() ? "No recorder is connected.\n" : "No recorder can be updated.\n");
        if (options.json) {
            ShowDocument("[]\n");
        }
        return kExitFailed;
    }

    // The questions, once for all.
    const auto consent = [&](std::uint16_t upper, std::uint16_t lower) {
        if (mode.unattended) {
            Print("%c\n", static_cast<char>(upper));
            return true;
        }
        const std::uint16_t key = ReadKey();
        return key == upper || key == lower;
    };
    const std::uint16_t offered = Firmware.ImageFirmwareStatus.version;
    Print("Press 'Y' to load firmware version %d.%d onto %u recorder%s or other key to exit.\n",
          VersionMajor(offered), VersionMinor(offered), static_cast<unsigned>(updatable),
          updatable == 1 ? "" : "s");
    if (!consent(kKeyY, kKeyYLower)) {
        return kExitDone;
    }
    Print("\r\nWARNING: Loading firmware will erase ALL data on %s.\r\n",
          updatable == 1 ? "this recorder" : "these recorders");
    Print("Press 'L' to confirm load or other key to exit.\n");
    if (!consent(kKeyL, kKeyLLower)) {
        return kExitDone;
    }
    if (replacing > 0) {
        if (!LoadReplacementImage()) {
            Print("ERROR: Firmware image is damaged. Firmware loading is not possible.\r\n");
            return kExitFailed;
        }
        const std::uint16_t target = Firmware.ImageBootLoaderRecord.version;
        Print(
            "\nIt is necessary to upgrade Boot Loader of %u recorder%s before firmware loading.\n",
            static_cast<unsigned>(replacing), replacing == 1 ? "" : "s");
        Print("Press 'Y' to upgrade Boot Loader to version %d.%d or other key to exit.\n",
              VersionMajor(target), VersionMinor(target));
        if (!consent(kKeyY, kKeyYLower)) {
            return kExitDone;
        }
    }

    // Each recorder on a thread of its own. Where some recorder has no port to be
    // followed by, restarts take turns, so that each returns to the number it left.
    std::mutex restartTurn;
    std::vector<std::string> names;
    std::vector<Member*> updating;
    for (Member& member : members) {
        if (member.Updatable()) {
            member.run->restartTurn = everyPortKnown ? nullptr : &restartTurn;
            if (!everyPortKnown) {
                member.run->port.fill('\0'); // followed by its drive number, as it stays
            }
            names.push_back(member.Name());
            updating.push_back(&member);
        }
    }
    Print("\n");
    // The lines are written past any thread's text sink: the workers' own text is what
    // they show, and what the command log keeps.
    ProgressLines lines(names, !options.json && os::OutputIsTerminal(), [&](std::string_view text) {
        if (options.json) {
            StandardErrorSink().Show(text);
        } else {
            os::WriteText(text);
        }
    });
    {
        const InterruptGuard guard; // Ctrl+C does not end the program while any is rewritten
        std::vector<std::thread> workers;
        for (std::size_t i = 0; i < updating.size(); ++i) {
            try {
                workers.emplace_back(Update, std::ref(*updating[i]), std::ref(lines), i);
            } catch (const std::system_error&) { // no thread: updated here, after the others
                workers.emplace_back();
            }
        }
        for (std::size_t i = 0; i < workers.size(); ++i) {
            if (workers[i].joinable()) {
                workers[i].join();
            } else {
                Update(*updating[i], lines, i);
            }
        }
    }

    // The summary.
    bool allUpdated = true;
    Json summary = Json::array();
    std::string text = "\nSummary:\n";
    for (const Member& member : members) {
        allUpdated = allUpdated && member.outcome == Outcome::Updated;
        const auto bootLoaderAfter = After(member, member.bootLoaderBefore, member.bootLoaderAfter);
        const auto firmwareAfter = After(member, member.firmwareBefore, member.firmwareAfter);
        text += member.Name() + ": Boot Loader " +
                Versions(member.bootLoaderBefore, bootLoaderAfter) + ", firmware " +
                Versions(member.firmwareBefore, firmwareAfter) + ": " + OutcomeWords(member) + "\n";
        Json object;
        object["device"] = member.device;
        object["node"] = member.node.empty() ? Json(nullptr) : Json(member.node);
        object["port"] =
            member.run->port[0] != '\0' ? Json(member.run->port.data()) : Json(nullptr);
        const std::string none;
        for (const auto& [name, value] :
             {std::pair{"boot_loader_before", &member.bootLoaderBefore},
              {"boot_loader_after", bootLoaderAfter ? &*bootLoaderAfter : &none},
              {"firmware_before", &member.firmwareBefore},
              {"firmware_after", firmwareAfter ? &*firmwareAfter : &none}}) {
            object[name] = value->empty() ? Json(nullptr) : Json(*value);
        }
        object["outcome"] = OutcomeName(member);
        object["summary"] = OutcomeWords(member);
        summary.push_back(object);
    }
    ShowText(text);
    if (options.json) {
        ShowDocument(summary.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
    }
    Print("\nDisconnect the recorders to apply firmware changes.\n\r\nPress any key to exit.\r\n");
    WaitForExitKey(mode);
    return allUpdated ? kExitDone : kExitFailed;
}

} // namespace qdp
