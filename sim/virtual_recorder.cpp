#include "sim/virtual_recorder.h"

#include "controller/controller_commands.h"
#include "controller/records.h"
#include "device/i2c_tunnel.h"
#include "transport/discovery.h"

#include <algorithm>
#include <cstring>

namespace qdp::sim {
namespace {

inline constexpr std::uint8_t kErased = 0xFF;

bool Fits(std::uint64_t first, std::uint64_t count, std::uint64_t total) {
    return first <= total && count <= total - first;
}

} // namespace

std::vector<std::uint8_t> RecorderInquiry() {
    return {ExpectedInquiry.begin(), ExpectedInquiry.end()};
}

VirtualRecorder::VirtualRecorder(Geometry g) : geometry(g) { program.fill(kErased); }

void VirtualRecorder::SetBootLoader(std::uint16_t version, std::string_view identification) {
    program[kBootLoaderRecordAddress] = static_cast<std::uint8_t>(version >> 8);
    program[kBootLoaderRecordAddress + 1] = static_cast<std::uint8_t>(version);
    for (std::size_t i = 0; i < 7; ++i) {
        program[kBootLoaderRecordAddress + 2 + i] =
            i < identification.size() ? static_cast<std::uint8_t>(identification[i]) : 0;
    }
}

void VirtualRecorder::SetFirmware(std::uint16_t version, std::string_view marker) {
    FirmwareStatusRecord record{};
    record.version = version;
    std::memset(record.marker, 0, sizeof record.marker);
    std::memcpy(record.marker, marker.data(), std::min(marker.size(), sizeof record.marker));
    std::memcpy(&program[kFirmwareStatusAddress], &record, sizeof record);
}

std::vector<std::uint8_t> VirtualRecorder::ReadFlash(std::uint64_t page, std::size_t count) const {
    std::vector<std::uint8_t> bytes(count * geometry.pageSize);
    CopyOut(page * geometry.pageSize, bytes);
    return bytes;
}

void VirtualRecorder::WriteFlash(std::uint64_t page, std::span<const std::uint8_t> bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += geometry.pageSize, ++page) {
        auto& stored = pages_[page];
        stored.assign(geometry.pageSize, kErased);
        const std::size_t size = std::min<std::size_t>(geometry.pageSize, bytes.size() - at);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), size, stored.begin());
    }
}

void VirtualRecorder::CopyOut(std::uint64_t byteOffset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t at = byteOffset + done;
        const std::uint64_t page = at / geometry.pageSize;
        const std::size_t within = static_cast<std::size_t>(at % geometry.pageSize);
        const std::size_t size = std::min(out.size() - done, geometry.pageSize - within);
        const auto stored = pages_.find(page);
        if (stored == pages_.end()) {
            std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(done), size, kErased);
        } else {
            std::copy_n(stored->second.begin() + static_cast<std::ptrdiff_t>(within), size,
                        out.begin() + static_cast<std::ptrdiff_t>(done));
        }
        done += size;
    }
}

void VirtualRecorder::Boot() {
    const auto mark = std::span(program).subspan(kInstallerMarkAt, kInstallerMark.size());
    if (std::equal(mark.begin(), mark.end(), kInstallerMark.begin())) {
        std::copy_n(program.begin() + kCarriedSectionAt, kCarriedSectionSize,
                    program.begin() + kBootLoaderRecordAddress);
    }
}

Status VirtualRecorder::Execute(const CommandBlock& block, std::span<std::uint8_t> data,
                                std::size_t& moved) {
    moved = 0;
    const bool flashCommand =
        block[0] == kOpRead10 || (block[0] == kOpVendor && (block[1] == kVendorWritePages ||
                                                            block[1] == kVendorReadPartsOfPages ||
                                                            block[1] == kVendorEraseBlocks));
    if (flashCommand && geometry.pageSize == 0) {
        return Status::CheckCondition; // a recorder without usable flash
    }
    switch (block[0]) {
    case kOpInquiry: return Inquiry(data, moved);
    case kOpReadCapacity10: return ReadCapacity(data, moved);
    case kOpRead10: return Read10(block, data, moved);
    case kOpVendor: break;
    default: return Status::CheckCondition;
    }
    switch (block[1]) {
    case kVendorReadFlashParams: return ReadFlashParams(data, moved);
    case kVendorWritePages: return WritePages(block, data, moved);
    case kVendorI2CSend: return I2CSend(block, data, moved);
    case kVendorI2CReceive: return I2CReceive(block, data, moved);
    case kVendorReadPartsOfPages: return ReadParts(block, data, moved);
    case kVendorEraseBlocks: return EraseBlocks(block, data);
    default: return Status::CheckCondition;
    }
}

