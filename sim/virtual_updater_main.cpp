// Runs the updater, with its real dialogue and console, against the virtual
// recorder instead of a physical drive.
#include "app/updater.h"
#include "platform/embedded_images.h"
#include "sim/recorder_setup.h"
#include "sim/recorder_state.h"
#include "sim/virtual_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using qdp::sim::FaultKind;
using qdp::sim::VirtualHost;

// The runner's own exit code: the updater did not end within the host's time limit.
constexpr int kTimeLimitExit = 3;

constexpr FaultKind kFaults[] = {
    FaultKind::None,       FaultKind::ProgramFailure, FaultKind::NoLeave, FaultKind::NoReturn,
    FaultKind::OtherDrive, FaultKind::UnplugAt,       FaultKind::FailAt,  FaultKind::CorruptAt};

std::string Usage() {
    return "usage: qdp_virtual_updater [options] [the updater's words]\n"
           "Runs the updater against a virtual recorder. Its options:\n"
           "  --boot-loader older|equal|newer|incompatible   installed boot loader, against the\n"
           "                                                 one offered (older: one minor less)\n"
           "  --firmware valid|unavailable                   installed firmware (valid: 2.4)\n"
           "  --flash-mib N                                  flash size in MiB (512)\n"
           "  --fault " +
           qdp::sim::FaultChoices(kFaults) +
           "\n"
           "      unplug-at=N: unplugged before the run's Nth command; fail-at=N: the Nth\n"
           "      command fails, not carried out; corrupt-at=N: the Nth memory write is\n"
           "      answered good but stores one byte wrongly\n"
           "  --state FILE                                   write the recorder's end state "
           "(JSON)\n"
           "  --resume FILE                                  start from such a state (the "
           "recorder\n"
           "                                                 plugged back in); not with\n"
           "                                                 --boot-loader, --firmware, "
           "--flash-mib\n"
           "  --pacing fast|real                             fast: pauses recorded, not slept\n"
           "  --drive N                                      drive of the recorder, 0 to 9 (0)\n"
           "  --denied                                       its drive refuses to be opened\n"
           "                                                 (permission denied)\n"
           "  --arrive-after-ms N                            connect the recorder only later\n"
           "  --restart-ms N                                 how long a restart takes (1500)\n"
           "Exit code: the updater's, or 3 when it was still running after an hour.\n"
           "\nThe updater's words are passed on:\n\n";
}

struct Options {
    qdp::sim::RecorderOptions recorder;
    std::string pacing = "fast";
    int drive = 0;
    long arriveAfterMs = -1;
    bool denied = false;
    bool help = false;
    std::vector<char*> passed; // handed to the updater
};

// False, with what is wrong, when the words make no sense.
bool Parse(int argc, char** argv, Options& options, std::string& problem) {
    options.passed.push_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        // The updater's own words and switches go to it as they stand.
        const bool updaters = word == "--list" || word == "--json" || word == "--yes" ||
                              word == "--help" || word == "--version" || word == "--verify";
        options.help = options.help || word == "--help";
        if (!word.starts_with("--") || updaters) {
            options.passed.push_back(argv[i]);
            continue;
        }
        if (word == "--denied") {
            options.denied = true;
            continue;
        }
        if (word == "--device" && i + 1 < argc) {
            options.passed.push_back(argv[i]);
            options.passed.push_back(argv[++i]);
            continue;
        }
        if (i + 1 >= argc) {
            problem = std::string(word) + " wants a value";
            return false;
        }
        const std::string_view value = argv[++i];
        std::optional<unsigned long> number;
        switch (qdp::sim::TakeRecorderOption(word, value, options.recorder, kFaults)) {
        case qdp::sim::Taken::Taken: continue;
        case qdp::sim::Taken::BadValue:
            problem = std::string(word) + " " + std::string(value) + " is not understood";
            return false;
        case qdp::sim::Taken::NotMine: break;
        }
        if (word == "--pacing" && (value == "fast" || value == "real")) {
            options.pacing = value;
        } else if (word == "--drive" && (number = qdp::sim::WholeNumber(value, 0, 9))) {
            options.drive = static_cast<int>(*number);
        } else if (word == "--arrive-after-ms" &&
                   (number = qdp::sim::WholeNumber(value, 0, 3'600'000))) {
            options.arriveAfterMs = static_cast<long>(*number);
        } else {
            problem = std::string(word) + " " + std::string(value) + " is not understood";
            return false;
        }
    }
    if (const auto together = qdp::sim::RecorderOptionsProblem(options.recorder)) {
        problem = *together;
        return false;
    }
    return true;
}

