// qdp_usb_recorder: the virtual recorder as a USB mass-storage device, for a Linux
// machine with USB gadget support (dummy_hcd will do). The host's usb-storage and sg
// drivers see it as a disk; the updater finds it as /dev/sgN. A restart frame makes
// it leave the bus and enumerate again after a while, as a recorder does.
//
// Run as root; stops on SIGTERM or SIGINT and then writes its end state (JSON) where
// --state says.
#include "sim/recorder_setup.h"
#include "sim/recorder_state.h"
#include "sim/usb/bulk_only.h"
#include "sim/usb/gadget.h"
#include "sim/virtual_recorder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace qdp::sim;

constexpr FaultKind kFaults[] = {FaultKind::None,     FaultKind::ProgramFailure, FaultKind::NoLeave,
                                 FaultKind::NoReturn, FaultKind::UnplugAt,       FaultKind::FailAt,
                                 FaultKind::CorruptAt};

std::string Usage() {
    return "usage: qdp_usb_recorder --image FWC.bin [options]\n"
           "  --image FILE                                   the firmware image the updater "
           "offers\n"
           "  --boot-loader older|equal|newer|incompatible   installed boot loader, against the\n"
           "                                                 image's (older: one minor less)\n"
           "  --firmware valid|unavailable                   installed firmware (valid: 2.4)\n"
           "  --flash-mib N                                  flash size in MiB (512)\n"
           "  --restart-ms N                                 time off the bus at a restart (1500)\n"
           "  --fault " +
           FaultChoices(kFaults) +
           "\n"
           "      unplug-at=N: unplugged before its Nth command; fail-at=N: its Nth command\n"
           "      fails, not carried out (the kernel's commands counted too); corrupt-at=N:\n"
           "      its Nth memory write is answered good but stores one byte wrongly\n"
           "  --state FILE                                   where the end state goes (JSON)\n"
           "  --resume FILE                                  start from such a state (the "
           "recorder\n"
           "                                                 plugged back in)\n"
           "  --controller NAME                              USB device controller (first found)\n";
}

struct Options {
    RecorderOptions recorder;
    std::string image;
    std::string controller;
};

bool Parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view word = argv[i];
        const std::string value = argv[i + 1];
        switch (TakeRecorderOption(word, value, options.recorder, kFaults)) {
        case Taken::Taken: continue;
        case Taken::BadValue: return false;
        case Taken::NotMine: break;
        }
        if (word == "--image") {
            options.image = value;
        } else if (word == "--controller") {
            options.controller = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !options.image.empty() && !RecorderOptionsProblem(options.recorder);
}

std::atomic<bool> stopAsked{false};

// The image, descrambled; empty when it cannot be read.
std::vector<std::uint8_t> ReadImage(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<std::uint8_t> stored(std::istreambuf_iterator<char>(file), {});
    if (stored.size() != 0x10000) {
        return {};
    }
    return Descrambled(stored);
}

// Sleeps, unless asked to stop.
void SleepMs(unsigned long ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopAsked && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fputs(Usage().c_str(), stderr);
        return 2;
    }
    const std::vector<std::uint8_t> image = ReadImage(options.image);
    if (image.empty()) {
        std::fprintf(stderr, "qdp_usb_recorder: %s is not an image of 65536 bytes\n",
                     options.image.c_str());
        return 2;
    }
    VirtualRecorder recorder(FlashOfMiB(options.recorder.flashMib));
    std::string problem;
    if (!SetUpRecorder(recorder, image, options.recorder, problem)) {
        std::fprintf(stderr, "qdp_usb_recorder: %s\n", problem.c_str());
        return 2;
    }
    if (!options.recorder.resume.empty()) {
        recorder.Boot(); // plugged back in: it starts as at power-up
    }

    struct sigaction stopping {};
    stopping.sa_handler = [](int) { stopAsked = true; };
    ::sigaction(SIGTERM, &stopping, nullptr);
    ::sigaction(SIGINT, &stopping, nullptr);
    struct sigaction interrupting {}; // ends a wait in the pipes, nothing more
    interrupting.sa_handler = [](int) {};
    ::sigaction(SIGUSR1, &interrupting, nullptr);

    usb::Gadget gadget;
    usb::GadgetOptions gadgetOptions;
    gadgetOptions.controller = options.controller;
    if (!options.controller.empty()) {
        // Several recorders, one on each controller: each a gadget of its own.
        std::string suffix = options.controller;
        std::replace(suffix.begin(), suffix.end(), '.', '_');
        gadgetOptions.name += "_" + suffix;
        gadgetOptions.serial += "-" + suffix;
    }
    std::string error;
    // A recorder that its power-up bricked never comes onto the bus.
    bool away = recorder.Bricked();
    if (!gadget.Create(gadgetOptions, error) || (!away && !gadget.Bind())) {
        std::fprintf(stderr, "qdp_usb_recorder: %s\n",
                     error.empty() ? "cannot bind to the controller" : error.c_str());
        return 1;
    }
    std::printf(away ? "qdp_usb_recorder: bricked, never comes up\n"
                     : "qdp_usb_recorder: connected\n");
    std::fflush(stdout);

    const RecorderFault fault = options.recorder.fault;
    usb::BulkOnlyTarget target(recorder);
    unsigned long served = 0; // commands served, the kernel's too
    target.failCommand = [&](const CommandBlock& block, std::span<const std::uint8_t> out) {
        if (fault.kind == FaultKind::FailAt) {
            return served + 1 == fault.at;
        }
        // The programming run's memory write at 0x0C00 is refused.
        return fault.kind == FaultKind::ProgramFailure && block[0] == wire::kVendor &&
               block[1] == wire::kI2CSend && out.size() == 36 && out[0] == wire::kFrameWrite &&
               out[1] == 0x00 && out[2] == 0x0C;
    };
    std::map<std::string, long> commands;
    long invalidWrappers = 0;
    int restarts = 0;
    while (!stopAsked) {
        if (away) {
            SleepMs(100); // off the bus for good
            continue;
        }
        if (fault.kind == FaultKind::UnplugAt && served + 1 >= fault.at) {
            gadget.Unbind(); // the cable pulled: the next command never reaches it
            away = true;
            std::printf("qdp_usb_recorder: unplugged after %lu commands\n", served);
            std::fflush(stdout);
            continue;
        }
        const usb::Served one = target.ServeOne(gadget);
        gadget.TakeReset();
        if (one.kind == usb::Served::Kind::InvalidWrapper) {
            ++invalidWrappers;
            continue;
        }
        if (one.kind == usb::Served::Kind::PipeFailed) {
            continue;
        }
        ++commands[CommandName(one.block)];
        ++served;
        if (!one.restart) {
            continue;
        }
        ++restarts;
        if (fault.kind == FaultKind::NoLeave) {
            continue;
        }
        gadget.Unbind();
        if (fault.kind == FaultKind::NoReturn) {
            away = true;
            continue;
        }
        SleepMs(options.recorder.restartMs);
        recorder.Boot();
        away = recorder.Bricked();
        if (away) {
            std::printf("qdp_usb_recorder: bricked at its restart, never comes up\n");
            std::fflush(stdout);
        } else if (!stopAsked) {
            gadget.Bind();
        }
    }
    gadget.Destroy();
    if (!options.recorder.state.empty()) {
        const RecorderAndRun state{&recorder, {restarts, commands, invalidWrappers}};
        WriteRecorderStates(options.recorder.state, {&state, 1}, image);
    }
    std::printf("qdp_usb_recorder: stopped after %d restarts\n", restarts);
    return 0;
}
