// The recorder's side of the wire, written down here on its own: what the virtual
// recorder answers to, in the recorder's terms. Nothing here is taken from the
// updater's sources, so that a wrong value there cannot pass unnoticed by being
// wrong on both sides.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qdp::sim::wire {

using Block = std::array<std::uint8_t, 16>;

// --- SCSI operation codes the recorder answers ---------------------------------
inline constexpr std::uint8_t kTestUnitReady = 0x00;
inline constexpr std::uint8_t kRequestSense = 0x03;
inline constexpr std::uint8_t kInquiry = 0x12;
inline constexpr std::uint8_t kModeSense6 = 0x1A;
inline constexpr std::uint8_t kStartStopUnit = 0x1B;
inline constexpr std::uint8_t kPreventAllowRemoval = 0x1E;
inline constexpr std::uint8_t kReadCapacity10 = 0x25;
inline constexpr std::uint8_t kRead10 = 0x28;
inline constexpr std::uint8_t kWrite10 = 0x2A;
inline constexpr std::uint8_t kSynchronizeCache10 = 0x35;
inline constexpr std::uint8_t kVendor = 0xC8;

// Sub-codes of the vendor command, in byte 1.
inline constexpr std::uint8_t kFlashParams = 0x00;
inline constexpr std::uint8_t kWritePages = 0x01;
inline constexpr std::uint8_t kI2CSend = 0x02;
inline constexpr std::uint8_t kI2CReceive = 0x03;
inline constexpr std::uint8_t kReadParts = 0x04;
inline constexpr std::uint8_t kEraseBlocks = 0x0A;

// Fields of the vendor and READ(10) blocks; numbers are big-endian.
inline constexpr std::size_t kAddressField = 2;   // 32-bit page or sector
inline constexpr std::size_t kCountField = 7;     // 16-bit pages, sectors or parts
inline constexpr std::size_t kPartSizeField = 9;  // 16-bit
inline constexpr std::size_t kPageStepField = 11; // 16-bit
inline constexpr std::size_t kPartOffsetField = 13;
inline constexpr std::size_t kBlockCountField = 8; // erase: byte 7 stays 0
inline constexpr std::size_t kI2CLengthField = 2;
inline constexpr std::size_t kMaxI2CBytes = 64;

// --- The recorder's identification: the 36 bytes of its INQUIRY data -----------
inline constexpr std::array<std::uint8_t, 36> kIdentity = {
    0x00, 0x80, 0x05, 0x02, 0x20, 0x00, 0x80, 0x00, // disk, removable, SPC-3
    0x43, 0x6F, 0x6F, 0x6C, 0x20, 0x00, 0x20, 0x20, // "Cool", space, NUL, 2 spaces
    0x4D, 0x61, 0x73, 0x73, 0x20, 0x53, 0x74, 0x6F, // "Mass Sto"
    0x72, 0x61, 0x67, 0x65, 0x20, 0x00, 0x20, 0x20, // "rage", space, NUL, 2 spaces
    0x00, 0x00, 0x00, 0x00};                        // revision: four zeros

// --- The controller behind the I2C tunnel ----------------------------------------
inline constexpr std::uint8_t kFrameRead = 0x50;    // 'P' lo hi n        -> n bytes
inline constexpr std::uint8_t kFrameWrite = 0x51;   // 'Q' lo hi n data   -> the data again
inline constexpr std::uint8_t kFrameErase = 0x52;   // 'R' lo hi          -> 64 bytes
inline constexpr std::uint8_t kFrameRestart = 0x53; // 'S' x              -> nothing
inline constexpr std::size_t kMaxReadFrame = 64;
inline constexpr std::size_t kMaxWriteFrame = 32;
inline constexpr std::size_t kEraseReply = 64;

// Program memory: 64 KiB of flash, erased to 0xFF, in pages of 1024 bytes.
inline constexpr std::size_t kProgramMemory = 0x10000;
inline constexpr std::size_t kControllerPage = 1024;
inline constexpr std::size_t kProgramArea = 0xD400; // 53 pages
inline constexpr std::size_t kFirmwareStatus = 0xD3F5;
inline constexpr std::size_t kBootLoaderRecord = 0xD800;
inline constexpr std::size_t kBootLoaderSection = 0x2000;   // bytes from the record on
inline constexpr std::string_view kFirmwareMarker = "FWOK"; // at status + 7

// A boot-loader installer is marked at 0x0F08 and carries a boot-loader section at
// 0x2000-0x3FFF, which it copies over the boot loader when it starts.
inline constexpr std::size_t kInstallerMarkAt = 0x0F08;
inline constexpr std::string_view kInstallerMark = "BLINSTAL";
inline constexpr std::size_t kCarriedSectionAt = 0x2000;

// --- Sense data the recorder reports -----------------------------------------------
struct Sense {
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
};
inline constexpr Sense kNoSense{};
inline constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};
inline constexpr Sense kOutOfRange{0x05, 0x21, 0x00};
inline constexpr Sense kInvalidField{0x05, 0x24, 0x00};
inline constexpr Sense kInvalidParameter{0x05, 0x26, 0x00};
inline constexpr Sense kDataPhaseError{0x0B, 0x4B, 0x00};
inline constexpr Sense kMediumNotPresent{0x02, 0x3A, 0x00};

// --- Numbers in blocks and frames ------------------------------------------------
constexpr std::uint32_t Big16(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) << 8 | at[1];
}
constexpr std::uint32_t Big32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}
constexpr void PutBig32(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

// The descrambling key stream of the images: x' = x * 22695477 + 1, a byte from
// bits 16 to 23 of each new x, from the seed 24681 after one discarded step.
constexpr void Descramble(std::uint8_t* bytes, std::size_t count) {
    std::uint32_t state = 24681u * 22695477u + 1u;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 22695477u + 1u;
        bytes[i] ^= static_cast<std::uint8_t>(state >> 16);
    }
}

} // namespace qdp::sim::wire
