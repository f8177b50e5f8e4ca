// The controller's memory map and its two version records, as stored in controller
// memory and in the firmware image at the same addresses.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qdp {

inline constexpr std::uint16_t kControllerPageSize = 1024;
inline constexpr std::uint16_t kProgramPages = 53;
inline constexpr std::uint32_t kProgramAreaSize = kControllerPageSize * kProgramPages; // 0xD400
inline constexpr std::uint16_t kFirmwareStatusAddress = 0xD3F5;
inline constexpr std::uint16_t kBootLoaderRecordAddress = 0xD800;

inline constexpr char kFirmwareMarker[4] = {'F', 'W', 'O', 'K'};

#pragma pack(push, 1)
struct BootLoaderRecord {
    std::uint16_t version; // big-endian in memory; host order once read
    std::uint8_t identification[7];
};

struct FirmwareStatusRecord {
    std::uint16_t version; // little-endian: minor, then major
    std::uint8_t carried[5];
    char marker[4]; // "FWOK", no terminator
};
#pragma pack(pop)

// A version value: the major number in the high byte, the minor in the low byte.
constexpr int VersionMajor(std::uint16_t version) { return version >> 8; }
constexpr int VersionMinor(std::uint16_t version) { return version & 0xFF; }

static_assert(sizeof(BootLoaderRecord) == 9);
static_assert(offsetof(BootLoaderRecord, identification) == 2);
static_assert(sizeof(FirmwareStatusRecord) == 11);
static_assert(offsetof(FirmwareStatusRecord, marker) == 7);
static_assert(kFirmwareStatusAddress + sizeof(FirmwareStatusRecord) == kProgramAreaSize);

} // namespace qdp
