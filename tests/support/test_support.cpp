#include "tests/support/test_support.h"

#include "app/updater.h"
#include "firmware/image_store.h"
#include "include/QDp_FW_FirstUpdater.h"
#include "transport/device_state.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace qdp::test {

void ResetProcess() {
    Host().Reset();
    DevicePath = kInitialDevicePath;
    FlashParams = {};
    SectorSize = kInitialSectorSize;
    DiagMode = false;
    std::free(DeviceName);
    DeviceName = nullptr;
    InstanceMutex = 0;
    InstalledBootLoaderRecord = {};
    InstalledFirmwareStatus = {};
    FirmwareValid = false;
    ModulePath = {};
    FirmwareImage = {};
    ReplacementImage = {};
    ImageFirmwareStatus = {};
    ImageBootLoaderRecord = {};
}

sim::VirtualHost& Host() { return sim::VirtualHost::Instance(); }

sim::VirtualRecorder& AttachStandardRecorder(int drive, std::uint16_t bootLoader,
                                             std::uint16_t firmware) {
    sim::VirtualRecorder& recorder = Host().AttachRecorder(drive);
    recorder.SetBootLoader(bootLoader, "QDP+BL1");
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
    for (const sim::CommandRecord& record : Commands(kOpVendor, kVendorI2CSend)) {
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

} // namespace qdp::test
