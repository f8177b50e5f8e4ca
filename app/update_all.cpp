// --all: every connected recorder updated at once. The questions are asked once for
// all; then each recorder goes through the whole single-recorder sequence on a thread
// of its own, followed across its restarts by the USB port it is plugged into (its
// drive number may change), while the others go on. At the end, a summary.
#include "app/console.h"
#include "app/options.h"
#include "app/progress_lines.h"
#include "app/recorder_presence.h"
#include "app/recorder_report.h"
#include "app/updater.h"
#include "controller/controller_commands.h"
#include "firmware/console_text.h"
#include "firmware/image_store.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"
#include "transport/command_log.h"

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

// One recorder of the run: its update, and what the operator is told of it.
struct Member {
    std::unique_ptr<RecorderRun> run;
    RecorderPlace place;
    Examined examined = Examined::Ready;
    bool left = false; // gone since it was found
    bool replace = false;
    std::string bootLoaderBefore, firmwareBefore, bootLoaderAfter, firmwareAfter;
    std::optional<Outcome> outcome;

    bool Updatable() const { return !left && examined == Examined::Ready; }
};

// The installed firmware's version; empty when it is unavailable.
std::string FirmwareVersion() {
    FirmwareStatusRecord status{};
    return Ctrl_ReadFirmwareStatus(&status) && status.version != 0 ? VersionText(status.version)
                                                                   : "";
}

// How a recorder's part of the run ended: its name in JSON, and in words.
struct Ending {
    const char* name;
    std::string words;
};

Ending EndingOf(const Member& member) {
    if (member.left) {
        return {"left", "left before it was updated"};
    }
    if (member.examined == Examined::BootLoaderNotFound) {
        return {"boot-loader-not-found", "not updated: Boot Loader is not found"};
    }
    if (member.examined == Examined::BootLoaderNotCompatible) {
        return {"boot-loader-not-compatible",
                "not updated: Boot Loader is not compatible with this software"};
    }
    const Outcome outcome = member.outcome.value_or(Outcome::Failed);
    std::string message = EndMessage(outcome);
    std::erase_if(message, [](char c) { return c == '\r' || c == '\n'; });
    switch (outcome) {
    case Outcome::Updated: return {"updated", "updated"};
    case Outcome::Failed: break;
    case Outcome::NotRestarted: return {"did-not-restart", "not updated: " + message};
    case Outcome::NotBack: return {"did-not-come-back", "not updated: " + message};
    case Outcome::BootLoaderDiffers:
        return {"boot-loader-verification-failed", "not updated: " + message};
    }
    return {"failed", "not updated: " + message};
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
    LogRecorderTag(member.place.Name());
    if (!RecorderConnected(run)) { // selects it for this thread, or finds it gone
        member.left = true;
    } else {
        member.outcome = CarryOut(run, member.replace);
        BootLoaderRecord record{};
        if (member.outcome == Outcome::Updated && Ctrl_ReadBootLoaderRecord(&record)) {
            member.bootLoaderAfter = VersionText(record.version);
            member.firmwareAfter = FirmwareVersion();
        }
    }
    SetTextSink(nullptr);
    LogRecorderTag("");
    lines.Finish(index, EndingOf(member).words);
}

} // namespace

int UpdateAll(const RunOptions& options) {
    const RunMode mode{options.diag, options.yes, options.verify};
    if (!LoadFirmwareImage()) {
        Print("%s", kImageDamaged);
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
        member.place = PlaceOf(found[i]);
        member.place.port.copy(member.run->port.data(), member.run->port.size() - 1);
        everyPortKnown = !member.place.port.empty() && everyPortKnown;
        member.left = !RecorderConnected(*member.run);
        if (!member.left) {
            const RecorderRun& run = *member.run;
            member.examined = Examine(*member.run);
            if (member.examined != Examined::BootLoaderNotFound) {
                member.bootLoaderBefore = VersionText(run.installedBootLoader.version);
            }
            if (member.examined == Examined::BootLoaderNotCompatible) {
                member.firmwareBefore = FirmwareVersion(); // not read by the examination
            } else if (run.firmwareValid) {
                member.firmwareBefore = VersionText(run.installedFirmware.version);
            }
            member.replace = member.Updatable() &&
                             BootLoaderReplaced(run.installedBootLoader.version, mode.diag);
        }
        std::string line = member.place.Name() + ": ";
        if (member.Updatable()) {
            line += "Boot Loader " + member.bootLoaderBefore + ", firmware " +
                    (member.firmwareBefore.empty() ? "unavailable" : member.firmwareBefore) +
                    (member.replace ? ": Boot Loader first" : "") + "\n";
        } else {
            line += EndingOf(member).words + "\n";
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
    const std::uint16_t offered = Firmware.ImageFirmwareStatus.version;
    Print("Press 'Y' to load firmware version %d.%d onto %u recorder%s or other key to exit.\n",
          VersionMajor(offered), VersionMinor(offered), static_cast<unsigned>(updatable),
          updatable == 1 ? "" : "s");
    if (const auto end = Refusal(mode, kKeyY, kKeyYLower)) {
        return *end;
    }
    Print("\r\nWARNING: Loading firmware will erase ALL data on %s.\r\n",
          updatable == 1 ? "this recorder" : "these recorders");
    Print("Press 'L' to confirm load or other key to exit.\n");
    if (const auto end = Refusal(mode, kKeyL, kKeyLLower)) {
        return *end;
    }
    if (replacing > 0) {
        if (!LoadReplacementImage()) {
            Print("%s", kImageDamaged);
            return kExitFailed;
        }
        const std::uint16_t target = Firmware.ImageBootLoaderRecord.version;
        Print(
            "\nIt is necessary to upgrade Boot Loader of %u recorder%s before firmware loading.\n",
            static_cast<unsigned>(replacing), replacing == 1 ? "" : "s");
        Print("Press 'Y' to upgrade Boot Loader to version %d.%d or other key to exit.\n",
              VersionMajor(target), VersionMinor(target));
        if (const auto end = Refusal(mode, kKeyY, kKeyYLower)) {
            return *end;
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
            if (!everyPortKnown) { // followed by its drive number, as it stays
                member.run->port.fill('\0');
                member.place.port.clear();
            }
            names.push_back(member.place.Name());
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
        const Ending ending = EndingOf(member);
        text += member.place.Name() + ": Boot Loader " +
                Versions(member.bootLoaderBefore, bootLoaderAfter) + ", firmware " +
                Versions(member.firmwareBefore, firmwareAfter) + ": " + ending.words + "\n";
        const auto nullable = [](const std::optional<std::string>& version) {
            return Nullable(version.value_or(""));
        };
        Json object;
        object["device"] = member.place.device;
        object["node"] = Nullable(member.place.node);
        object["port"] = Nullable(member.place.port);
        object["boot_loader_before"] = Nullable(member.bootLoaderBefore);
        object["boot_loader_after"] = nullable(bootLoaderAfter);
        object["firmware_before"] = Nullable(member.firmwareBefore);
        object["firmware_after"] = nullable(firmwareAfter);
        object["outcome"] = ending.name;
        object["summary"] = ending.words;
        summary.push_back(object);
    }
    ShowText(text);
    if (options.json) {
        ShowDocument(JsonText(summary));
    }
    Print("\nDisconnect the recorders to apply firmware changes.\n\r\nPress any key to exit.\r\n");
    WaitForExitKey(mode);
    return allUpdated ? kExitDone : kExitFailed;
}

} // namespace qdp
