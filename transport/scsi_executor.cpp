#include "transport/scsi_executor.h"

#include "include/QDp_FW_FirstUpdater.h"
#include "transport/command_log.h"
#include "transport/transport_state.h"

#include <chrono>
#include <cstring>

namespace qdp {
namespace {

// The record of a device path; a new one only when `create` is set.
DriveOpenRecord* RecordFor(const DevicePathText& devicePath, bool create) {
    for (DriveOpenRecord& record : Transport.openRecords) {
        if (record.devicePath[0] == '\0') { // slots are taken in order: the rest are free
            if (!create) {
                return nullptr;
            }
            record.devicePath = devicePath;
            return &record;
        }
        // Paths that differ mostly differ in their drive digit: look there first.
        if (record.devicePath[kDriveDigitIndex] == devicePath[kDriveDigitIndex] &&
            record.devicePath == devicePath) {
            return &record;
        }
    }
    return nullptr; // every slot is taken: this drive is not followed
}

// A failure other than absence: something the operator can put right.
bool Problem(const DriveOpenRecord& record) {
    return record.error != os::OpenError::None && record.error != os::OpenError::NoSuchDevice;
}

// A problem the operator is to be told about, and has not been.
bool Reportable(const DriveOpenRecord& record) { return Problem(record) && !record.reported; }

DriveOpenProblem ProblemOf(const DriveOpenRecord& record) {
    return {record.node, record.error, record.osError};
}

// Remembers how opening the drive went; each new reason for a failure is logged once.
void NoteOpen(const DevicePathText& devicePath, const os::OpenedDrive& drive) {
    DriveOpenRecord* record = RecordFor(devicePath, drive.error != os::OpenError::None);
    if (record == nullptr) {
        return;
    }
    record->osError = drive.osError;
    if (record->error == drive.error) {
        if (Reportable(*record)) {
            record->lastMs = os::SteadyMs(); // still failing: it persists
        }
        return;
    }
    record->error = drive.error;
    record->node = os::DriveNodeName(devicePath.data());
    record->sinceMs = os::SteadyMs();
    record->lastMs = record->sinceMs;
    record->reported = false;
    if (drive.error != os::OpenError::None) {
        LogOpenFailure(devicePath.data(), record->node, drive);
    }
}

std::uint64_t MicrosecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
}

} // namespace

std::int32_t Execute(std::uint8_t direction, const CommandBlock& block, void* data,
                     std::uint32_t length) {
    return Execute_SCSI_Cmd(direction, block.data(), data, length);
}

std::optional<DriveOpenProblem> TakeDriveOpenProblem(std::uint64_t persistMs) {
    for (DriveOpenRecord& record : Transport.openRecords) {
        if (record.devicePath[0] == '\0') {
            break; // slots are taken in order
        }
        if (Reportable(record) && record.lastMs - record.sinceMs >= persistMs) {
            record.reported = true;
            return ProblemOf(record);
        }
    }
    return std::nullopt;
}

std::optional<DriveOpenProblem> LastDriveOpenProblem(const char* devicePath) {
    DevicePathText path{};
    const std::size_t length = strnlen(devicePath, path.size());
    if (length == path.size()) {
        return std::nullopt; // no drive's path: none was ever opened with it
    }
    std::memcpy(path.data(), devicePath, length);
    const DriveOpenRecord* record = RecordFor(path, false);
    if (record == nullptr || !Problem(*record)) {
        return std::nullopt;
    }
    return ProblemOf(*record);
}

} // namespace qdp

extern "C" int32_t Execute_SCSI_Cmd(int32_t direction, const uint8_t* commandBlock, void* data,
                                    uint32_t length) {
    if (commandBlock == nullptr || (data == nullptr && length != 0)) {
        return 0; // nothing to send, or a transfer without its buffer
    }
    const qdp::DevicePathText& devicePath = qdp::Transport.DevicePath;
    const qdp::os::OpenedDrive drive = qdp::os::OpenDrive(devicePath.data());
    qdp::NoteOpen(devicePath, drive);
    if (drive.handle == qdp::os::kNoDrive) {
        return 0;
    }
    // Only the low byte of the direction counts.
    const qdp::os::ScsiCommand command{static_cast<uint8_t>(direction & 0xFF), commandBlock, data,
                                       length};
    const bool logged = qdp::LogEnabled();
    const auto start =
        logged ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    const qdp::os::PassThroughResult result = qdp::os::PassThrough(drive.handle, command);
    qdp::os::CloseDrive(drive.handle);
    if (logged) {
        qdp::LogCommand(devicePath.data(), qdp::os::DriveNodeName(devicePath.data()), commandBlock,
                        command.direction, length, result, qdp::MicrosecondsSince(start));
    }
    return result.Good() ? 1 : 0;
}
