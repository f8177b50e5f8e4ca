// A full update with boot-loader replacement, run once for every device command of
// the update with that one command failing, once with the recorder unplugged at that
// command, and once for every memory write with that write stored wrongly. Each run
// forks from the fault-free update at the moment of its command, so only the rest of
// the update is run again. Then, as an operator would, the same recorder is updated
// by a second run, which must finish the update: after a failed command, once as the
// first run left it and once after a power cycle (unplugged after "Failed"); after
// an unplugging or a wrong write, plugged back in. No recorder may be left that never
// comes back. QDP_MATRIX_STRIDE=N samples every Nth command.
#include "app/updater.h"
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
    {"\r\nERROR: Boot Loader verification failed.\r\n" + kPress, 2},
};
const std::string kDots(53, '.');

enum class Phase { Other, ProgramBootLoader, ProgramFirmware };

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

enum class Mode { Vanishing, Failing, Corrupting, CorruptingUnverified };

bool Verifies(Mode mode) { return mode == Mode::Corrupting; }

// The second runs after each first run: after a failed command, one as the first run
// left the recorder and one after a power cycle.
std::size_t SecondRuns(Mode mode) { return mode == Mode::Failing ? 2 : 1; }

int RunUpdater(bool verify) {
    return RunWords(std::vector<std::string>(verify ? 1 : 0, "--verify"));
}

// A recording made before the update, on the last page of the flash.
const std::vector<std::uint8_t> kRecording(2048, 0x5A);

