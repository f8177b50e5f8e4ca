// The controller's memory protocol: four commands, each one I2C exchange.
#pragma once

#include "controller/records.h"

#include <cstdint>

namespace qdp {

inline constexpr std::uint8_t kFrameMemoryRead = 0x50;  // 'P'
inline constexpr std::uint8_t kFrameMemoryWrite = 0x51; // 'Q'
inline constexpr std::uint8_t kFramePageErase = 0x52;   // 'R'
inline constexpr std::uint8_t kFrameRestart = 0x53;     // 'S'
// Second byte of the restart frame. The controller reads only the command byte;
// a fixed zero keeps the frame reproducible.
inline constexpr std::uint8_t kRestartFrameFiller = 0x00;

inline constexpr std::uint8_t kMaxMemoryRead = 64;
inline constexpr std::uint8_t kMaxMemoryWrite = 32;
inline constexpr std::uint8_t kPageEraseReplySize = 64;
inline constexpr std::uint8_t kAddressedFrameHeader = 4; // command, address low, high, count
inline constexpr std::uint8_t kPageEraseFrameSize = 3;
inline constexpr std::uint8_t kRestartFrameSize = 2;

[[nodiscard]] bool Ctrl_ReadMemory(std::uint16_t address, std::uint8_t count,
                                   std::uint8_t* destination);
[[nodiscard]] bool Ctrl_WriteMemory(std::uint16_t address, std::uint8_t count,
                                    const std::uint8_t* source);
[[nodiscard]] bool Ctrl_ErasePage(std::uint16_t address);
[[nodiscard]] bool Ctrl_Restart();
[[nodiscard]] bool Ctrl_ReadBootLoaderRecord(BootLoaderRecord* record);
[[nodiscard]] bool Ctrl_ReadFirmwareStatus(FirmwareStatusRecord* record);

constexpr std::uint16_t SwapBytes16(std::uint16_t value) {
    return static_cast<std::uint16_t>(value << 8 | value >> 8);
}

} // namespace qdp
