// One virtual recorder: the storage device's side of every command the updater
// sends (identification, flash pages and blocks, the I2C tunnel) and the
// microcontroller behind the tunnel with its 64 KiB of program memory.
//
// After a restart the recorder runs what its program area holds. A boot-loader
// replacement program is told from a firmware by the eight bytes "BLINSTAL" at
// 0x0F08 of the program area; it installs the boot-loader section that it carries
// at 0x2000-0x3FFF over the boot loader at 0xD800.
#pragma once

#include "transport/command_block.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qdp::sim {

struct Geometry {
    std::uint8_t unitCount = 2;
    std::uint16_t blocksPerUnit = 2048;
    std::uint8_t pagesPerBlock = 64;
    std::uint16_t pageSize = 2048;
    std::uint32_t sectorSize = 512;

    std::uint64_t TotalPages() const {
        return std::uint64_t{unitCount} * blocksPerUnit * pagesPerBlock;
    }
    std::uint64_t TotalBytes() const { return TotalPages() * pageSize; }
};

// The recorder's identification, as the updater expects it.
std::vector<std::uint8_t> RecorderInquiry();

enum class Status { Good, CheckCondition };

inline constexpr std::uint32_t kProgramMemorySize = 0x10000;
inline constexpr std::size_t kInstallerMarkAt = 0x0F08;
inline constexpr std::string_view kInstallerMark = "BLINSTAL";
inline constexpr std::size_t kCarriedSectionAt = 0x2000;
inline constexpr std::size_t kCarriedSectionSize = 0x2000;

class VirtualRecorder {
  public:
    explicit VirtualRecorder(Geometry geometry = {});

    // Carries out one command. `data` is the caller's buffer of the command's data
    // length; `moved` tells how many bytes went to or from it.
    Status Execute(const CommandBlock& block, std::span<std::uint8_t> data, std::size_t& moved);

    // True once after the controller took a restart frame.
    bool TakeRestartRequest() { return std::exchange(restartRequested_, false); }
    // What the controller does when it starts again after a restart.
    void Boot();

    // --- set-up and inspection -------------------------------------------------
    Geometry geometry;
    std::vector<std::uint8_t> inquiry = RecorderInquiry(); // replies may be altered or cut

    std::array<std::uint8_t, kProgramMemorySize> program{};
    void SetBootLoader(std::uint16_t version, std::string_view identification);
    void SetFirmware(std::uint16_t version, std::string_view marker = "FWOK");

    // Flash contents; only written pages hold storage.
    std::vector<std::uint8_t> ReadFlash(std::uint64_t page, std::size_t pages = 1) const;
    void WriteFlash(std::uint64_t page, std::span<const std::uint8_t> bytes);
    std::size_t StoredPages() const { return pages_.size(); }

  private:
    Status Inquiry(std::span<std::uint8_t> data, std::size_t& moved) const;
    Status ReadFlashParams(std::span<std::uint8_t> data, std::size_t& moved) const;
    Status ReadCapacity(std::span<std::uint8_t> data, std::size_t& moved) const;
    Status Read10(const CommandBlock& block, std::span<std::uint8_t> data,
                  std::size_t& moved) const;
    Status WritePages(const CommandBlock& block, std::span<std::uint8_t> data, std::size_t& moved);
    Status ReadParts(const CommandBlock& block, std::span<std::uint8_t> data,
                     std::size_t& moved) const;
    Status EraseBlocks(const CommandBlock& block, std::span<std::uint8_t> data);
    Status I2CSend(const CommandBlock& block, std::span<std::uint8_t> data, std::size_t& moved);
    Status I2CReceive(const CommandBlock& block, std::span<std::uint8_t> data, std::size_t& moved);
    bool ControllerFrame(std::span<const std::uint8_t> frame);

    void CopyOut(std::uint64_t byteOffset, std::span<std::uint8_t> out) const;

    std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> pages_;
    std::vector<std::uint8_t> reply_; // the controller's reply to the last frame
    bool restartRequested_ = false;
};

} // namespace qdp::sim
