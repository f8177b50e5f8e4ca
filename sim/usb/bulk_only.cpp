#include "sim/usb/bulk_only.h"

#include <algorithm>
#include <vector>

namespace qdp::sim::usb {
namespace {

// The most data one command may move here; a real recorder moves at most 64 KiB.
inline constexpr std::uint32_t kMostData = 4u << 20;

// What an aborted command reports.
inline constexpr wire::Sense kAborted{0x0B, 0x00, 0x00};

std::uint32_t Little32(const std::uint8_t* at) {
    return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
           std::uint32_t{at[3]} << 24;
}

void PutLittle32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

} // namespace

bool ParseCommandWrapper(std::span<const std::uint8_t> bytes, CommandWrapper& wrapper) {
    if (bytes.size() != kCbwSize || Little32(&bytes[0]) != kCbwSignature) {
        return false;
    }
    wrapper.tag = Little32(&bytes[4]);
    wrapper.length = Little32(&bytes[8]);
    const std::uint8_t flags = bytes[12];
    wrapper.dataIn = (flags & 0x80) != 0;
    wrapper.lun = bytes[13] & 0x0F;
    wrapper.blockLength = bytes[14] & 0x1F;
    if ((flags & 0x7F) != 0 || (bytes[13] & 0xF0) != 0 || (bytes[14] & 0xE0) != 0 ||
        wrapper.lun != 0 || wrapper.blockLength < 1 || wrapper.blockLength > 16) {
        return false;
    }
    wrapper.block.fill(0);
    std::copy_n(bytes.begin() + 15, wrapper.blockLength, wrapper.block.begin());
    return true;
}

std::array<std::uint8_t, kCswSize> StatusWrapper(std::uint32_t tag, std::uint32_t residue,
                                                 CswStatus status) {
    std::array<std::uint8_t, kCswSize> wrapper{};
    PutLittle32(&wrapper[0], kCswSignature);
    PutLittle32(&wrapper[4], tag);
    PutLittle32(&wrapper[8], residue);
    wrapper[12] = static_cast<std::uint8_t>(status);
    return wrapper;
}

Served BulkOnlyTarget::ServeOne(BulkPipes& pipes) {
    std::array<std::uint8_t, 512> raw{};
    const long got = pipes.Receive(raw);
    if (got < 0) {
        return {Served::Kind::PipeFailed};
    }
    CommandWrapper cbw{};
    if (!ParseCommandWrapper({raw.data(), static_cast<std::size_t>(got)}, cbw)) {
        // Neither valid nor meaningful: both pipes stay stalled until the host's reset
        // recovery.
        pipes.StallIn();
        pipes.StallOut();
        return {Served::Kind::InvalidWrapper};
    }
    Served served{Served::Kind::Command, cbw.block};
    const DataDirection direction = DirectionOf(cbw.block);
    const auto execute = [&](std::span<std::uint8_t> in, std::span<const std::uint8_t> out) {
        if (failCommand && failCommand(cbw.block, out)) {
            recorder_.NoteFailure(kAborted);
            return Reply{false, kAborted, 0};
        }
        return recorder_.Execute(cbw.block, in, out);
    };

    std::uint32_t residue = 0;
    CswStatus status = CswStatus::Passed;
    if (cbw.length == 0) {
        status = execute({}, {}).good ? CswStatus::Passed : CswStatus::Failed;
    } else if (cbw.length > kMostData) {
        // More than any command of the recorder moves: refused, the pipe stalled.
        if (cbw.dataIn) {
            pipes.StallIn();
        } else {
            pipes.StallOut();
        }
        recorder_.NoteFailure(wire::kInvalidField);
        residue = cbw.length;
        status = CswStatus::Failed;
    } else if (cbw.dataIn) {
        if (direction == DataDirection::Out) { // the host reads what the recorder would read
            pipes.StallIn();
            residue = cbw.length;
            status = CswStatus::PhaseError;
        } else {
            std::vector<std::uint8_t> data(cbw.length);
            const Reply reply =
                direction == DataDirection::In ? execute(data, {}) : execute({}, {});
            const std::size_t moved = std::min<std::size_t>(reply.moved, data.size());
            if (moved > 0 && !pipes.Send({data.data(), moved})) {
                return {Served::Kind::PipeFailed, cbw.block};
            }
            if (moved < cbw.length) {
                pipes.StallIn(); // less than asked for: the data stage ends here
            }
            residue = cbw.length - static_cast<std::uint32_t>(moved);
            status = reply.good ? CswStatus::Passed : CswStatus::Failed;
        }
    } else {
        if (direction == DataDirection::In) { // the host sends what the recorder would send
            pipes.StallOut();
            residue = cbw.length;
            status = CswStatus::PhaseError;
        } else {
            std::vector<std::uint8_t> data(cbw.length);
            std::size_t received = 0;
            while (received < data.size()) {
                const long part = pipes.Receive({data.data() + received, data.size() - received});
                if (part <= 0) {
                    return {Served::Kind::PipeFailed, cbw.block};
                }
                received += static_cast<std::size_t>(part);
            }
            // Data for a command that takes none is received and dropped.
            const Reply reply =
                direction == DataDirection::Out ? execute({}, data) : execute({}, {});
            residue = direction == DataDirection::Out && reply.good
                          ? cbw.length - static_cast<std::uint32_t>(reply.moved)
                          : cbw.length;
            status = reply.good ? CswStatus::Passed : CswStatus::Failed;
        }
    }
    if (status == CswStatus::PhaseError) {
        recorder_.NoteFailure(wire::kDataPhaseError);
    }
    served.status = status;
    served.restart = recorder_.TakeRestartRequest();
    if (!pipes.Send(StatusWrapper(cbw.tag, residue, status))) {
        served.kind = Served::Kind::PipeFailed;
    }
    return served;
}

} // namespace qdp::sim::usb
