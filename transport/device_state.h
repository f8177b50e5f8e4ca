// The current device and what its last identification left behind. Discovery is
// the only writer; every command reads DevicePath when it is sent.
#pragma once

#include "include/QDp_FW_FirstUpdater.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace qdp {

inline constexpr std::size_t kDevicePathSize = 19; // 18 characters and the NUL
inline constexpr std::size_t kDriveDigitIndex = 17;
using DevicePathText = std::array<char, kDevicePathSize>;
inline constexpr DevicePathText kInitialDevicePath = [] {
    constexpr char text[] = "\\\\.\\PHYSICALDRIVEx"; // ends in x: names no drive
    static_assert(sizeof text == kDevicePathSize);
    DevicePathText path{};
    for (std::size_t i = 0; i < kDevicePathSize; ++i) {
        path[i] = text[i];
    }
    return path;
}();
inline constexpr std::uint32_t kInitialSectorSize = 512;

extern DevicePathText DevicePath;
extern ::FlashParams FlashParams;
extern std::uint32_t SectorSize;

// The recorder's 16-bit geometry fields are little-endian, as on every host we build for.
static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(::FlashParams) == 12);
static_assert(offsetof(::FlashParams, blocksPerUnit) == 6);
static_assert(offsetof(::FlashParams, pagesPerBlock) == 8);
static_assert(offsetof(::FlashParams, pageSize) == 9);

} // namespace qdp
