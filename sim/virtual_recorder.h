// One virtual recorder: the storage device's side of every command a host sends it
// (identification, the commands any host sends a new disk, flash pages and blocks,
// the I2C tunnel) and the microcontroller behind the tunnel with its 64 KiB of
// program memory.
//
// After a restart the recorder runs what its program area holds. A boot-loader
// replacement program is told from a firmware by the eight bytes "BLINSTAL" at
// 0x0F08 of the program area; it installs the boot-loader section that it carries
// at 0x2000-0x3FFF over the boot loader at 0xD800. A firmware is started by its
// status record ("FWOK" at 0xD3FC). Either one starts only when it was written whole:
// a real controller that jumps into a torn program crashes before its USB stack is
// up, and is lost to every updater. Such a recorder is bricked and never comes back.
#pragma once

#include "sim/wire.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qdp::sim {

using CommandBlock = wire::Block;

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

// Which way a command's data moves.
enum class DataDirection { None, In, Out, Unknown };
DataDirection DirectionOf(const CommandBlock& block);

struct Reply {
    bool good = true;
    wire::Sense sense;     // what went wrong, when not good
    std::size_t moved = 0; // bytes moved to or from the host's buffer
};

// A run of erased flash pages, [first, end).
struct PageRange {
    std::uint64_t first;
    std::uint64_t end;
};

// What the recorder knows of how one page of its program area came to hold what it
// holds. A page is whole when it holds exactly what one page erase and its 32 piece
// writes, all in one run (the time between two power-ups), left; a program is whole
// when all 53 pages are, from one run.
struct PageHistory {
    bool factory = true; // as shipped: whole, until the page is first erased or written
    // The last time the page was programmed whole: the run, and a digest of its bytes.
    bool programmed = false;
    std::uint32_t programmedRun = 0;
    std::uint64_t digest = 0;
    // The programming since the page's last erase.
    bool erased = false;
    std::uint32_t erasedRun = 0;
    std::uint32_t pieces = 0; // one bit per 32-byte piece written
    bool spoiled = false;     // a write that failed, went wrong or came without an erase
};

class VirtualRecorder {
  public:
    explicit VirtualRecorder(Geometry geometry = {});

    // Carries out one command. `in` is the host's buffer for a command that sends
    // data to the host, `out` what the host sends; at most one of them holds bytes,
    // as many as the host's data length.
    Reply Execute(const CommandBlock& block, std::span<std::uint8_t> in,
                  std::span<const std::uint8_t> out);

    // A command failed before the recorder saw it (a fault, a transport error): the
    // sense that REQUEST SENSE reports next.
    void NoteFailure(const wire::Sense& sense) { sense_ = sense; }

    // True once after the controller took a restart frame.
    bool TakeRestartRequest() { return std::exchange(restartRequested_, false); }
    // The host reported the command just carried out as failed: a memory write it
    // carried is not trusted.
    void ReportedAsFailed();
    // What the controller does when it starts, after a restart or at power-up: it
    // runs what is programmed (an installer installs the boot-loader section it
    // carries); what its RAM held is lost. A torn program that it would start
    // bricks it.
    void Boot();
    bool Bricked() const { return bricked; }
    // Whether the program area holds one whole program.
    bool ProgramWhole() const;

    // The corrupt-at fault: the Nth memory write (counting from 1, among memory writes
    // only) is carried and answered as good, but one byte of it is stored wrongly.
    std::uint64_t corruptWriteAt = 0;
    std::uint64_t MemoryWrites() const { return writes_; }

    // --- set-up and inspection -------------------------------------------------
    Geometry geometry;
    std::vector<std::uint8_t> inquiry{wire::kIdentity.begin(), wire::kIdentity.end()};

    std::array<std::uint8_t, wire::kProgramMemory> program{};
    // What it keeps about its program area without power.
    std::array<PageHistory, wire::kProgramArea / wire::kControllerPage> pageHistory{};
    std::uint32_t runs = 0; // power-ups and restarts so far
    bool bricked = false;
    void SetBootLoader(std::uint16_t version, std::string_view identification);
    void SetFirmware(std::uint16_t version, std::string_view marker = "FWOK");

    // Flash contents; only written pages hold storage.
    std::vector<std::uint8_t> ReadFlash(std::uint64_t page, std::size_t pages = 1) const;
    void WriteFlash(std::uint64_t page, std::span<const std::uint8_t> bytes);
    std::size_t StoredPages() const { return pages_.size(); }
    // The page numbers that hold storage, in order.
    std::vector<std::uint64_t> StoredPageNumbers() const;
    // Every page range that erase commands have erased, merged, in order.
    const std::vector<PageRange>& ErasedRanges() const { return erased_; }

  private:
    Reply Dispatch(const CommandBlock& block, std::span<std::uint8_t> in,
                   std::span<const std::uint8_t> out);
    Reply Inquiry(const CommandBlock& block, std::span<std::uint8_t> data) const;
    Reply RequestSense(std::span<std::uint8_t> data);
    Reply ModeSense(const CommandBlock& block, std::span<std::uint8_t> data) const;
    Reply FlashParams(std::span<std::uint8_t> data) const;
    Reply ReadCapacity(std::span<std::uint8_t> data) const;
    Reply Read10(const CommandBlock& block, std::span<std::uint8_t> data) const;
    Reply WritePages(const CommandBlock& block, std::span<const std::uint8_t> data);
    Reply ReadParts(const CommandBlock& block, std::span<std::uint8_t> data) const;
    Reply EraseBlocks(const CommandBlock& block);
    Reply I2CSend(const CommandBlock& block, std::span<const std::uint8_t> data);
    Reply I2CReceive(const CommandBlock& block, std::span<std::uint8_t> data);
    bool ControllerFrame(std::span<const std::uint8_t> frame);
    void NotePageErase(std::size_t address);
    void NoteWrite(std::size_t address, std::size_t count);
    void Settle();

    void CopyOut(std::uint64_t byteOffset, std::span<std::uint8_t> out) const;
    void NoteErased(std::uint64_t first, std::uint64_t end);

    std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> pages_;
    std::vector<PageRange> erased_;
    std::vector<std::uint8_t> reply_; // the controller's reply to the last frame
    wire::Sense sense_;               // of the last command that failed
    bool restartRequested_ = false;
    std::uint64_t writes_ = 0;                 // memory writes carried
    std::optional<std::size_t> lastWritePage_; // written by the command being carried
};

// A digest of one program page, as PageHistory keeps it.
std::uint64_t PageDigest(std::span<const std::uint8_t> page);

} // namespace qdp::sim
