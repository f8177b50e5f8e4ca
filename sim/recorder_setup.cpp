#include "sim/recorder_setup.h"

#include "sim/recorder_state.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace qdp::sim {

std::optional<unsigned long> WholeNumber(std::string_view text, unsigned long least,
                                         unsigned long most) {
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text[0] < '0' || text[0] > '9' ||
        std::from_chars(text.data(), end, value).ptr != end || value < least || value > most) {
        return std::nullopt;
    }
    return value;
}

Taken TakeRecorderOption(std::string_view word, std::string_view value, RecorderOptions& options,
                         std::span<const FaultKind> faults) {
    const auto oneOf = [&](std::initializer_list<std::string_view> known) {
        return std::find(known.begin(), known.end(), value) != known.end();
    };
    bool good = true;
    if (word == "--boot-loader") {
        good = oneOf({"older", "equal", "newer", "incompatible"});
        options.bootLoader = value;
        options.installChosen = true;
    } else if (word == "--firmware") {
        good = oneOf({"valid", "unavailable"});
        options.firmware = value;
        options.installChosen = true;
    } else if (word == "--flash-mib") {
        const auto mib = WholeNumber(value, 1, 1024 * 1024);
        good = mib.has_value();
        options.flashMib = mib.value_or(0);
        options.installChosen = true;
    } else if (word == "--restart-ms") {
        const auto ms = WholeNumber(value, 0, 3'600'000);
        good = ms.has_value();
        options.restartMs = ms.value_or(0);
    } else if (word == "--fault") {
        const auto fault = ParseFault(value, faults);
        good = fault.has_value();
        options.fault = fault.value_or(RecorderFault{});
    } else if (word == "--state") {
        options.state = value;
    } else if (word == "--resume") {
        options.resume = value;
    } else {
        return Taken::NotMine;
    }
    return good ? Taken::Taken : Taken::BadValue;
}

std::optional<std::string> RecorderOptionsProblem(const RecorderOptions& options) {
    if (!options.resume.empty() && options.installChosen) {
        return "--resume takes the recorder as its state file holds it: --boot-loader, "
               "--firmware and --flash-mib do not go with it";
    }
    return std::nullopt;
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

namespace {

// A recorder as it left the factory and was used: the boot loader and firmware asked
// for, the offered boot loader's code, and a recording at the end of its flash.
void Install(VirtualRecorder& recorder, std::span<const std::uint8_t> image,
             const RecorderOptions& options) {
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
    // The offered boot loader's code, under the record of the one installed.
    std::copy_n(image.begin() + wire::kBootLoaderRecord, wire::kBootLoaderSection,
                recorder.program.begin() + wire::kBootLoaderRecord);
    recorder.SetBootLoader(installed, identification);
    if (options.firmware == "valid") {
        recorder.SetFirmware(0x0204);
    }
    recorder.WriteFlash(recorder.geometry.TotalPages() - 1,
                        std::vector<std::uint8_t>(recorder.geometry.pageSize, 0x00));
}

} // namespace

bool SetUpRecorder(VirtualRecorder& recorder, std::span<const std::uint8_t> image,
                   const RecorderOptions& options, std::string& problem) {
    if (!options.resume.empty()) {
        std::vector<VirtualRecorder> states;
        const auto refused = ReadRecorderStates(options.resume, states);
        problem = refused              ? *refused
                  : states.size() != 1 ? options.resume + ": holds " +
                                             std::to_string(states.size()) + " recorders, not one"
                                       : "";
        if (!problem.empty()) {
            return false;
        }
        recorder = std::move(states.front());
    } else {
        Install(recorder, image, options);
    }
    recorder.corruptWriteAt = options.fault.kind == FaultKind::CorruptAt ? options.fault.at : 0;
    return true;
}

} // namespace qdp::sim
