// The one way every device command reaches the recorder.
#pragma once

#include "platform/platform.h"
#include "transport/command_block.h"

#include <cstdint>
#include <optional>

namespace qdp {

// Sends one command to the drive that DevicePath names now: 1 on GOOD status, else 0.
[[nodiscard]] std::int32_t Execute(std::uint8_t direction, const CommandBlock& block, void* data,
                                   std::uint32_t length);

// A drive that has kept failing to open for the same reason (other than its absence)
// over at least `persistMs` of attempts, not told before. A drive that is no longer
// tried is not told about, however long ago it failed.
struct DriveOpenProblem {
    os::NodeName node;
    os::OpenError error;
    int osError;
};
// Takes the next such drive, so that each is told once; nothing when there is none.
std::optional<DriveOpenProblem> TakeDriveOpenProblem(std::uint64_t persistMs);
// Why the last attempt to open the drive that a device path names failed, when it
// failed for a reason other than the drive's absence; told or not, however briefly.
std::optional<DriveOpenProblem> LastDriveOpenProblem(const char* devicePath);

} // namespace qdp
