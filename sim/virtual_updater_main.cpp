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

using qdp::sim::VirtualHost;

constexpr char kUsage[] =
    "usage: qdp_virtual_updater [options] [the updater's words: diag, --yes, --list, --json,\n"
    "                            --device PATH, --help, --version]\n"
    "  --boot-loader older|equal|newer|incompatible   installed boot loader, against the\n"
    "                                                 one offered (older: one minor less)\n"
    "  --firmware valid|unavailable                   installed firmware (valid: 2.4)\n"
    "  --flash-mib N                                  flash size in MiB (512)\n"
    "  --fault none|program-failure|no-leave|no-return|other-drive|unplug-at=N\n"
    "                                                 unplug-at=N: unplugged before the\n"
    "                                                 run's Nth command\n"
    "  --state FILE                                   write the recorder's end state (JSON)\n"
    "  --resume FILE                                  start from such a state (the recorder\n"
    "                                                 plugged back in)\n"
    "  --pacing fast|real                             fast: pauses recorded, not slept\n"
    "  --drive N                                      drive of the recorder (0)\n"
    "  --arrive-after-ms N                            connect the recorder only later\n"
    "  --restart-ms N                                 how long a restart takes (1500)\n";

struct Options {
    qdp::sim::RecorderOptions recorder;
    std::string pacing = "fast";
    int drive = 0;
    long arriveAfterMs = -1;
    std::vector<char*> passed; // handed to the updater
};

bool Parse(int argc, char** argv, Options& options) {
    options.passed.push_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        // The updater's own words and switches go to it as they stand.
        const bool updaters = word == "--list" || word == "--json" || word == "--yes" ||
                              word == "--help" || word == "--version";
        if (!word.starts_with("--") || updaters) {
            options.passed.push_back(argv[i]);
            continue;
        }
        if (word == "--device" && i + 1 < argc) {
            options.passed.push_back(argv[i]);
            options.passed.push_back(argv[++i]);
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (qdp::sim::TakeRecorderOption(word, value, options.recorder)) {
            continue;
        }
        if (word == "--pacing") {
            options.pacing = value;
        } else if (word == "--drive") {
            options.drive = std::atoi(value.c_str());
        } else if (word == "--arrive-after-ms") {
            options.arriveAfterMs = std::atol(value.c_str());
        } else {
            return false;
        }
    }
    return qdp::sim::RecorderOptionsValid(options.recorder, {"other-drive"}) &&
           (options.pacing == "fast" || options.pacing == "real") && options.drive >= 0 &&
           options.drive < qdp::sim::kDrives;
}

std::vector<std::uint8_t> OfferedImage() {
    return qdp::sim::Descrambled(qdp::os::FindEmbeddedImage("FWC"));
}

// False when the recorder cannot be set up (a state file that holds none).
bool Configure(const Options& options, VirtualHost& host) {
    host.realPacing = options.pacing == "real";
    host.restart.awayMs = options.recorder.restartMs;
    const qdp::sim::Geometry geometry = qdp::sim::FlashOfMiB(options.recorder.flashMib);
    if (options.arriveAfterMs >= 0) {
        host.AttachRecorderLater(options.drive, static_cast<std::uint64_t>(options.arriveAfterMs),
                                 geometry);
    } else {
        host.AttachRecorder(options.drive, geometry);
    }
    if (!qdp::sim::SetUpRecorder(*host.AnyRecorder(), OfferedImage(), options.recorder)) {
        return false;
    }
    if (!options.recorder.resume.empty()) {
        host.AnyRecorder()->Boot(); // plugged back in: it starts as at power-up
    }
    if (options.recorder.fault == "unplug-at") {
        host.AddFault({[at = options.recorder.unplugAt](const qdp::sim::CommandView& v) {
                           return v.index + 1 == at;
                       },
                       qdp::sim::FaultAction::Vanish});
    }

    if (options.recorder.fault == "program-failure") {
        host.AddFault({[](const qdp::sim::CommandView& v) {
                           return v.block[1] == 0x02 && v.dataOut.size() == 36 &&
                                  v.dataOut[1] == 0x00 && v.dataOut[2] == 0x0C;
                       },
                       qdp::sim::FaultAction::CheckCondition});
    } else if (options.recorder.fault == "no-leave") {
        host.restart.kind = qdp::sim::RestartBehaviour::Kind::NeverLeaves;
    } else if (options.recorder.fault == "no-return") {
        host.restart.kind = qdp::sim::RestartBehaviour::Kind::NeverReturns;
    } else if (options.recorder.fault == "other-drive") {
        host.restart.returnDrive = (options.drive + 1) % 9;
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
    if (!Parse(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    VirtualHost& host = VirtualHost::Instance();
    if (!Configure(options, host)) {
        std::fprintf(stderr, "%s holds no recorder state\n", options.recorder.resume.c_str());
        return 2;
    }
    const int exitCode =
        qdp::UpdaterMain(static_cast<int>(options.passed.size()), options.passed.data());
    std::fflush(stdout);
    if (!options.recorder.state.empty()) {
        WriteState(options.recorder.state, host);
    }
    std::fprintf(stderr, "[virtual recorder: %zu commands, %d restarts, %zu pauses]\n",
                 host.Trace().size(), host.Restarts(), host.Pauses().size());
    return exitCode;
}
