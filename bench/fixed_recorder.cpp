// A recorder that answers every command from fixed storage, for measuring what the
// device-access code itself costs per command. It serves the seam's drives and clock.
#include "controller/controller_commands.h"
#include "platform/platform.h"
#include "transport/command_block.h"
#include "transport/discovery.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace qdp::os {
namespace {

std::array<std::uint8_t, 64> reply{};
std::uint64_t clockMs = 0;

} // namespace

OpenedDrive OpenDrive(const char*) { return {1, OpenError::None, 0}; }

NodeName DriveNodeName(const char*) { return {}; }

PassThroughResult PassThrough(DriveHandle, const ScsiCommand& command) {
    auto* data = static_cast<std::uint8_t*>(command.data);
    const std::uint8_t* cdb = command.cdb;
    if (cdb[0] == kOpInquiry) {
        std::copy(ExpectedInquiry.begin(), ExpectedInquiry.end(), data);
    } else if (cdb[0] == kOpReadCapacity10) {
        const std::uint8_t capacity[8] = {0, 0x0F, 0xFF, 0xFF, 0, 0, 0x02, 0};
        std::memcpy(data, capacity, sizeof capacity);
    } else if (cdb[0] == kOpVendor && cdb[1] == kVendorReadFlashParams) {
        const std::uint8_t params[12] = {2, 0, 0, 0, 0, 0, 0x00, 0x08, 64, 0x00, 0x08, 0};
        std::memcpy(data, params, sizeof params);
    } else if (cdb[0] == kOpVendor && cdb[1] == kVendorI2CSend && command.length > 0) {
        reply[0] = data[0]; // enough of a controller to answer every frame
    } else if (command.direction == 1 && command.length > 0) {
        std::fill_n(data, command.length, reply[0]);
    }
    PassThroughResult result;
    result.carriedOut = true;
    result.transferred = command.length;
    return result;
}

void CloseDrive(DriveHandle) {}

void DescribeError(int, std::span<char> out) {
    if (!out.empty()) {
        out[0] = '\0';
    }
}

void SleepMs(std::uint32_t milliseconds) { clockMs += milliseconds; }

std::uint64_t SteadyMs() { return clockMs; }

} // namespace qdp::os
