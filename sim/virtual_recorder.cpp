#include "sim/virtual_recorder.h"

#include <algorithm>
#include <cstring>

namespace qdp::sim {
namespace {

inline constexpr std::uint8_t kErased = 0xFF;
inline constexpr std::size_t kPiece = 32;
inline constexpr std::uint32_t kAllPieces = 0xFFFFFFFF; // 32 pieces a page
inline constexpr std::uint32_t kFactoryRun = 0xFFFFFFFF;

bool Fits(std::uint64_t first, std::uint64_t count, std::uint64_t total) {
    return first <= total && count <= total - first;
}

Reply Good(std::size_t moved = 0) { return {true, wire::kNoSense, moved}; }
Reply Check(wire::Sense sense) { return {false, sense, 0}; }

} // namespace

DataDirection DirectionOf(const CommandBlock& block) {
    switch (block[0]) {
    case wire::kInquiry:
    case wire::kRequestSense:
    case wire::kModeSense6:
    case wire::kReadCapacity10:
    case wire::kRead10: return DataDirection::In;
    case wire::kTestUnitReady:
    case wire::kStartStopUnit:
    case wire::kPreventAllowRemoval:
    case wire::kSynchronizeCache10: return DataDirection::None;
    case wire::kVendor: break;
    default: return DataDirection::Unknown;
    }
    switch (block[1]) {
    case wire::kFlashParams:
    case wire::kI2CReceive:
    case wire::kReadParts: return DataDirection::In;
    case wire::kWritePages:
    case wire::kI2CSend: return DataDirection::Out;
    case wire::kEraseBlocks: return DataDirection::None;
    default: return DataDirection::Unknown;
    }
}

VirtualRecorder::VirtualRecorder(Geometry g) : geometry(g) { program.fill(kErased); }

void VirtualRecorder::SetBootLoader(std::uint16_t version, std::string_view identification) {
    program[wire::kBootLoaderRecord] = static_cast<std::uint8_t>(version >> 8); // big-endian
    program[wire::kBootLoaderRecord + 1] = static_cast<std::uint8_t>(version);
    for (std::size_t i = 0; i < 7; ++i) {
        program[wire::kBootLoaderRecord + 2 + i] =
            i < identification.size() ? static_cast<std::uint8_t>(identification[i]) : 0;
    }
}

void VirtualRecorder::SetFirmware(std::uint16_t version, std::string_view marker) {
    std::uint8_t* record = &program[wire::kFirmwareStatus];
    record[0] = static_cast<std::uint8_t>(version); // little-endian
    record[1] = static_cast<std::uint8_t>(version >> 8);
    std::fill_n(record + 2, 9, 0);
    std::copy_n(marker.begin(), std::min<std::size_t>(marker.size(), 4), record + 7);
}

std::vector<std::uint8_t> VirtualRecorder::ReadFlash(std::uint64_t page, std::size_t count) const {
    std::vector<std::uint8_t> bytes(count * geometry.pageSize);
    CopyOut(page * geometry.pageSize, bytes);
    return bytes;
}

std::vector<std::uint64_t> VirtualRecorder::StoredPageNumbers() const {
    std::vector<std::uint64_t> numbers;
    for (const auto& [page, bytes] : pages_) {
        numbers.push_back(page);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
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

void VirtualRecorder::NoteErased(std::uint64_t first, std::uint64_t end) {
    erased_.push_back({first, end});
    std::sort(erased_.begin(), erased_.end(),
              [](const PageRange& a, const PageRange& b) { return a.first < b.first; });
    std::vector<PageRange> merged;
    for (const PageRange& range : erased_) {
        if (!merged.empty() && range.first <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, range.end);
        } else {
            merged.push_back(range);
        }
    }
    erased_ = std::move(merged);
}

std::uint64_t PageDigest(std::span<const std::uint8_t> page) {
    std::uint64_t digest = 0xCBF29CE484222325; // FNV-1a
    for (const std::uint8_t byte : page) {
        digest = (digest ^ byte) * 0x100000001B3;
    }
    return digest;
}

void VirtualRecorder::NotePageErase(std::size_t base) {
    if (base >= wire::kProgramArea) {
        return;
    }
    PageHistory& page = pageHistory[base / wire::kControllerPage];
    page.factory = false;
    page.erased = true;
    page.erasedRun = runs;
    page.pieces = 0;
    page.spoiled = false;
}

void VirtualRecorder::NoteWrite(std::size_t address, std::size_t count) {
    const std::size_t end = std::min(address + count, wire::kProgramArea);
    for (std::size_t at = address; at < end;
         at = (at / wire::kControllerPage + 1) * wire::kControllerPage) {
        const std::size_t index = at / wire::kControllerPage;
        PageHistory& page = pageHistory[index];
        const std::size_t within = at % wire::kControllerPage;
        const std::uint32_t piece = 1u << (within / kPiece);
        // Only a whole piece, once, after this run's erase of the page, is part of
        // programming it.
        if (page.factory || !page.erased || page.erasedRun != runs || within % kPiece != 0 ||
            count != kPiece || (page.pieces & piece) != 0) {
            page.spoiled = true;
        }
        page.factory = false;
        page.pieces |= piece;
        lastWritePage_ = index;
    }
}

void VirtualRecorder::ReportedAsFailed() {
    if (lastWritePage_) {
        pageHistory[*lastWritePage_].spoiled = true;
    }
}

// A page whose programming is complete is whole once the command that completed it
// was not reported as failed.
void VirtualRecorder::Settle() {
    if (!lastWritePage_) {
        return;
    }
    PageHistory& page = pageHistory[*lastWritePage_];
    if (page.pieces == kAllPieces && !page.spoiled) {
        page.programmed = true;
        page.programmedRun = page.erasedRun;
        page.digest = PageDigest(std::span(program).subspan(*lastWritePage_ * wire::kControllerPage,
                                                            wire::kControllerPage));
    }
    lastWritePage_.reset();
}

bool VirtualRecorder::ProgramWhole() const {
    std::optional<std::uint32_t> programRun;
    for (std::size_t index = 0; index < pageHistory.size(); ++index) {
        const PageHistory& page = pageHistory[index];
        const auto bytes =
            std::span(program).subspan(index * wire::kControllerPage, wire::kControllerPage);
        if (!page.factory && (!page.programmed || PageDigest(bytes) != page.digest)) {
            return false;
        }
        const std::uint32_t run = page.factory ? kFactoryRun : page.programmedRun;
        if (programRun && *programRun != run) {
            return false; // pages of different runs
        }
        programRun = run;
    }
    return true;
}

void VirtualRecorder::Boot() {
    Settle();
    ++runs;
    // What the controller held in its RAM is gone; its flash memories keep theirs.
    reply_.clear();
    sense_ = wire::kNoSense;
    restartRequested_ = false;
    const auto marked = [&](std::size_t at, std::string_view mark) {
        return std::equal(mark.begin(), mark.end(),
                          program.begin() + static_cast<std::ptrdiff_t>(at));
    };
    const bool installer = marked(wire::kInstallerMarkAt, wire::kInstallerMark);
    const bool firmware = marked(wire::kFirmwareStatus + 7, wire::kFirmwareMarker);
    if (bricked || ((installer || firmware) && !ProgramWhole())) {
        bricked = true;
        return;
    }
    if (installer) {
        std::copy_n(program.begin() + wire::kCarriedSectionAt, wire::kBootLoaderSection,
                    program.begin() + wire::kBootLoaderRecord);
    }
}

Reply VirtualRecorder::Execute(const CommandBlock& block, std::span<std::uint8_t> in,
                               std::span<const std::uint8_t> out) {
    Settle();
    const Reply reply = Dispatch(block, in, out);
    if (block[0] != wire::kRequestSense) {
        sense_ = reply.good ? wire::kNoSense : reply.sense;
    }
    return reply;
}

Reply VirtualRecorder::Dispatch(const CommandBlock& block, std::span<std::uint8_t> in,
                                std::span<const std::uint8_t> out) {
    const DataDirection direction = DirectionOf(block);
    if (direction == DataDirection::Unknown) {
        return Check(wire::kInvalidOpcode);
    }
    // Data that moves the other way than the command moves it is a phase error; no
    // byte of the host's buffer is touched.
    if ((direction != DataDirection::In && !in.empty()) ||
        (direction != DataDirection::Out && !out.empty())) {
        return Check(wire::kDataPhaseError);
    }
    const bool flashCommand = block[0] == wire::kRead10 ||
                              (block[0] == wire::kVendor &&
                               (block[1] == wire::kWritePages || block[1] == wire::kReadParts ||
                                block[1] == wire::kEraseBlocks));
    if (flashCommand && (geometry.pageSize == 0 || geometry.sectorSize == 0)) {
        return Check(wire::kMediumNotPresent); // a recorder without usable flash
    }
    switch (block[0]) {
    case wire::kTestUnitReady:
    case wire::kStartStopUnit:
    case wire::kPreventAllowRemoval:
    case wire::kSynchronizeCache10: return Good();
    case wire::kInquiry: return Inquiry(block, in);
    case wire::kRequestSense: return RequestSense(in);
    case wire::kModeSense6: return ModeSense(block, in);
    case wire::kReadCapacity10: return ReadCapacity(in);
    case wire::kRead10: return Read10(block, in);
    default: break;
    }
    switch (block[1]) {
    case wire::kFlashParams: return FlashParams(in);
    case wire::kWritePages: return WritePages(block, out);
    case wire::kI2CSend: return I2CSend(block, out);
    case wire::kI2CReceive: return I2CReceive(block, in);
    case wire::kReadParts: return ReadParts(block, in);
    default: return EraseBlocks(block);
    }
}

Reply VirtualRecorder::Inquiry(const CommandBlock& block, std::span<std::uint8_t> data) const {
    if ((block[1] & 0x01) != 0) {
        return Check(wire::kInvalidField); // no vital product data pages
    }
    // The recorder answers its identity whatever allocation length the block gives.
    const std::size_t moved = std::min(data.size(), inquiry.size());
    std::copy_n(inquiry.begin(), moved, data.begin());
    return Good(moved);
}

Reply VirtualRecorder::RequestSense(std::span<std::uint8_t> data) {
    std::array<std::uint8_t, 18> reply{}; // fixed format
    reply[0] = 0x70;
    reply[2] = sense_.key;
    reply[7] = 10;
    reply[12] = sense_.asc;
    reply[13] = sense_.ascq;
    sense_ = wire::kNoSense;
    const std::size_t moved = std::min(data.size(), reply.size());
    std::copy_n(reply.begin(), moved, data.begin());
    return Good(moved);
}

Reply VirtualRecorder::ModeSense(const CommandBlock& block, std::span<std::uint8_t> data) const {
    // A header only: no block descriptors, no pages, not write-protected.
    const std::array<std::uint8_t, 4> header = {3, 0, 0, 0};
    const std::size_t moved = std::min({data.size(), header.size(), std::size_t{block[4]}});
    std::copy_n(header.begin(), moved, data.begin());
    return Good(moved);
}

Reply VirtualRecorder::FlashParams(std::span<std::uint8_t> data) const {
    std::array<std::uint8_t, 12> reply{}; // reserved bytes 1-5 and 11 stay zero
    reply[0] = geometry.unitCount;
    reply[6] = static_cast<std::uint8_t>(geometry.blocksPerUnit); // little-endian
    reply[7] = static_cast<std::uint8_t>(geometry.blocksPerUnit >> 8);
    reply[8] = geometry.pagesPerBlock;
    reply[9] = static_cast<std::uint8_t>(geometry.pageSize);
    reply[10] = static_cast<std::uint8_t>(geometry.pageSize >> 8);
    const std::size_t moved = std::min(data.size(), reply.size());
    std::copy_n(reply.begin(), moved, data.begin());
    return Good(moved);
}

Reply VirtualRecorder::ReadCapacity(std::span<std::uint8_t> data) const {
    const std::uint64_t sectors =
        geometry.sectorSize == 0 ? 0 : geometry.TotalBytes() / geometry.sectorSize;
    const auto lastSector = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(sectors > 0 ? sectors - 1 : 0, 0xFFFFFFFF));
    std::array<std::uint8_t, 8> reply{}; // last sector, sector size, both big-endian
    wire::PutBig32(&reply[0], lastSector);
    wire::PutBig32(&reply[4], geometry.sectorSize);
    const std::size_t moved = std::min(data.size(), reply.size());
    std::copy_n(reply.begin(), moved, data.begin());
    return Good(moved);
}

Reply VirtualRecorder::Read10(const CommandBlock& block, std::span<std::uint8_t> data) const {
    const std::uint64_t first = wire::Big32(&block[wire::kAddressField]);
    const std::uint64_t count = wire::Big16(&block[wire::kCountField]);
    const std::uint64_t sectorSize = geometry.sectorSize;
    if (data.size() != count * sectorSize) {
        return Check(wire::kInvalidField);
    }
    if (!Fits(first, count, geometry.TotalBytes() / sectorSize)) {
        return Check(wire::kOutOfRange);
    }
    CopyOut(first * sectorSize, data);
    return Good(data.size());
}

Reply VirtualRecorder::WritePages(const CommandBlock& block, std::span<const std::uint8_t> data) {
    const std::uint64_t first = wire::Big32(&block[wire::kAddressField]);
    const std::uint64_t count = wire::Big16(&block[wire::kCountField]);
    if (data.size() != count * geometry.pageSize) {
        return Check(wire::kInvalidField);
    }
    if (!Fits(first, count, geometry.TotalPages())) {
        return Check(wire::kOutOfRange);
    }
    WriteFlash(first, data);
    return Good(data.size());
}

Reply VirtualRecorder::ReadParts(const CommandBlock& block, std::span<std::uint8_t> data) const {
    const std::uint64_t first = wire::Big32(&block[wire::kAddressField]);
    const std::uint64_t parts = wire::Big16(&block[wire::kCountField]);
    const std::uint64_t partSize = wire::Big16(&block[wire::kPartSizeField]);
    const std::uint64_t step = wire::Big16(&block[wire::kPageStepField]);
    const std::uint64_t offset = wire::Big16(&block[wire::kPartOffsetField]);
    const std::uint64_t lastPage = parts == 0 ? first : first + (parts - 1) * step;
    if (data.size() != parts * partSize || offset + partSize > geometry.pageSize) {
        return Check(wire::kInvalidField);
    }
    if (lastPage >= geometry.TotalPages()) {
        return Check(wire::kOutOfRange);
    }
    for (std::uint64_t k = 0; k < parts; ++k) {
        CopyOut((first + k * step) * geometry.pageSize + offset,
                data.subspan(static_cast<std::size_t>(k * partSize),
                             static_cast<std::size_t>(partSize)));
    }
    return Good(data.size());
}

Reply VirtualRecorder::EraseBlocks(const CommandBlock& block) {
    const std::uint64_t first = wire::Big32(&block[wire::kAddressField]);
    const std::uint64_t blocks = block[wire::kBlockCountField];
    const std::uint64_t perBlock = geometry.pagesPerBlock;
    if (block[wire::kBlockCountField - 1] != 0 || perBlock == 0 || first % perBlock != 0) {
        return Check(wire::kInvalidField);
    }
    if (!Fits(first, blocks * perBlock, geometry.TotalPages())) {
        return Check(wire::kOutOfRange);
    }
    const std::uint64_t end = first + blocks * perBlock;
    for (auto stored = pages_.begin(); stored != pages_.end();) {
        stored = stored->first >= first && stored->first < end ? pages_.erase(stored)
                                                               : std::next(stored);
    }
    if (blocks > 0) {
        NoteErased(first, end);
    }
    return Good();
}

Reply VirtualRecorder::I2CSend(const CommandBlock& block, std::span<const std::uint8_t> data) {
    if (block[wire::kI2CLengthField] != data.size() || data.size() > wire::kMaxI2CBytes) {
        return Check(wire::kInvalidField);
    }
    if (!ControllerFrame(data)) {
        return Check(wire::kInvalidParameter);
    }
    return Good(data.size());
}

Reply VirtualRecorder::I2CReceive(const CommandBlock& block, std::span<std::uint8_t> data) {
    if (block[wire::kI2CLengthField] != data.size() || data.size() > wire::kMaxI2CBytes) {
        return Check(wire::kInvalidField);
    }
    std::fill(data.begin(), data.end(), 0);
    std::copy_n(reply_.begin(), std::min(reply_.size(), data.size()), data.begin());
    return Good(data.size());
}

bool VirtualRecorder::ControllerFrame(std::span<const std::uint8_t> frame) {
    reply_.clear();
    if (frame.empty()) {
        return true;
    }
    const auto address = [&] { return static_cast<std::size_t>(frame[1] | frame[2] << 8); };
    switch (frame[0]) {
    case wire::kFrameRead: {
        if (frame.size() != 4 || frame[3] > wire::kMaxReadFrame ||
            address() + frame[3] > wire::kProgramMemory) {
            return false;
        }
        const auto from = program.begin() + static_cast<std::ptrdiff_t>(address());
        reply_.assign(from, from + frame[3]);
        return true;
    }
    case wire::kFrameWrite: {
        const std::size_t count = frame.size() >= 4 ? frame[3] : 0;
        if (frame.size() < 4 || count > wire::kMaxWriteFrame || frame.size() != 4 + count ||
            address() + count > wire::kProgramMemory) {
            return false;
        }
        // Flash: a write can only clear bits; an erase sets them again.
        for (std::size_t i = 0; i < count; ++i) {
            program[address() + i] &= frame[4 + i];
        }
        NoteWrite(address(), count);
        if (++writes_ == corruptWriteAt && count > 0) {
            program[address() + (writes_ - 1) % count] ^= 0x01; // stored wrongly, answered good
            ReportedAsFailed();
        }
        reply_.assign(frame.begin() + 4, frame.end());
        return true;
    }
    case wire::kFrameErase: {
        if (frame.size() != 3) {
            return false;
        }
        const std::size_t base = address() & ~(wire::kControllerPage - 1);
        std::fill_n(program.begin() + static_cast<std::ptrdiff_t>(base), wire::kControllerPage,
                    kErased);
        NotePageErase(base);
        reply_.assign(wire::kEraseReply, 0);
        return true;
    }
    case wire::kFrameRestart:
        if (frame.size() != 2) {
            return false;
        }
        restartRequested_ = true;
        return true;
    default: return false;
    }
}

} // namespace qdp::sim