Status VirtualRecorder::Inquiry(std::span<std::uint8_t> data, std::size_t& moved) const {
    moved = std::min(data.size(), inquiry.size());
    std::copy_n(inquiry.begin(), moved, data.begin());
    return Status::Good;
}

Status VirtualRecorder::ReadFlashParams(std::span<std::uint8_t> data, std::size_t& moved) const {
    std::array<std::uint8_t, 12> reply{}; // reserved bytes 1-5 and 11 stay zero
    reply[0] = geometry.unitCount;
    reply[6] = static_cast<std::uint8_t>(geometry.blocksPerUnit);
    reply[7] = static_cast<std::uint8_t>(geometry.blocksPerUnit >> 8);
    reply[8] = geometry.pagesPerBlock;
    reply[9] = static_cast<std::uint8_t>(geometry.pageSize);
    reply[10] = static_cast<std::uint8_t>(geometry.pageSize >> 8);
    moved = std::min(data.size(), reply.size());
    std::copy_n(reply.begin(), moved, data.begin());
    return Status::Good;
}

Status VirtualRecorder::ReadCapacity(std::span<std::uint8_t> data, std::size_t& moved) const {
    const std::uint64_t sectors =
        geometry.sectorSize == 0 ? 0 : geometry.TotalBytes() / geometry.sectorSize;
    const auto lastSector = static_cast<std::uint32_t>(sectors > 0 ? sectors - 1 : 0);
    CommandBlock reply{}; // 8 bytes used: last sector, sector size, both big-endian
    PutBigEndian32(reply, 0, lastSector);
    PutBigEndian32(reply, 4, geometry.sectorSize);
    moved = std::min<std::size_t>(data.size(), 8);
    std::copy_n(reply.begin(), moved, data.begin());
    return Status::Good;
}

Status VirtualRecorder::Read10(const CommandBlock& block, std::span<std::uint8_t> data,
                               std::size_t& moved) const {
    const std::uint64_t first = GetBigEndian32(&block[kAddressAt]);
    const std::uint64_t count = GetBigEndian16(&block[kCountAt]);
    const std::uint64_t sectorSize = geometry.sectorSize;
    if (sectorSize == 0 || data.size() != count * sectorSize ||
        !Fits(first, count, geometry.TotalBytes() / sectorSize)) {
        return Status::CheckCondition;
    }
    CopyOut(first * sectorSize, data);
    moved = data.size();
    return Status::Good;
}

Status VirtualRecorder::WritePages(const CommandBlock& block, std::span<std::uint8_t> data,
                                   std::size_t& moved) {
    const std::uint64_t first = GetBigEndian32(&block[kAddressAt]);
    const std::uint64_t count = GetBigEndian16(&block[kCountAt]);
    if (data.size() != count * geometry.pageSize || !Fits(first, count, geometry.TotalPages())) {
        return Status::CheckCondition;
    }
    WriteFlash(first, data);
    moved = data.size();
    return Status::Good;
}

