// qdp_usb_recorder: the virtual recorder as a USB mass-storage device, for a Linux
// machine with USB gadget support (dummy_hcd will do). The host's usb-storage and sg
// drivers see it as a disk; the updater finds it as /dev/sgN. A restart frame makes
// it leave the bus and enumerate again after a while, as a recorder does.
//
// Run as root; stops on SIGTERM or SIGINT and then writes its end state (JSON) where
// --state says.
#include "sim/recorder_setup.h"
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

constexpr char kUsage[] =
    "usage: qdp_usb_recorder --image FWC.bin [options]\n"
    "  --image FILE                                   the firmware image the updater offers\n"
    "  --boot-loader older|equal|newer|incompatible   installed boot loader, against the\n"
    "                                                 image's (older: one minor less)\n"
    "  --firmware valid|unavailable                   installed firmware (valid: 2.4)\n"
    "  --flash-mib N                                  flash size in MiB (512)\n"
    "  --restart-ms N                                 time off the bus at a restart (1500)\n"
    "  --fault none|program-failure|no-leave|no-return\n"
    "  --state FILE                                   where the end state goes (JSON)\n"
    "  --controller NAME                              USB device controller (first found)\n";

struct Options {
    RecorderOptions recorder;
    std::string image;
    std::string state;
    std::string controller;
};

bool Parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view word = argv[i];
        const std::string value = argv[i + 1];
        if (TakeRecorderOption(word, value, options.recorder)) {
            continue;
        }
        if (word == "--image") {
            options.image = value;
        } else if (word == "--state") {
            options.state = value;
        } else if (word == "--controller") {
            options.controller = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !options.image.empty() && RecorderOptionsValid(options.recorder);
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

std::string Version(std::uint16_t value) {
    return std::to_string(value >> 8) + "." + std::to_string(value & 0xFF);
}

std::string CommandName(const CommandBlock& block) {
    char name[8];
    if (block[0] == wire::kVendor) {
        std::snprintf(name, sizeof name, "c8/%02x", block[1]);
    } else {
        std::snprintf(name, sizeof name, "%02x", block[0]);
    }
    return name;
}

void WriteState(const std::string& path, const VirtualRecorder& recorder,
                const std::vector<std::uint8_t>& image, int restarts,
                const std::map<std::string, long>& commands, long invalidWrappers) {
    const auto& program = recorder.program;
    const bool programMatches =
        std::equal(image.begin(), image.begin() + wire::kProgramArea, program.begin());
    const bool bootLoaderMatches =
        std::equal(image.begin() + wire::kBootLoaderRecord,
                   image.begin() + wire::kBootLoaderRecord + wire::kBootLoaderSection,
                   program.begin() + wire::kBootLoaderRecord);
    const std::uint8_t* status = &program[wire::kFirmwareStatus];
    std::ofstream out(path);
    out << "{\n";
    out << "  \"program_area_matches_image\": " << (programMatches ? "true" : "false") << ",\n";
    out << "  \"boot_loader_matches_image\": " << (bootLoaderMatches ? "true" : "false") << ",\n";
    out << "  \"boot_loader_version\": \""
        << Version(static_cast<std::uint16_t>(program[wire::kBootLoaderRecord] << 8 |
                                              program[wire::kBootLoaderRecord + 1]))
        << "\",\n";
    out << "  \"firmware_version\": \""
        << Version(static_cast<std::uint16_t>(status[1] << 8 | status[0])) << "\",\n";
    out << "  \"firmware_marker\": \"";
    for (const std::uint8_t* byte = status + 7; byte < status + 11; ++byte) {
        if (*byte >= 0x20 && *byte < 0x7F && *byte != '"' && *byte != '\\') {
            out << static_cast<char>(*byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", *byte);
            out << escaped;
        }
    }
    out << "\",\n";
    out << "  \"flash_pages\": " << recorder.geometry.TotalPages() << ",\n";
    out << "  \"stored_pages\": " << recorder.StoredPages() << ",\n";
    out << "  \"erased_page_ranges\": [";
    const char* separator = "";
    for (const PageRange& range : recorder.ErasedRanges()) {
        out << separator << "[" << range.first << ", " << range.end << "]";
        separator = ", ";
    }
    out << "],\n";
    out << "  \"restarts\": " << restarts << ",\n";
    out << "  \"invalid_wrappers\": " << invalidWrappers << ",\n";
    out << "  \"commands\": {";
    separator = "";
    for (const auto& [name, count] : commands) {
        out << separator << "\"" << name << "\": " << count;
        separator = ", ";
    }
    out << "}\n}\n";
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::vector<std::uint8_t> image = ReadImage(options.image);
    if (image.empty()) {
        std::fprintf(stderr, "qdp_usb_recorder: %s is not an image of 65536 bytes\n",
                     options.image.c_str());
        return 2;
    }
    VirtualRecorder recorder(FlashOfMiB(options.recorder.flashMib));
    SetUpRecorder(recorder, image, options.recorder);

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
    if (!gadget.Create(gadgetOptions, error) || !gadget.Bind()) {
        std::fprintf(stderr, "qdp_usb_recorder: %s\n",
                     error.empty() ? "cannot bind to the controller" : error.c_str());
        return 1;
    }
    std::printf("qdp_usb_recorder: connected\n");
    std::fflush(stdout);

    usb::BulkOnlyTarget target(recorder);
    if (options.recorder.fault == "program-failure") {
        // The memory write of the programming run at 0x0C00 is refused.
        target.failCommand = [](const CommandBlock& block, std::span<const std::uint8_t> out) {
            return block[0] == wire::kVendor && block[1] == wire::kI2CSend && out.size() == 36 &&
                   out[0] == wire::kFrameWrite && out[1] == 0x00 && out[2] == 0x0C;
        };
    }
    std::map<std::string, long> commands;
    long invalidWrappers = 0;
    int restarts = 0;
    bool away = false;
    while (!stopAsked) {
        if (away) {
            SleepMs(100); // off the bus for good
            continue;
        }
        const usb::Served served = target.ServeOne(gadget);
        gadget.TakeReset();
        if (served.kind == usb::Served::Kind::InvalidWrapper) {
            ++invalidWrappers;
            continue;
        }
        if (served.kind == usb::Served::Kind::PipeFailed) {
            continue;
        }
        ++commands[CommandName(served.block)];
        if (!served.restart) {
            continue;
        }
        ++restarts;
        if (options.recorder.fault == "no-leave") {
            continue;
        }
        gadget.Unbind();
        if (options.recorder.fault == "no-return") {
            away = true;
            continue;
        }
        SleepMs(options.recorder.restartMs);
        recorder.Boot();
        if (!stopAsked) {
            gadget.Bind();
        }
    }
    gadget.Destroy();
    if (!options.state.empty()) {
        WriteState(options.state, recorder, image, restarts, commands, invalidWrappers);
    }
    std::printf("qdp_usb_recorder: stopped after %d restarts\n", restarts);
    return 0;
}
