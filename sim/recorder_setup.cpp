#include "sim/recorder_setup.h"

#include "sim/recorder_state.h"

#include <algorithm>
#include <cstdlib>

namespace qdp::sim {

bool TakeRecorderOption(std::string_view word, const std::string& value, RecorderOptions& options) {
    if (word == "--boot-loader") {
        options.bootLoader = value;
    } else if (word == "--firmware") {
        options.firmware = value;
    } else if (word == "--flash-mib") {
        options.flashMib = std::strtoul(value.c_str(), nullptr, 10);
    } else if (word == "--restart-ms") {
        options.restartMs = std::strtoul(value.c_str(), nullptr, 10);
    } else if (word == "--fault") {
        constexpr std::string_view kUnplug = "unplug-at=";
        options.fault = value.starts_with(kUnplug) ? "unplug-at" : value;
        if (value.starts_with(kUnplug)) {
            options.unplugAt = std::strtoul(value.c_str() + kUnplug.size(), nullptr, 10);
        }
    } else if (word == "--state") {
        options.state = value;
    } else if (word == "--resume") {
        options.resume = value;
    } else {
        return false;
    }
    return true;
}

bool RecorderOptionsValid(const RecorderOptions& options,
                          std::initializer_list<std::string_view> moreFaults) {
    const std::string_view fault = options.fault;
    const bool knownFault =
        fault == "none" || fault == "program-failure" || fault == "no-leave" ||
        fault == "no-return" || (fault == "unplug-at" && options.unplugAt > 0) ||
        std::find(moreFaults.begin(), moreFaults.end(), fault) != moreFaults.end();
    const std::string_view bootLoader = options.bootLoader;
    return knownFault &&
           (bootLoader == "older" || bootLoader == "equal" || bootLoader == "newer" ||
            bootLoader == "incompatible") &&
           (options.firmware == "valid" || options.firmware == "unavailable") &&
           options.flashMib > 0 && options.flashMib <= 1024 * 1024;
}

std::vector<std::uint8_t> Descrambled(std::span<const std::uint8_t> stored) {
    std::vector<std::uint8_t> image(stored.begin(), stored.end());
    image.resize(0x10000);
    wire::Descramble(image.data(), image.size());
    return image;
}

Geometry FlashOfMiB(unsigned long mib) {
    const unsigned long blocks = mib * 8;
    const unsigned long units = 1 + (blocks - 1) / 32768;
    Geometry geometry;
    geometry.unitCount = static_cast<std::uint8_t>(units);
    geometry.blocksPerUnit = static_cast<std::uint16_t>(blocks / units);
    return geometry;
}

bool SetUpRecorder(VirtualRecorder& recorder, std::span<const std::uint8_t> image,
                   const RecorderOptions& options) {
    if (!options.resume.empty()) {
        return ReadRecorderState(options.resume, recorder);
    }
    const std::uint8_t* record = &image[wire::kBootLoaderRecord];
    const auto offered = static_cast<std::uint16_t>(record[0] << 8 | record[1]);
    std::string identification(record + 2, record + 9);
    if (options.bootLoader == "incompatible") {
        identification.back() ^= 0x01;
    }
    std::uint16_t installed = offered;
    if (options.bootLoader == "older") {
        installed = static_cast<std::uint16_t>(offered - 1);
    } else if (options.bootLoader == "newer") {
        installed = static_cast<std::uint16_t>(offered + 1);
    }
    recorder.SetBootLoader(installed, identification);
    if (options.firmware == "valid") {
        recorder.SetFirmware(0x0204);
    }
    recorder.WriteFlash(recorder.geometry.TotalPages() - 1,
                        std::vector<std::uint8_t>(recorder.geometry.pageSize, 0x00));
    return true;
}

} // namespace qdp::sim
