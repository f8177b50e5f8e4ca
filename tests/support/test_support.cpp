#include "tests/support/test_support.h"

#include "app/updater.h"
#include "firmware/firmware_state.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "platform/embedded_images.h"
#include "sim/recorder_setup.h"
#include "transport/transport_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace qdp::test {

void ResetProcess() {
    Host().Reset();
    ResetTransportState();
    ResetFirmwareState();
}

sim::VirtualHost& Host() { return sim::VirtualHost::Instance(); }

const Offered& OfferedByTheImage() {
    static const Offered offered = [] {
        const std::vector<std::uint8_t> image = sim::Descrambled(os::FindEmbeddedImage("FWC"));
        return Offered{static_cast<std::uint16_t>(image[0xD3F5] | image[0xD3F6] << 8),
                       static_cast<std::uint16_t>(image[0xD800] << 8 | image[0xD801]),
                       std::string(image.begin() + 0xD802, image.begin() + 0xD809)};
    }();
    return offered;
}

std::string VersionText(std::uint16_t version) {
    return std::to_string(version >> 8) + "." + std::to_string(version & 0xFF);
}

bool CommittedImagesBuiltIn() {
    for (const std::string name : {"FWC", "BRC"}) {
        const std::span<const std::uint8_t> built = os::FindEmbeddedImage(name.c_str());
        const std::vector<std::uint8_t> committed = ReadSourceFile("resources/" + name + ".bin");
        if (!std::equal(built.begin(), built.end(), committed.begin(), committed.end())) {
            return false;
        }
    }
    return true;
}

sim::VirtualRecorder& AttachStandardRecorder(int drive, int bootLoader, std::uint16_t firmware) {
    sim::VirtualRecorder& recorder = Host().AttachRecorder(drive);
    const Offered& offered = OfferedByTheImage();
    const std::vector<std::uint8_t> image = sim::Descrambled(os::FindEmbeddedImage("FWC"));
    std::copy(image.begin() + 0xD800, image.begin() + 0xF800, recorder.program.begin() + 0xD800);
    recorder.SetBootLoader(bootLoader < 0 ? offered.bootLoader
                                          : static_cast<std::uint16_t>(bootLoader),
                           offered.identification);
    recorder.SetFirmware(firmware);
    return recorder;
}

sim::VirtualRecorder& Identify(sim::Geometry geometry) {
    sim::VirtualRecorder& recorder = Host().AttachRecorder(0, geometry);
    char* name = nullptr;
    QDp_IsConnected(&name);
    std::free(name);
    Host().ClearTrace();
    return recorder;
}

CommandBlock Block(std::initializer_list<std::uint8_t> leading) {
    CommandBlock block{};
    std::copy(leading.begin(), leading.end(), block.begin());
    return block;
}

std::vector<sim::CommandRecord> Commands(std::uint8_t opcode, int subCode) {
    std::vector<sim::CommandRecord> found;
    for (const sim::CommandRecord& record : Host().Trace()) {
        if (record.block[0] == opcode && (subCode < 0 || record.block[1] == subCode)) {
            found.push_back(record);
        }
    }
    return found;
}

std::vector<std::vector<std::uint8_t>> ControllerFrames() {
    std::vector<std::vector<std::uint8_t>> frames;
    for (const sim::CommandRecord& record : Commands(0xC8, 0x02)) {
        frames.push_back(record.data);
    }
    return frames;
}

std::vector<std::uint8_t> ReadSourceFile(const std::string& relativePath) {
    const char* root = std::getenv("QDP_SOURCE_DIR");
    std::ifstream in(std::string(root != nullptr ? root : ".") + "/" + relativePath,
                     std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string TraceText() {
    std::string text;
    const auto& trace = Host().Trace();
    const auto& pauses = Host().Pauses();
    auto pause = pauses.begin();
    char line[160];
    for (std::size_t i = 0; i <= trace.size(); ++i) {
        for (; pause != pauses.end() && pause->afterCommands == i; ++pause) {
            std::snprintf(line, sizeof line, "pause %u\n", pause->ms);
            text += line;
        }
        if (i == trace.size()) {
            break;
        }
        const sim::CommandRecord& record = trace[i];
        std::string block;
        for (const std::uint8_t byte : record.block) {
            std::snprintf(line, sizeof line, "%02x", byte);
            block += line;
        }
        const char* direction = record.direction == 1 ? "in" : record.length == 0 ? "none" : "out";
        std::string data;
        for (std::size_t k = 0; k < std::min<std::size_t>(record.data.size(), 4); ++k) {
            std::snprintf(line, sizeof line, " %02x", record.data[k]);
            data += line;
        }
        std::snprintf(line, sizeof line, "%d %s %s %u%s%s%s\n", record.drive, block.c_str(),
                      direction, record.length, data.empty() ? "" : " :", data.c_str(),
                      record.good ? "" : " FAILED");
        text += line;
    }
    return text;
}

std::vector<char*> Argv(std::vector<std::string>& words) {
    words.insert(words.begin(), "QDp_FW_FirstUpdater");
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return argv;
}

int RunWords(std::vector<std::string> words) {
    std::vector<char*> argv = Argv(words);
    return UpdaterMain(static_cast<int>(words.size()), argv.data());
}

} // namespace qdp::test
