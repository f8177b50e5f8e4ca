#include "sim/recorder_setup.h"

#include <string>
#include <vector>

namespace qdp::sim {

Geometry FlashOfMiB(unsigned long mib) {
    const unsigned long blocks = mib * 8;
    const unsigned long units = 1 + (blocks - 1) / 32768;
    Geometry geometry;
    geometry.unitCount = static_cast<std::uint8_t>(units);
    geometry.blocksPerUnit = static_cast<std::uint16_t>(blocks / units);
    return geometry;
}

bool IsBootLoaderChoice(std::string_view choice) {
    return choice == "older" || choice == "equal" || choice == "newer" || choice == "incompatible";
}

bool IsFirmwareChoice(std::string_view choice) {
    return choice == "valid" || choice == "unavailable";
}

void SetUpRecorder(VirtualRecorder& recorder, std::span<const std::uint8_t> image,
                   std::string_view bootLoader, std::string_view firmware) {
    const std::uint8_t* record = &image[wire::kBootLoaderRecord];
    const auto offered = static_cast<std::uint16_t>(record[0] << 8 | record[1]);
    std::string identification(record + 2, record + 9);
    if (bootLoader == "incompatible") {
        identification.back() ^= 0x01;
    }
    const std::uint16_t installed = bootLoader == "older" ? static_cast<std::uint16_t>(offered - 1)
                                    : bootLoader == "newer"
                                        ? static_cast<std::uint16_t>(offered + 1)
                                        : offered;
    recorder.SetBootLoader(installed, identification);
    if (firmware == "valid") {
        recorder.SetFirmware(0x0204);
    }
    recorder.WriteFlash(recorder.geometry.TotalPages() - 1,
                        std::vector<std::uint8_t>(recorder.geometry.pageSize, 0x00));
}

} // namespace qdp::sim