std::vector<std::uint8_t> OfferedImage() {
    return qdp::sim::Descrambled(qdp::os::FindEmbeddedImage("FWC"));
}

// False, with what is wrong, when the recorder cannot be set up (a state file that
// holds none).
bool Configure(const Options& options, VirtualHost& host, std::string& problem) {
    host.realPacing = options.pacing == "real";
    host.restart.awayMs = options.recorder.restartMs;
    const qdp::sim::Geometry geometry = qdp::sim::FlashOfMiB(options.recorder.flashMib);
    if (options.arriveAfterMs >= 0) {
        host.AttachRecorderLater(options.drive, static_cast<std::uint64_t>(options.arriveAfterMs),
                                 geometry);
    } else {
        host.AttachRecorder(options.drive, geometry);
    }
    if (options.denied) {
        host.SetOpenFailure(options.drive, qdp::sim::OpenFailure::PermissionDenied);
    }
    qdp::sim::VirtualRecorder& recorder = *host.AnyRecorder();
    if (!qdp::sim::SetUpRecorder(recorder, OfferedImage(), options.recorder, problem)) {
        return false;
    }
    if (!options.recorder.resume.empty() && options.arriveAfterMs < 0) {
        host.PowerUp(options.drive); // plugged back in: it starts as at power-up
    }
    const qdp::sim::RecorderFault fault = options.recorder.fault;
    switch (fault.kind) {
    case FaultKind::UnplugAt:
    case FaultKind::FailAt:
        host.AddFault(
            {[at = fault.at](const qdp::sim::CommandView& v) { return v.index + 1 == at; },
             fault.kind == FaultKind::UnplugAt ? qdp::sim::FaultAction::Vanish
                                               : qdp::sim::FaultAction::FailCommand});
        break;
    case FaultKind::CorruptAt: break; // the recorder's own, set up with it
    case FaultKind::ProgramFailure:
        host.AddFault({[](const qdp::sim::CommandView& v) {
                           return v.block[1] == 0x02 && v.dataOut.size() == 36 &&
                                  v.dataOut[1] == 0x00 && v.dataOut[2] == 0x0C;
                       },
                       qdp::sim::FaultAction::CheckCondition});
        break;
    case FaultKind::NoLeave:
        host.restart.kind = qdp::sim::RestartBehaviour::Kind::NeverLeaves;
        break;
    case FaultKind::NoReturn:
        host.restart.kind = qdp::sim::RestartBehaviour::Kind::NeverReturns;
        break;
    case FaultKind::OtherDrive: host.restart.returnDrive = (options.drive + 1) % 9; break;
    case FaultKind::None: break;
    }
    return true;
}

void WriteState(const std::string& path, VirtualHost& host) {
    qdp::sim::RunSummary run;
    run.restarts = host.Restarts();
    for (const qdp::sim::CommandRecord& record : host.Trace()) {
        ++run.commands[qdp::sim::CommandName(record.block)];
    }
    if (!qdp::sim::WriteRecorderState(path, *host.AnyRecorder(), OfferedImage(), run)) {
        std::fprintf(stderr, "[virtual recorder: cannot write %s]\n", path.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    std::string problem;
    if (!Parse(argc, argv, options, problem)) {
        std::fprintf(stderr, "qdp_virtual_updater: %s.\n\n%s", problem.c_str(), Usage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(Usage().c_str(), stdout); // then the updater's own
    }
    VirtualHost& host = VirtualHost::Instance();
    if (!Configure(options, host, problem)) {
        std::fprintf(stderr, "qdp_virtual_updater: %s\n", problem.c_str());
        return 2;
    }
    int exitCode = 0;
    try {
        exitCode = qdp::UpdaterMain(static_cast<int>(options.passed.size()), options.passed.data());
    } catch (const qdp::sim::TimeLimitPassed&) {
        std::fflush(stdout);
        std::fprintf(stderr, "qdp_virtual_updater: the updater was still running after an hour; "
                             "stopped.\n");
        exitCode = kTimeLimitExit;
    }
    std::fflush(stdout);
    if (!options.recorder.state.empty()) {
        WriteState(options.recorder.state, host);
    }
    if (!options.help) {
        std::fprintf(stderr, "[virtual recorder: %zu commands, %d restarts, %zu pauses]\n",
                     host.Trace().size(), host.Restarts(), host.Pauses().size());
    }
    return exitCode;
}
