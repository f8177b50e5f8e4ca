#include "firmware/image_store.h"

#include "controller/controller_commands.h"
#include "firmware/descrambler.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>

namespace qdp {

std::array<char, kModulePathSize> ModulePath{};
ImageBuffer FirmwareImage{};
ImageBuffer ReplacementImage{};
FirmwareStatusRecord ImageFirmwareStatus{};
BootLoaderRecord ImageBootLoaderRecord{};

namespace {

// Single bytes of the firmware's program area that the replacement program takes.
struct BytePatch {
    std::size_t replacementOffset;
    std::size_t firmwareOffset;
};
inline constexpr std::array<BytePatch, 4> kReplacementPatches = {
    {{0x0F00, 0x0001}, {0x0F01, 0x0002}, {0x0F02, 0x003C}, {0x0F03, 0x003D}}};

bool LoadImage(const char* name, ImageBuffer& image) {
    if (!os::ReadImageResource(ModulePath.data(), name, image)) {
        return false;
    }
    DescrambleImage(image);
    return true;
}

} // namespace

void DescrambleImage(ImageBuffer& image) { ApplyKeyStream(image); }

bool LoadFirmwareImage() {
    if (!LoadImage(kFirmwareResource, FirmwareImage)) {
        return false;
    }
    std::memcpy(&ImageFirmwareStatus, &FirmwareImage[kFirmwareStatusAddress],
                sizeof ImageFirmwareStatus);
    std::memcpy(&ImageBootLoaderRecord, &FirmwareImage[kBootLoaderRecordAddress],
                sizeof ImageBootLoaderRecord);
    ImageBootLoaderRecord.version = SwapBytes16(ImageBootLoaderRecord.version);
    return true;
}

bool LoadReplacementImage() {
    if (!LoadImage(kReplacementResource, ReplacementImage)) {
        return false;
    }
    const auto section =
        std::span(FirmwareImage).subspan(kBootLoaderRecordAddress, kBootLoaderSectionSize);
    std::copy(section.begin(), section.end(), ReplacementImage.begin() + kReplacementSectionAt);
    for (const BytePatch& patch : kReplacementPatches) {
        ReplacementImage[patch.replacementOffset] = FirmwareImage[patch.firmwareOffset];
    }
    return true;
}

} // namespace qdp
