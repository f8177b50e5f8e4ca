#include "transport/scsi_executor.h"

#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"
#include "transport/device_state.h"

extern "C" int32_t Execute_SCSI_Cmd(int32_t direction, const uint8_t* commandBlock, void* data,
                                    uint32_t length) {
    const qdp::os::DriveHandle drive = qdp::os::OpenDrive(qdp::DevicePath.data());
    if (drive == qdp::os::kNoDrive) {
        return 0;
    }
    // Only the low byte of the direction counts.
    const qdp::os::ScsiCommand command{static_cast<uint8_t>(direction & 0xFF), commandBlock, data,
                                       length};
    const bool good = qdp::os::PassThrough(drive, command);
    qdp::os::CloseDrive(drive);
    return good ? 1 : 0;
}

namespace qdp {

std::int32_t Execute(std::uint8_t direction, const CommandBlock& block, void* data,
                     std::uint32_t length) {
    return Execute_SCSI_Cmd(direction, block.data(), data, length);
}

} // namespace qdp
