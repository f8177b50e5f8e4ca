// A full update with boot-loader replacement, run once for every device command of
// the update with that one command failing, and once more with the recorder
// unplugged at that command. Each run forks from the fault-free update at the moment
// of its command, so only the rest of the update is run again. Then, as an operator
// would, the same recorder (plugged back in, when it was unplugged) is updated by a
// second run, which must finish the update.
#include "app/updater.h"
#include "app/updater_state.h"
#include "firmware/firmware_state.h"
#include "tests/support/test_support.h"
#include "transport/transport_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qdp::test {
namespace {

constexpr int kRecorderDrive = 2; // behind two other disks, so that they are probed too
const std::string kPress = "\r\nPress any key to exit.\r\n";
// Each end the updater may reach, with its exit code.
const std::vector<std::pair<std::string, int>> kEnds = {
    // The recorder vanished before it was first found: the device wait ends on Esc.
    {"Device is not connected.\nConnect device to continue or press Esc to exit.\n", 0},
    {"ERROR: Boot Loader is not found. Firmware loading is not possible.\r\n" + kPress, 2},
    {"ERROR: Boot Loader is not compatible with this software.\r\n"
     "Firmware loading is not possible.\r\n" +
         kPress,
     2},
    {"Failed\nPress any key to exit.\n", 2},
    {"\nDisconnect recorder to apply firmware changes.\n" + kPress, 0},
    {"\r\nERROR: Recorder did not restart.\r\n" + kPress, 2},
    {"\r\nERROR: Recorder did not come back after restart.\r\n" + kPress, 2},
};
const std::string kDots(53, '.');

enum class Phase { Other, ProgramBootLoader, ProgramFirmware };

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int RunUpdater() {
    std::string program = "QDp_FW_FirstUpdater";
    char* argv[] = {program.data(), nullptr};
    return UpdaterMain(1, argv);
}

// A recording made before the update, on the last page of the flash.
const std::vector<std::uint8_t> kRecording(2048, 0x5A);

void SetUpUpdate() {
    ResetProcess();
    Host().AttachOtherDisk(0);
    Host().AttachOtherDisk(1);
    sim::VirtualRecorder& recorder =
        AttachStandardRecorder(kRecorderDrive, OfferedByTheImage().bootLoader - 1, 0x0204);
    recorder.WriteFlash(recorder.geometry.TotalPages() - 1, kRecording);
    // The three consents, a key for the closing prompt, and an Esc for a device
    // wait that never ends otherwise.
    Host().Type("YLY.\x1b");
}

// The program memory of the recorder before the update, of the replacement program
// and of the firmware, as the fault-free update left them.
struct Images {
    std::vector<std::uint8_t> before, replacement, firmware;
};

// What a first run cut short at a command of `phase` left on the recorder, in words.
std::string StateLeft(const sim::VirtualRecorder& recorder, const Images& images, Phase phase) {
    const auto holds = [&](const std::vector<std::uint8_t>& image) {
        return std::equal(image.begin(), image.begin() + 0xD400, recorder.program.begin());
    };
    const std::string program = holds(images.firmware)      ? "new firmware"
                                : holds(images.replacement) ? "replacement program"
                                : holds(images.before)      ? "old firmware"
                                : phase == Phase::ProgramBootLoader
                                    ? "replacement program partly written"
                                : phase == Phase::ProgramFirmware ? "firmware partly written"
                                                                  : "program area changed";
    const auto bootLoaderOf = [&](const std::vector<std::uint8_t>& image) {
        return std::equal(image.begin() + 0xD800, image.begin() + 0xF800,
                          recorder.program.begin() + 0xD800);
    };
    const std::string bootLoader = bootLoaderOf(images.firmware) ? "new boot loader"
                                   : bootLoaderOf(images.before) ? "old boot loader"
                                                                 : "damaged boot loader";
    const bool marked =
        std::equal(recorder.program.begin() + 0xD3FC, recorder.program.begin() + 0xD400, "FWOK");
    return program + (marked ? ", status record valid, " : ", status record erased, ") + bootLoader;
}

// The second run, against the same recorder; what went wrong, empty when it finished
// the update. `kept` tells whether the recording made before the update survived.
std::string SecondRun(const Images& images, bool& kept) {
    if (Host().RecorderOn(kRecorderDrive) == nullptr) {
        Host().PlugIn(kRecorderDrive);
    }
    ResetTransportState();
    ResetFirmwareState();
    ResetUpdaterState();
    Host().faults.clear();
    Host().ClearTrace();
    Host().console.clear();
    Host().keys.clear();
    Host().Type("YLY.\x1b"); // whatever prompts it shows, answered as the operator would
    const int exitCode = RunUpdater();
    std::string found;
    if (exitCode != 0 || !EndsWith(Host().console, kEnds[4].first)) {
        found += "the second run ended with " + std::to_string(exitCode) + " after \"" +
                 Host().console.substr(Host().console.size() -
                                       std::min<std::size_t>(Host().console.size(), 60)) +
                 "\"; ";
    }
    const sim::VirtualRecorder* recorder = Host().RecorderOn(kRecorderDrive);
    if (recorder == nullptr) {
        return found + "the recorder did not come back; ";
    }
    if (!std::equal(images.firmware.begin(), images.firmware.begin() + 0xD400,
                    recorder->program.begin()) ||
        !std::equal(images.firmware.begin() + 0xD800, images.firmware.begin() + 0xF800,
                    recorder->program.begin() + 0xD800)) {
        found += "program memory or boot loader differs from the image; ";
    }
    for (const sim::CommandRecord& record : Host().Trace()) {
        if (record.drive != kRecorderDrive && record.block[0] != 0x12) {
            found += "the second run sent another disk a command other than INQUIRY; ";
            break;
        }
    }
    kept = recorder->ReadFlash(recorder->geometry.TotalPages() - 1) == kRecording;
    return found;
}

// What the run after a fault must show; an empty result means it held.
std::string Violations(int exitCode, Phase faultPhase) {
    std::string found;
    auto fail = [&](const std::string& why) { found += why + "; "; };
    const std::string& console = Host().console;
    bool knownEnd = false;
    for (const auto& [end, code] : kEnds) {
        if (EndsWith(console, end)) {
            knownEnd = true;
            if (exitCode != code) {
                fail("exit code " + std::to_string(exitCode) + " after \"" + end + "\"");
            }
        }
    }
    if (!knownEnd) {
        fail("unknown end");
    }
    std::size_t statusErases = 0;
    std::size_t writes = 0;
    for (const sim::CommandRecord& record : Host().Trace()) {
        if (record.drive != kRecorderDrive && record.block[0] != 0x12) {
            fail("a command other than INQUIRY reached another disk");
        }
        if (record.block[1] == 0x02 && record.data.size() == 3 && record.data[0] == 0x52 &&
            record.data[1] == 0xF5) {
            ++statusErases;
        }
        if (record.block[1] == 0x02 && !record.data.empty() && record.data[0] == 0x51) {
            ++writes;
        }
    }
    const bool erasedMemory = !Commands(0xC8, 0x0A).empty();
    if (console.find("Replacing Boot Loader" + kDots + "Failed\n") != std::string::npos &&
        (statusErases > 1 || writes > 1696 || erasedMemory)) {
        fail("the recorder was written after a failed boot-loader programming");
    }
    if (console.find("Current firmware version: unavailable.") != std::string::npos &&
        erasedMemory) {
        fail("memory erased although the installed firmware was unavailable");
    }
    // A fault in a programming run is always reported right after its dots.
    if (faultPhase == Phase::ProgramBootLoader &&
        console.find("Replacing Boot Loader" + kDots + "Failed\n") == std::string::npos) {
        fail("a failed boot-loader programming was not reported");
    }
    if (faultPhase == Phase::ProgramFirmware &&
        console.find("Replacing firmware" + kDots + "Failed\n") == std::string::npos) {
        fail("a failed firmware programming was not reported");
    }
    return found;
}

// The phase of every command of the fault-free update, by trace position.
std::vector<Phase> PhasesOfTheUpdate() {
    SetUpUpdate();
    EXPECT_EQ(RunUpdater(), 0);
    std::vector<Phase> phases;
    int runs = 0;
    bool inRun = false;
    for (const sim::CommandRecord& record : Host().Trace()) {
        const bool sendOrReceive =
            record.block[0] == 0xC8 && (record.block[1] == 0x02 || record.block[1] == 0x03);
        const bool frame = record.block[1] == 0x02 && !record.data.empty();
        if (frame) {
            const bool programming =
                record.data[0] == 0x51 || (record.data[0] == 0x52 && record.data[1] != 0xF5);
            if (programming && !inRun) {
                ++runs;
            }
            inRun = programming;
        }
        phases.push_back(sendOrReceive && inRun
                             ? (runs == 1 ? Phase::ProgramBootLoader : Phase::ProgramFirmware)
                             : Phase::Other);
    }
    return phases;
}

struct Outcome {
    std::size_t runs = 0;
    std::vector<std::string> failures;
    std::size_t recovered = 0;
    std::size_t recordingsKept = 0;
    std::map<std::string, std::size_t> statesLeft; // by what the first run left
};

// Runs the update once, forking at every command: the child takes the fault there
// and runs to the end; the parent waits for it and goes on without the fault.
Outcome RunMatrix(sim::FaultAction action, const std::vector<Phase>& phases, const Images& images) {
    Outcome outcome;
    SetUpUpdate();
    bool child = false;
    Phase childPhase = Phase::Other;
    int pipeEnds[2];
    // Children run side by side, one a processor; each reports through its pipe.
    struct Running {
        int pipe;
        std::size_t index;
    };
    std::map<pid_t, Running> running;
    const std::size_t parallel = std::max(1u, std::thread::hardware_concurrency());
    const auto reapOne = [&] {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, 0);
        const auto found = running.find(pid);
        if (found == running.end()) {
            return;
        }
        const auto [pipe, index] = found->second;
        running.erase(found);
        std::string report;
        char buffer[512];
        for (ssize_t got; (got = ::read(pipe, buffer, sizeof buffer)) > 0;) {
            report.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(pipe);
        ++outcome.runs;
        // The child's report: what the first run left, a line; whether the second
        // run recovered and kept the recording, a line; then what went wrong.
        const std::size_t first = report.find('\n');
        const std::size_t second = report.find('\n', first + 1);
        if (second != std::string::npos) {
            ++outcome.statesLeft[report.substr(0, first)];
            outcome.recovered += report[first + 1] == '1' ? 1 : 0;
            outcome.recordingsKept += report[first + 2] == '1' ? 1 : 0;
            report.erase(0, second + 1);
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            outcome.failures.push_back("command " + std::to_string(index) + ": " +
                                       (report.empty() ? "crashed" : report));
        }
    };
    Host().AddFault({[&](const sim::CommandView& view) {
                         if (child) {
                             return false;
                         }
                         while (running.size() >= parallel) {
                             reapOne();
                         }
                         std::fflush(nullptr);
                         if (::pipe(pipeEnds) != 0) {
                             return false;
                         }
                         const pid_t pid = ::fork();
                         if (pid == 0) {
                             child = true;
                             ::alarm(60); // a run that does not end is a failure too
                             childPhase = phases.at(view.index);
                             ::close(pipeEnds[0]);
                             return true;
                         }
                         ::close(pipeEnds[1]);
                         running[pid] = {pipeEnds[0], view.index};
                         return false;
                     },
                     action, -1});
    int exitCode = -1;
    try {
        exitCode = RunUpdater();
    } catch (...) {
        if (child) {
            ::_exit(3); // never back into the test framework
        }
        throw;
    }
    while (!child && !running.empty()) {
        reapOne();
    }
    if (child) {
        std::string violations = Violations(exitCode, childPhase);
        const sim::VirtualRecorder* recorder = Host().AnyRecorder();
        std::string report =
            (recorder ? StateLeft(*recorder, images, childPhase) : "no recorder") + "\n";
        bool kept = false;
        std::string unrecovered;
        try {
            unrecovered = SecondRun(images, kept);
        } catch (const std::exception& e) {
            unrecovered = e.what();
        }
        report += std::string(unrecovered.empty() ? "1" : "0") + (kept ? "1" : "0") + "\n";
        violations += unrecovered;
        report += violations;
        [[maybe_unused]] auto written = ::write(pipeEnds[1], report.data(), report.size());
        ::_exit(violations.empty() ? 0 : 1);
    }
    return outcome;
}

class FaultMatrix : public testing::TestWithParam<sim::FaultAction> {};

TEST_P(FaultMatrix, EveryCommandOfTheUpdateCanFailWithoutHarmAndARunAgainFinishesIt) {
    Images images;
    SetUpUpdate();
    images.before.assign(Host().AnyRecorder()->program.begin(),
                         Host().AnyRecorder()->program.end());
    const std::vector<Phase> phases = PhasesOfTheUpdate();
    ASSERT_GT(phases.size(), 7064u);
    images.firmware.assign(Host().AnyRecorder()->program.begin(),
                           Host().AnyRecorder()->program.end());
    images.replacement.assign(Firmware.ReplacementImage.begin(), Firmware.ReplacementImage.end());
    const Outcome outcome = RunMatrix(GetParam(), phases, images);
    EXPECT_EQ(outcome.runs, phases.size());
    EXPECT_EQ(outcome.recovered, phases.size());
    for (const std::string& failure : outcome.failures) {
        ADD_FAILURE() << failure;
    }
    std::cout << "interruption points: " << outcome.runs << ", recovered: " << outcome.recovered
              << ", recording of before the update kept: " << outcome.recordingsKept
              << "\nwhat the first runs left:\n";
    for (const auto& [state, count] : outcome.statesLeft) {
        std::cout << "  " << count << "  " << state << "\n";
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultMatrix,
                         testing::Values(sim::FaultAction::FailCommand, sim::FaultAction::Vanish),
                         [](const auto& info) {
                             return info.param == sim::FaultAction::Vanish ? "Vanishing"
                                                                           : "Failing";
                         });

} // namespace
} // namespace qdp::test