void SetUpUpdate() {
    ResetProcess();
    // A recorder that never comes back is waited for 120 s in polls of its drive: each
    // failed open counted as a millisecond keeps the forked runs' polls few.
    Host().failedOpenCostUs = 1000;
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

// What one second run found.
struct Recovery {
    bool recovered = false;
    bool kept = false;    // the recording made before the update survived
    bool bricked = false; // the recorder never came back
};

// The recorder as the first run left it, unplugged and plugged in again: it starts as
// at power-up.
void PowerCycle(const sim::VirtualRecorder& left) {
    Host().AttachRecorder(kRecorderDrive) = left;
    Host().PowerUp(kRecorderDrive);
}

// The second run, against the same recorder; what went wrong, empty when it finished
// the update.
std::string SecondRun(const Images& images, bool verify, Recovery& recovery) {
    if (Host().RecorderOn(kRecorderDrive) == nullptr) {
        Host().PlugIn(kRecorderDrive);
    }
    recovery.bricked = Host().AnyRecorder()->Bricked();
    if (recovery.bricked) {
        return "the recorder never came back: bricked; ";
    }
    ResetTransportState();
    ResetFirmwareState();
    Host().faults.clear();
    Host().ClearTrace();
    Host().console.clear();
    Host().keys.clear();
    Host().Type("YLY.\x1b"); // whatever prompts it shows, answered as the operator would
    const int exitCode = RunUpdater(verify);
    std::string found;
    if (exitCode != 0 || !EndsWith(Host().console, kEnds[4].first)) {
        found += "the second run ended with " + std::to_string(exitCode) + " after \"" +
                 Host().console.substr(Host().console.size() -
                                       std::min<std::size_t>(Host().console.size(), 60)) +
                 "\"; ";
    }
    const sim::VirtualRecorder* recorder = Host().RecorderOn(kRecorderDrive);
    if (recorder == nullptr) {
        recovery.bricked = Host().AnyRecorder()->Bricked();
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
    recovery.kept = recorder->ReadFlash(recorder->geometry.TotalPages() - 1) == kRecording;
    recovery.recovered = found.empty();
    return found;
}

// What the run after a fault must show; an empty result means it held. A fault that
// a programming run sees (a failed command; a wrong write when it verifies) is
// reported right after its dots.
std::string Violations(int exitCode, Phase faultPhase, bool faultSeen) {
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
    if (!faultSeen) {
        return found;
    }
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

// The phase of every command of the fault-free update, by trace position: a
// programming run lasts from its first page erase after the restart that follows
// a status erase to the next restart.
std::vector<Phase> PhasesOfTheUpdate(bool verify) {
    SetUpUpdate();
    EXPECT_EQ(RunUpdater(verify), 0);
    std::vector<Phase> phases;
    int runs = 0;
    bool restarted = false;
    bool inRun = false;
    for (const sim::CommandRecord& record : Host().Trace()) {
        const bool sendOrReceive =
            record.block[0] == 0xC8 && (record.block[1] == 0x02 || record.block[1] == 0x03);
        if (record.block[1] == 0x02 && !record.data.empty()) {
            const auto& frame = record.data;
            if (frame[0] == 0x52 && frame[1] == 0xF5) {
                ++runs;
                restarted = false;
            } else if (frame[0] == 0x53) {
                restarted = !inRun;
                inRun = false;
            } else if (frame[0] == 0x52 && restarted) {
                inRun = true;
            }
        }
        phases.push_back(sendOrReceive && inRun
                             ? (runs == 1 ? Phase::ProgramBootLoader : Phase::ProgramFirmware)
                             : Phase::Other);
    }
    return phases;
}

struct Tally {
    std::size_t recovered = 0;
    std::size_t recordingsKept = 0;
    std::size_t bricked = 0;
};

struct Outcome {
    std::size_t runs = 0;
    std::vector<std::string> failures;
    std::vector<Tally> tallies;                    // one per second run
    std::map<std::string, std::size_t> statesLeft; // by what the first run left
};

bool IsMemoryWrite(const sim::CommandView& view) {
    return view.block[0] == 0xC8 && view.block[1] == 0x02 && !view.dataOut.empty() &&
           view.dataOut[0] == 0x51;
}

std::size_t Stride() {
    const char* stride = std::getenv("QDP_MATRIX_STRIDE");
    return stride != nullptr && std::atoi(stride) > 0 ? static_cast<std::size_t>(std::atoi(stride))
                                                      : 1;
}

// The child's side, once the first run, cut short at its command, has ended: its end
// judged, then the second runs. The report: what the first run left, a line; for each
// second run a line of three flags (recovered, recording kept, bricked); then what went
// wrong, empty when nothing did.
std::string ChildReport(Mode mode, int exitCode, Phase phase, const Images& images, bool& clean) {
    std::string violations = Violations(exitCode, phase, mode == Mode::Failing || Verifies(mode));
    const sim::VirtualRecorder left = *Host().AnyRecorder();
    std::string report = StateLeft(left, images, phase) + "\n";
    for (std::size_t second = 0; second < SecondRuns(mode); ++second) {
        if (mode != Mode::Vanishing && (mode != Mode::Failing || second == 1)) {
            PowerCycle(left);
        }
        Recovery recovery;
        try {
            violations += SecondRun(images, Verifies(mode), recovery);
        } catch (const std::exception& e) {
            violations += e.what();
        }
        report += std::string(recovery.recovered ? "1" : "0") + (recovery.kept ? "1" : "0") +
                  (recovery.bricked ? "1" : "0") + "\n";
    }
    clean = violations.empty();
    return report + violations;
}

// Runs the update once, forking at every command the mode faults (every Nth with a
// stride): the child takes the fault there and runs to the end; the parent waits for
// it and goes on without the fault.
Outcome RunMatrix(Mode mode, const std::vector<Phase>& phases, const Images& images) {
    Outcome outcome;
    outcome.tallies.resize(SecondRuns(mode));
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
        std::size_t at = report.find('\n');
        if (at != std::string::npos) {
            ++outcome.statesLeft[report.substr(0, at)];
            for (Tally& tally : outcome.tallies) {
                const std::size_t end = report.find('\n', at + 1);
                if (end == std::string::npos || end - at != 4) {
                    break;
                }
                tally.recovered += report[at + 1] == '1' ? 1 : 0;
                tally.recordingsKept += report[at + 2] == '1' ? 1 : 0;
                tally.bricked += report[at + 3] == '1' ? 1 : 0;
                at = end;
            }
            report.erase(0, at + 1);
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            outcome.failures.push_back("command " + std::to_string(index) + ": " +
                                       (report.empty() ? "crashed" : report));
        }
    };
    const std::size_t stride = Stride();
    std::size_t candidates = 0;
    const bool corrupting = mode == Mode::Corrupting || mode == Mode::CorruptingUnverified;
    Host().AddFault(
        {[&](const sim::CommandView& view) {
             if (child || (corrupting && !IsMemoryWrite(view)) ||
                 candidates++ % stride != static_cast<std::size_t>(mode) % stride) {
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
                 ::alarm(120); // a run that does not end is a failure too
                 childPhase = phases.at(view.index);
                 ::close(pipeEnds[0]);
                 if (corrupting) { // this write is stored wrongly, and answered good
                     sim::VirtualRecorder& recorder = *Host().AnyRecorder();
                     recorder.corruptWriteAt = recorder.MemoryWrites() + 1;
                     return false;
                 }
                 return true;
             }
             ::close(pipeEnds[1]);
             running[pid] = {pipeEnds[0], view.index};
             return false;
         },
         mode == Mode::Vanishing ? sim::FaultAction::Vanish : sim::FaultAction::FailCommand, -1});
    int exitCode = -1;
    try {
        exitCode = RunUpdater(Verifies(mode));
    } catch (...) {
        if (child) {
            ::_exit(3); // never back into the test framework
        }
        throw;
    }
    if (child) { // forked inside the first run, which has now ended
        bool clean = false;
        const std::string report = ChildReport(mode, exitCode, childPhase, images, clean);
        [[maybe_unused]] auto written = ::write(pipeEnds[1], report.data(), report.size());
        ::_exit(clean ? 0 : 1);
    }
    while (!running.empty()) {
        reapOne();
    }
    EXPECT_EQ(exitCode, 0) << "the fault-free update";
    EXPECT_EQ(outcome.runs,
              (candidates + stride - 1 - static_cast<std::size_t>(mode) % stride) / stride);
    return outcome;
}

class FaultMatrix : public testing::TestWithParam<Mode> {};

TEST_P(FaultMatrix, NoInterruptionLeavesARecorderThatNeverComesBackAndARunAgainFinishesTheUpdate) {
    const Mode mode = GetParam();
    Images images;
    SetUpUpdate();
    images.before.assign(Host().AnyRecorder()->program.begin(),
                         Host().AnyRecorder()->program.end());
    const std::vector<Phase> phases = PhasesOfTheUpdate(Verifies(mode));
    ASSERT_GT(phases.size(), 7064u);
    images.firmware.assign(Host().AnyRecorder()->program.begin(),
                           Host().AnyRecorder()->program.end());
    images.replacement.assign(Firmware.ReplacementImage.begin(), Firmware.ReplacementImage.end());
    const Outcome outcome = RunMatrix(mode, phases, images);
    const char* const kSecond[] = {"as left", "after a power cycle"};
    std::cout << "interruption points: " << outcome.runs << "\n";
    for (std::size_t i = 0; i < outcome.tallies.size(); ++i) {
        const Tally& tally = outcome.tallies[i];
        std::cout << "second run" << (mode == Mode::Failing ? std::string(" ") + kSecond[i] : "")
                  << ": recovered " << tally.recovered << ", recorders that never came back "
                  << tally.bricked << ", recording of before the update kept "
                  << tally.recordingsKept << "\n";
        if (mode == Mode::CorruptingUnverified) {
            // Without --verify a wrong write goes unseen; what it leaves is reported.
            continue;
        }
        EXPECT_EQ(tally.bricked, 0u);
        EXPECT_EQ(tally.recovered, outcome.runs);
    }
    if (mode != Mode::CorruptingUnverified) {
        for (const std::string& failure : outcome.failures) {
            ADD_FAILURE() << failure;
        }
    }
    std::cout << "what the first runs left:\n";
    for (const auto& [state, count] : outcome.statesLeft) {
        std::cout << "  " << count << "  " << state << "\n";
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultMatrix,
                         testing::Values(Mode::Vanishing, Mode::Failing, Mode::Corrupting,
                                         Mode::CorruptingUnverified),
                         [](const auto& info) {
                             switch (info.param) {
                             case Mode::Vanishing: return "Vanishing";
                             case Mode::Failing: return "Failing";
                             case Mode::Corrupting: return "Corrupting";
                             case Mode::CorruptingUnverified: break;
                             }
                             return "CorruptingUnverified";
                         });

// --- Two recorders at once (--all) ------------------------------------------------

int RunAll() { return RunWords({"--all", "--yes"}); }

// Whether the recorder holds what a whole update leaves: the image's program area and
// boot loader, and never bricked.
bool UpdatedWhole(const sim::VirtualRecorder& recorder) {
    return !recorder.Bricked() &&
           std::equal(Firmware.FirmwareImage.begin(), Firmware.FirmwareImage.begin() + 0xD400,
                      recorder.program.begin()) &&
           std::equal(Firmware.FirmwareImage.begin() + 0xD800,
                      Firmware.FirmwareImage.begin() + 0xF800, recorder.program.begin() + 0xD800);
}

// For a sample of the commands of either recorder (every 29th, so that each page of a
// programming run is hit; QDP_MATRIX_STRIDE times that in the sanitized build), that
// command failing, or that recorder unplugged there, leaves the other recorder updated
// and no recorder that never comes back; a second --all run, with the interrupted one
// plugged back in, finishes it.
TEST(TwoRecorders, AFaultInOneLeavesTheOtherUpdatedAndASecondRunFinishesIt) {
    const std::size_t stride = 29 * Stride();
    std::size_t cases = 0;
    for (const sim::FaultAction action :
         {sim::FaultAction::FailCommand, sim::FaultAction::Vanish}) {
        for (const int faulted : {0, 1}) {
            for (std::size_t at = static_cast<std::size_t>(faulted) * 7; at < 7100; at += stride) {
                ResetProcess();
                Host().failedOpenCostUs = 1000;
                AttachStandardRecorder(0, OfferedByTheImage().bootLoader - 1);
                AttachStandardRecorder(1);
                Host().AddFault({[&](const sim::CommandView& v) {
                                     return v.recorder == faulted && v.recorderIndex == at;
                                 },
                                 action});
                const int first = RunAll();
                const std::vector<sim::VirtualRecorder*> recorders = Host().Recorders();
                const std::string where =
                    "recorder " + std::to_string(faulted) + ", command " + std::to_string(at) +
                    (action == sim::FaultAction::Vanish ? " unplugged" : " failed");
                EXPECT_TRUE(first == 0 || first == 2) << where;
                EXPECT_TRUE(UpdatedWhole(*recorders[static_cast<std::size_t>(1 - faulted)]))
                    << where;
                EXPECT_FALSE(recorders[static_cast<std::size_t>(faulted)]->Bricked()) << where;
                Host().faults.clear();
                if (Host().RecorderOn(faulted) == nullptr) {
                    Host().PlugIn(faulted, faulted);
                }
                EXPECT_EQ(RunAll(), 0) << where;
                for (const sim::VirtualRecorder* recorder : recorders) {
                    EXPECT_TRUE(UpdatedWhole(*recorder)) << where;
                }
                ++cases;
            }
        }
    }
    std::cout << "two recorders: " << cases << " interruption points, each run twice\n";
}

} // namespace
} // namespace qdp::test
