// The 16-byte command block and the operation codes that the system sends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qdp {

using CommandBlock = std::array<std::uint8_t, 16>;

// Direction argument of the pass-through.
inline constexpr std::uint8_t kDataIn = 1;  // device to host
inline constexpr std::uint8_t kDataOut = 0; // host to device, or no data

inline constexpr std::uint8_t kOpInquiry = 0x12;
inline constexpr std::uint8_t kOpReadCapacity10 = 0x25;
inline constexpr std::uint8_t kOpRead10 = 0x28;
inline constexpr std::uint8_t kOpVendor = 0xC8;

// Sub-codes of the vendor operation, carried in byte 1.
inline constexpr std::uint8_t kVendorReadFlashParams = 0x00;
inline constexpr std::uint8_t kVendorWritePages = 0x01;
inline constexpr std::uint8_t kVendorI2CSend = 0x02;
inline constexpr std::uint8_t kVendorI2CReceive = 0x03;
inline constexpr std::uint8_t kVendorReadPartsOfPages = 0x04;
inline constexpr std::uint8_t kVendorEraseBlocks = 0x0A;

// Field positions shared by the page, part and block commands.
inline constexpr std::size_t kAddressAt = 2; // 32-bit page or sector number
inline constexpr std::size_t kCountAt = 7;   // 16-bit count
// The read-parts block's part size, page step and part offset, each 16-bit.
inline constexpr std::size_t kPartSizeAt = 9;
inline constexpr std::size_t kPageStepAt = 11;
inline constexpr std::size_t kPartOffsetAt = 13;
inline constexpr std::size_t kBlockCountAt = 8; // erase blocks: 8-bit count
inline constexpr std::size_t kI2CLengthAt = 2;  // I2C send and receive: 8-bit length

constexpr CommandBlock StandardBlock(std::uint8_t opcode) {
    CommandBlock block{};
    block[0] = opcode;
    return block;
}

constexpr CommandBlock VendorBlock(std::uint8_t subCode) {
    CommandBlock block{};
    block[0] = kOpVendor;
    block[1] = subCode;
    return block;
}

constexpr void PutBigEndian16(CommandBlock& block, std::size_t at, std::uint16_t value) {
    block[at] = static_cast<std::uint8_t>(value >> 8);
    block[at + 1] = static_cast<std::uint8_t>(value);
}

constexpr void PutBigEndian32(CommandBlock& block, std::size_t at, std::uint32_t value) {
    block[at] = static_cast<std::uint8_t>(value >> 24);
    block[at + 1] = static_cast<std::uint8_t>(value >> 16);
    block[at + 2] = static_cast<std::uint8_t>(value >> 8);
    block[at + 3] = static_cast<std::uint8_t>(value);
}

constexpr std::uint16_t GetBigEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

constexpr std::uint32_t GetBigEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | bytes[3];
}

} // namespace qdp
