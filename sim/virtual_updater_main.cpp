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
    FaultKind::None,     FaultKind::ProgramFailure, FaultKind::NoLeave,
    FaultKind::NoReturn, FaultKind::OtherDrive,     FaultKind::UnplugAt,
    FaultKind::FailAt,   FaultKind::CorruptAt,      FaultKind::Swap};

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
           "      unplug-at=N: unplugged before its Nth command; fail-at=N: its Nth command\n"
           "      fails, not carried out; corrupt-at=N: its Nth memory write is answered\n"
           "      good but stores one byte wrongly; swap: recorders 1 and 2 come back from\n"
           "      their restarts each on the other's drive number\n"
           "  --fault-on K                                   the recorder the fault is in (1)\n"
           "  --recorders N                                  N recorders (1), on drives 0 to\n"
           "                                                 N-1 and ports 1-1 to 1-N\n"
           "  --no-ports                                     the system tells no USB ports\n"
           "  --state FILE                                   write the recorders' end state "
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
    int recorders = 0; // 0: as the state file holds, else one
    int faultOn = 1;
    bool noPorts = false;
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
                              word == "--help" || word == "--version" || word == "--verify" ||
                              word == "--all";
        options.help = options.help || word == "--help";
        if (!word.starts_with("--") || updaters) {
            options.passed.push_back(argv[i]);
            continue;
        }
        if (word == "--denied" || word == "--no-ports") {
            (word == "--denied" ? options.denied : options.noPorts) = true;
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
        } else if (word == "--recorders" && (number = qdp::sim::WholeNumber(value, 1, 9))) {
            options.recorders = static_cast<int>(*number);
        } else if (word == "--fault-on" && (number = qdp::sim::WholeNumber(value, 1, 9))) {
            options.faultOn = static_cast<int>(*number);
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

// The recorders, as set up anew or as the state file holds them; false, with what is
// wrong, when that file holds none.
bool Recorders(const Options& options, std::vector<qdp::sim::VirtualRecorder>& recorders,
               std::string& problem) {
    if (!options.recorder.resume.empty()) {
        if (const auto refused = qdp::sim::ReadRecorderStates(options.recorder.resume, recorders)) {
            problem = *refused;
            return false;
        }
        if (options.recorders != 0 &&
            recorders.size() != static_cast<std::size_t>(options.recorders)) {
            problem = options.recorder.resume + ": holds " + std::to_string(recorders.size()) +
                      " recorders, not " + std::to_string(options.recorders);
            return false;
        }
        return true;
    }
    recorders.assign(static_cast<std::size_t>(std::max(options.recorders, 1)),
                     qdp::sim::VirtualRecorder(qdp::sim::FlashOfMiB(options.recorder.flashMib)));
    for (qdp::sim::VirtualRecorder& recorder : recorders) {
        if (!qdp::sim::SetUpRecorder(recorder, OfferedImage(), options.recorder, problem)) {
            return false;
        }
    }
    return true;
}

// False, with what is wrong, when the recorders cannot be set up.
bool Configure(const Options& options, VirtualHost& host, std::string& problem) {
    std::vector<qdp::sim::VirtualRecorder> recorders;
    if (!Recorders(options, recorders, problem)) {
        return false;
    }
    const int count = static_cast<int>(recorders.size());
    if (options.drive + count > qdp::sim::kDrives || options.faultOn > count) {
        problem = "recorders on drives " + std::to_string(options.drive) + " to " +
                  std::to_string(options.drive + count - 1) + ", the fault in recorder " +
                  std::to_string(options.faultOn) + ": not drives 0 to 9, or no such recorder";
        return false;
    }
    host.realPacing = options.pacing == "real";
    host.restart.awayMs = options.recorder.restartMs;
    host.portsKnown = !options.noPorts;
    const bool resumed = !options.recorder.resume.empty();
    for (int i = 0; i < count; ++i) {
        const int drive = options.drive + i;
        if (options.arriveAfterMs >= 0) {
            host.AttachRecorderLater(drive, static_cast<std::uint64_t>(options.arriveAfterMs),
                                     recorders[i].geometry);
        } else {
            host.AttachRecorder(drive, recorders[i].geometry);
        }
        *host.Recorders()[static_cast<std::size_t>(i)] = std::move(recorders[i]);
        if (options.denied) {
            host.SetOpenFailure(drive, qdp::sim::OpenFailure::PermissionDenied);
        }
        if (resumed && options.arriveAfterMs < 0) {
            host.PowerUp(drive); // plugged back in: it starts as at power-up
        }
    }
    // The fault is in one recorder: counted among its commands, its restarts its own.
    const int target = options.faultOn - 1;
    const int drive = options.drive + target;
    const qdp::sim::RecorderFault fault = options.recorder.fault;
    const auto restart = [&]() -> qdp::sim::RestartBehaviour& { return host.RestartOf(drive); };
    switch (fault.kind) {
    case FaultKind::UnplugAt:
    case FaultKind::FailAt:
        host.AddFault({[at = fault.at, target](const qdp::sim::CommandView& v) {
                           return v.recorder == target && v.recorderIndex + 1 == at;
                       },
                       fault.kind == FaultKind::UnplugAt ? qdp::sim::FaultAction::Vanish
                                                         : qdp::sim::FaultAction::FailCommand});
        break;
    case FaultKind::CorruptAt:
        for (int i = 0; i < count; ++i) { // the recorder's own, set up with it: only one's
            host.Recorders()[static_cast<std::size_t>(i)]->corruptWriteAt =
                i == target ? fault.at : 0;
        }
        break;
    case FaultKind::ProgramFailure:
        host.AddFault({[target](const qdp::sim::CommandView& v) {
                           return v.recorder == target && v.block[1] == 0x02 &&
                                  v.dataOut.size() == 36 && v.dataOut[1] == 0x00 &&
                                  v.dataOut[2] == 0x0C;
                       },
                       qdp::sim::FaultAction::CheckCondition});
        break;
    case FaultKind::NoLeave: restart().kind = qdp::sim::RestartBehaviour::Kind::NeverLeaves; break;
    case FaultKind::NoReturn:
        restart().kind = qdp::sim::RestartBehaviour::Kind::NeverReturns;
        break;
    case FaultKind::OtherDrive: restart().returnDrive = (drive + count) % 9; break;
    case FaultKind::Swap:
        if (count < 2) {
            problem = "swap wants two recorders (--recorders 2)";
            return false;
        }
        host.RestartOf(options.drive).returnDrive = options.drive + 1;
        host.RestartOf(options.drive + 1).returnDrive = options.drive;
        break;
    case FaultKind::None: break;
    }
    return true;
}

void WriteState(const std::string& path, VirtualHost& host) {
    std::vector<qdp::sim::RecorderAndRun> states;
    const std::vector<qdp::sim::VirtualRecorder*> recorders = host.Recorders();
    for (std::size_t i = 0; i < recorders.size(); ++i) {
        qdp::sim::RunSummary run;
        for (const qdp::sim::CommandRecord& record : host.TraceOf(static_cast<int>(i))) {
            ++run.commands[qdp::sim::CommandName(record.block)];
            // A restart frame the recorder took.
            run.restarts += record.block[1] == 0x02 && !record.data.empty() &&
                                    record.data[0] == 0x53 && record.good
                                ? 1
                                : 0;
        }
        states.push_back({recorders[i], run});
    }
    if (!qdp::sim::WriteRecorderStates(path, states, OfferedImage())) {
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
