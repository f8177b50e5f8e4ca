// A full update with boot-loader replacement, run once for every device command of
// the update with that one command failing, and once more with the recorder
// vanishing at that command for good. Each run forks from the fault-free update at
// the moment of its command, so only the rest of the update is run again.
#include "app/updater.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>
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

void SetUpUpdate() {
    ResetProcess();
    Host().AttachOtherDisk(0);
    Host().AttachOtherDisk(1);
    AttachStandardRecorder(kRecorderDrive, OfferedByTheImage().bootLoader - 1, 0x0204);
    // The three consents, a key for the closing prompt, and an Esc for a device
    // wait that never ends otherwise.
    Host().Type("YLY.\x1b");
}

int RunUpdater() {
    std::string program = "QDp_FW_FirstUpdater";
    char* argv[] = {program.data(), nullptr};
    return UpdaterMain(1, argv);
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
};

// Runs the update once, forking at every command: the child takes the fault there
// and runs to the end; the parent waits for it and goes on without the fault.
Outcome RunMatrix(sim::FaultAction action, const std::vector<Phase>& phases) {
    Outcome outcome;
    SetUpUpdate();
    bool child = false;
    Phase childPhase = Phase::Other;
    int pipeEnds[2];
    Host().AddFault(
        {[&](const sim::CommandView& view) {
             if (child) {
                 return false;
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
             std::string report;
             char buffer[512];
             for (ssize_t got; (got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
                 report.append(buffer, static_cast<std::size_t>(got));
             }
             ::close(pipeEnds[0]);
             int status = 0;
             ::waitpid(pid, &status, 0);
             ++outcome.runs;
             if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                 outcome.failures.push_back("command " + std::to_string(view.index) + ": " +
                                            (report.empty() ? "crashed" : report));
             }
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
    if (child) {
        const std::string violations = Violations(exitCode, childPhase);
        if (!violations.empty()) {
            [[maybe_unused]] auto written =
                ::write(pipeEnds[1], violations.data(), violations.size());
        }
        ::_exit(violations.empty() ? 0 : 1);
    }
    return outcome;
}

class FaultMatrix : public testing::TestWithParam<sim::FaultAction> {};

TEST_P(FaultMatrix, EveryCommandOfTheUpdateCanFailWithoutHarm) {
    const std::vector<Phase> phases = PhasesOfTheUpdate();
    ASSERT_GT(phases.size(), 7064u);
    const Outcome outcome = RunMatrix(GetParam(), phases);
    EXPECT_EQ(outcome.runs, phases.size());
    for (const std::string& failure : outcome.failures) {
        ADD_FAILURE() << failure;
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