Status VirtualRecorder::ReadParts(const CommandBlock& block, std::span<std::uint8_t> data,
                                  std::size_t& moved) const {
    const std::uint64_t first = GetBigEndian32(&block[kAddressAt]);
    const std::uint64_t parts = GetBigEndian16(&block[kCountAt]);
    const std::uint64_t partSize = GetBigEndian16(&block[kPartSizeAt]);
    const std::uint64_t step = GetBigEndian16(&block[kPageStepAt]);
    const std::uint64_t offset = GetBigEndian16(&block[kPartOffsetAt]);
    const std::uint64_t lastPage = parts == 0 ? first : first + (parts - 1) * step;
    if (data.size() != parts * partSize || offset + partSize > geometry.pageSize ||
        lastPage >= geometry.TotalPages()) {
        return Status::CheckCondition;
    }
    for (std::uint64_t k = 0; k < parts; ++k) {
        CopyOut((first + k * step) * geometry.pageSize + offset,
                data.subspan(static_cast<std::size_t>(k * partSize),
                             static_cast<std::size_t>(partSize)));
    }
    moved = data.size();
    return Status::Good;
}

Status VirtualRecorder::EraseBlocks(const CommandBlock& block, std::span<std::uint8_t> data) {
    const std::uint64_t first = GetBigEndian32(&block[kAddressAt]);
    const std::uint64_t blocks = block[kBlockCountAt];
    const std::uint64_t perBlock = geometry.pagesPerBlock;
    if (!data.empty() || block[kBlockCountAt - 1] != 0 || perBlock == 0 || first % perBlock != 0 ||
        !Fits(first, blocks * perBlock, geometry.TotalPages())) {
        return Status::CheckCondition;
    }
    for (std::uint64_t page = first; page < first + blocks * perBlock; ++page) {
        pages_.erase(page);
    }
    return Status::Good;
}

Status VirtualRecorder::I2CSend(const CommandBlock& block, std::span<std::uint8_t> data,
                                std::size_t& moved) {
    if (block[kI2CLengthAt] != data.size() || data.size() > kMaxI2CTransfer) {
        return Status::CheckCondition;
    }
    moved = data.size();
    return ControllerFrame(data) ? Status::Good : Status::CheckCondition;
}

Status VirtualRecorder::I2CReceive(const CommandBlock& block, std::span<std::uint8_t> data,
                                   std::size_t& moved) {
    if (block[kI2CLengthAt] != data.size() || data.size() > kMaxI2CTransfer) {
        return Status::CheckCondition;
    }
    std::fill(data.begin(), data.end(), 0);
    std::copy_n(reply_.begin(), std::min(reply_.size(), data.size()), data.begin());
    moved = data.size();
    return Status::Good;
}

bool VirtualRecorder::ControllerFrame(std::span<const std::uint8_t> frame) {
    reply_.clear();
    if (frame.empty()) {
        return true;
    }
    const auto address = [&] { return static_cast<std::size_t>(frame[1] | frame[2] << 8); };
    switch (frame[0]) {
    case kFrameMemoryRead: {
        if (frame.size() != kAddressedFrameHeader || frame[3] > kMaxMemoryRead ||
            address() + frame[3] > kProgramMemorySize) {
            return false;
        }
        const auto from = program.begin() + static_cast<std::ptrdiff_t>(address());
        reply_.assign(from, from + frame[3]);
        return true;
    }
    case kFrameMemoryWrite: {
        const std::size_t count = frame.size() >= kAddressedFrameHeader ? frame[3] : 0;
        if (frame.size() < kAddressedFrameHeader || count > kMaxMemoryWrite ||
            frame.size() != kAddressedFrameHeader + count ||
            address() + count > kProgramMemorySize) {
            return false;
        }
        // Flash: a write can only clear bits; an erase sets them again.
        for (std::size_t i = 0; i < count; ++i) {
            program[address() + i] &= frame[kAddressedFrameHeader + i];
        }
        reply_.assign(frame.begin() + kAddressedFrameHeader, frame.end());
        return true;
    }
    case kFramePageErase: {
        if (frame.size() != kPageEraseFrameSize) {
            return false;
        }
        const std::size_t base = address() & ~std::size_t{kControllerPageSize - 1};
        std::fill_n(program.begin() + static_cast<std::ptrdiff_t>(base), kControllerPageSize,
                    kErased);
        reply_.assign(kPageEraseReplySize, 0);
        return true;
    }
    case kFrameRestart:
        if (frame.size() != kRestartFrameSize) {
            return false;
        }
        restartRequested_ = true;
        return true;
    default: return false;
    }
}

} // namespace qdp::sim
