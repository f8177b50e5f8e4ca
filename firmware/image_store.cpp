#include "firmware/image_store.h"

#include "controller/controller_commands.h"
#include "firmware/descrambler.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>

namespace qdp {
namespace {

// Single bytes of the firmware's program area that the replacement program takes.
struct BytePatch {
    std::size_t replacementOffset;
    std::size_t firmwareOffset;
};
inline constexpr std::array<BytePatch, 4> kReplacementPatches = {
    {{0x0F00, 0x0001}, {0x0F01, 0x0002}, {0x0F02, 0x003C}, {0x0F03, 0x003D}}};

bool LoadImage(const char* name, ImageBuffer& image) {
    if (!os::ReadImageResource(Firmware.ModulePath.data(), name, image)) {
        return false;
    }
    DescrambleImage(image);
    return true;
}

} // namespace

void DescrambleImage(ImageBuffer& image) { ApplyKeyStream(image); }

bool LoadFirmwareImage() {
    if (!LoadImage(kFirmwareResource, Firmware.FirmwareImage)) {
        return false;
    }
    std::memcpy(&Firmware.ImageFirmwareStatus, &Firmware.FirmwareImage[kFirmwareStatusAddress],
                sizeof Firmware.ImageFirmwareStatus);
    std::memcpy(&Firmware.ImageBootLoaderRecord, &Firmware.FirmwareImage[kBootLoaderRecordAddress],
                sizeof Firmware.ImageBootLoaderRecord);
    Firmware.ImageBootLoaderRecord.version = SwapBytes16(Firmware.ImageBootLoaderRecord.version);
    return true;
}

std::span<const std::uint8_t> BootLoaderSection() {
    return std::span(Firmware.FirmwareImage)
        .subspan(kBootLoaderRecordAddress, kBootLoaderSectionSize);
}

bool LoadReplacementImage() {
    ImageBuffer& replacement = Firmware.ReplacementImage;
    if (!LoadImage(kReplacementResource, replacement)) {
        return false;
    }
    const auto section = BootLoaderSection();
    std::copy(section.begin(), section.end(), replacement.begin() + kReplacementSectionAt);
    for (const BytePatch& patch : kReplacementPatches) {
        replacement[patch.replacementOffset] = Firmware.FirmwareImage[patch.firmwareOffset];
    }
    return true;
}

} // namespace qdp
