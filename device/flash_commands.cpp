// Flash page and block commands. Pages are read as logical sectors with READ(10);
// every other command is a vendor command addressed by page number.
#include "include/QDp_FW_FirstUpdater.h"
#include "transport/command_block.h"
#include "transport/scsi_executor.h"
#include "transport/transport_state.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace qdp {
namespace {

inline constexpr std::uint32_t kMaxBytesPerCommand = 65536;
inline constexpr std::uint64_t kLastAddress = UINT32_MAX; // pages and sectors are 32-bit

// True when `count` units from `first`, `step` apart, all have 32-bit addresses.
bool RangeFits(std::uint64_t first, std::uint64_t count, std::uint64_t step = 1) {
    return count == 0 || first + (count - 1) * step <= kLastAddress;
}

// Moves `units` units of `unitSize` bytes in commands of at most 64 KiB, filling or
// draining the caller's buffer in place. makeBlock(unitsDone, n) gives the block of
// the command that moves units unitsDone to unitsDone + n - 1. Stops at the first
// failed command.
template <class MakeBlock>
bool TransferUnits(std::uint8_t direction, std::uint8_t* buffer, std::uint16_t units,
                   std::uint16_t unitSize, MakeBlock makeBlock) {
    const std::uint32_t unitsPerCommand = kMaxBytesPerCommand / unitSize;
    std::uint32_t done = 0;
    while (done < units) {
        const auto n =
            static_cast<std::uint16_t>(std::min<std::uint32_t>(unitsPerCommand, units - done));
        const CommandBlock block = makeBlock(done, n);
        if (Execute(direction, block, buffer + std::size_t{done} * unitSize,
                    std::uint32_t{n} * unitSize) == 0) {
            return false;
        }
        done += n;
    }
    return true;
}

CommandBlock PageBlock(std::uint8_t opcode, std::uint8_t subCode, std::uint32_t address,
                       std::uint16_t count) {
    CommandBlock block = StandardBlock(opcode);
    block[1] = subCode;
    PutBigEndian32(block, kAddressAt, address);
    PutBigEndian16(block, kCountAt, count);
    return block;
}

std::uint8_t* Bytes(void* buffer) { return static_cast<std::uint8_t*>(buffer); }

} // namespace
} // namespace qdp

extern "C" void QDp_GetFlashParams(::FlashParams* out) {
    if (out != nullptr) {
        std::memcpy(out, &qdp::Transport.FlashParams, sizeof qdp::Transport.FlashParams);
    }
}

extern "C" uint32_t QDp_GetSectorSize(void) { return qdp::Transport.SectorSize; }

extern "C" uint8_t QDp_ReadPages(uint32_t firstPage, void* buffer, uint16_t pageCount) {
    const std::uint32_t pageSize = qdp::Transport.FlashParams.pageSize;
    // A page must be a whole number of sectors, or the request would read less than
    // the caller's buffer expects.
    const std::uint32_t sectorSize = qdp::Transport.SectorSize;
    if (sectorSize == 0 || pageSize < sectorSize || pageSize % sectorSize != 0) {
        return 0;
    }
    const std::uint32_t sectorsPerPage = pageSize / sectorSize;
    const std::uint64_t sectors = std::uint64_t{pageCount} * sectorsPerPage;
    const std::uint64_t firstSector = std::uint64_t{firstPage} * sectorsPerPage;
    if (sectors > UINT16_MAX || !qdp::RangeFits(firstSector, sectors) ||
        (sectors > 0 && buffer == nullptr)) {
        return 0;
    }
    return qdp::TransferUnits(qdp::kDataIn, qdp::Bytes(buffer), static_cast<std::uint16_t>(sectors),
                              static_cast<std::uint16_t>(sectorSize),
                              [&](std::uint32_t done, std::uint16_t n) {
                                  return qdp::PageBlock(
                                      qdp::kOpRead10, 0,
                                      static_cast<std::uint32_t>(firstSector + done), n);
                              })
               ? 1
               : 0;
}

extern "C" uint8_t QDp_WritePages(uint32_t firstPage, const void* buffer, uint16_t pageCount) {
    const std::uint16_t pageSize = qdp::Transport.FlashParams.pageSize;
    if (pageSize == 0 || (pageCount > 0 && buffer == nullptr) ||
        !qdp::RangeFits(firstPage, pageCount)) {
        return 0;
    }
    // The pass-through takes one buffer for both directions; this one is only read.
    auto* bytes = qdp::Bytes(const_cast<void*>(buffer));
    return qdp::TransferUnits(qdp::kDataOut, bytes, pageCount, pageSize,
                              [&](std::uint32_t done, std::uint16_t n) {
                                  return qdp::PageBlock(qdp::kOpVendor, qdp::kVendorWritePages,
                                                        firstPage + done, n);
                              })
               ? 1
               : 0;
}

extern "C" uint8_t QDp_ReadPartsOfPages(uint32_t firstPage, uint16_t partCount, uint16_t partOffset,
                                        uint16_t partSize, uint16_t pageStep, void* buffer) {
    if (partSize == 0 || (partCount > 0 && buffer == nullptr) ||
        !qdp::RangeFits(firstPage, partCount, pageStep)) {
        return 0;
    }
    return qdp::TransferUnits(qdp::kDataIn, qdp::Bytes(buffer), partCount, partSize,
                              [&](std::uint32_t done, std::uint16_t n) {
                                  qdp::CommandBlock block =
                                      qdp::PageBlock(qdp::kOpVendor, qdp::kVendorReadPartsOfPages,
                                                     firstPage + done * pageStep, n);
                                  qdp::PutBigEndian16(block, qdp::kPartSizeAt, partSize);
                                  qdp::PutBigEndian16(block, qdp::kPageStepAt, pageStep);
                                  qdp::PutBigEndian16(block, qdp::kPartOffsetAt, partOffset);
                                  return block;
                              })
               ? 1
               : 0;
}

extern "C" int32_t QDp_EraseBlocks(uint32_t firstPage, uint8_t blockCount) {
    const std::uint64_t pages =
        std::uint64_t{blockCount} * qdp::Transport.FlashParams.pagesPerBlock;
    if (!qdp::RangeFits(firstPage, pages)) {
        return 0;
    }
    qdp::CommandBlock block = qdp::VendorBlock(qdp::kVendorEraseBlocks);
    qdp::PutBigEndian32(block, qdp::kAddressAt, firstPage);
    block[qdp::kBlockCountAt] = blockCount;
    return qdp::Execute(qdp::kDataOut, block, nullptr, 0);
}
