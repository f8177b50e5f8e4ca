// The transport layer's state: the current device and what its last identification
// left behind, and the drives that could not be opened, each thread's own (a program
// that updates several recorders at once gives each its own thread; a program with one
// thread sees one current device, as the exported functions describe); and the command
// log, the process's one. Discovery is the only writer of the device fields; every
// command reads DevicePath when it is sent.
#pragma once

#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace qdp {

inline constexpr std::size_t kDevicePathSize = 19; // 18 characters and the NUL
inline constexpr std::size_t kDriveDigitIndex = 17;
using DevicePathText = std::array<char, kDevicePathSize>;
inline constexpr DevicePathText kInitialDevicePath = [] {
    constexpr char text[] = "\\\\.\\PHYSICALDRIVEx"; // ends in x: names no drive
    static_assert(sizeof text == kDevicePathSize);
    DevicePathText path{};
    for (std::size_t i = 0; i < kDevicePathSize; ++i) {
        path[i] = text[i];
    }
    return path;
}();
inline constexpr std::uint32_t kInitialSectorSize = 512;

// How the last attempt to open one device path went, for the drives that have
// failed to open at least once.
struct DriveOpenRecord {
    DevicePathText devicePath{}; // empty: a free slot
    os::NodeName node{};
    os::OpenError error = os::OpenError::None; // None: it opened at the last attempt
    int osError = 0;                           // the system's number for that error
    std::uint64_t sinceMs = 0;                 // first failure for this reason in a row
    std::uint64_t lastMs = 0;                  // latest failure for this reason
    bool reported = false;                     // told to the operator
};

struct CommandLogState {
    std::atomic<bool> checked{false}; // QDP_LOG has been looked at, and file set
    std::FILE* file = nullptr;        // null when nothing is logged
};

struct TransportState {
    DevicePathText DevicePath = kInitialDevicePath;
    ::FlashParams FlashParams{};
    std::uint32_t SectorSize = kInitialSectorSize;
    std::array<DriveOpenRecord, 16> openRecords{}; // taken in order
};

extern thread_local constinit TransportState Transport;
extern CommandLogState CommandLog;

// Back to the state at program start (the calling thread's); closes the command log.
void ResetTransportState();

// The recorder's 16-bit geometry fields are little-endian, as on every host we build for.
static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(::FlashParams) == 12);
static_assert(offsetof(::FlashParams, blocksPerUnit) == 6);
static_assert(offsetof(::FlashParams, pagesPerBlock) == 8);
static_assert(offsetof(::FlashParams, pageSize) == 9);

} // namespace qdp
