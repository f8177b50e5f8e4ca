// The request block of one direct SCSI pass-through, in our own definition of the
// layout. The numbers are those of the Win32 ABI, so that the request can be built
// and checked on any host; the Windows backend asserts that they match its headers.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qdp::os::win {

// CreateFileA arguments for a drive.
inline constexpr std::uint32_t kGenericReadWrite = 0x80000000u | 0x40000000u;
inline constexpr std::uint32_t kFileShareWrite = 0x2; // write sharing alone
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFileAttributeSystem = 0x4;

inline constexpr std::uint32_t kIoctlScsiPassThroughDirect = 0x4D014;

inline constexpr std::uint8_t kPathId = 0;
inline constexpr std::uint8_t kTargetId = 1;
inline constexpr std::uint8_t kLun = 0;
inline constexpr std::uint8_t kCdbLength = 16;
inline constexpr std::uint8_t kSenseInfoLength = 24;
inline constexpr std::uint32_t kTimeOutSeconds = 2;

// SCSI_PASS_THROUGH_DIRECT; Pointer is the width of DataBuffer.
template <class Pointer> struct PassThroughDirect {
    std::uint16_t Length;
    std::uint8_t ScsiStatus;
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
    std::uint8_t CdbLength;
    std::uint8_t SenseInfoLength;
    std::uint8_t DataIn;
    std::uint32_t DataTransferLength;
    std::uint32_t TimeOutValue;
    Pointer DataBuffer;
    std::uint32_t SenseInfoOffset;
    std::uint8_t Cdb[16];
};

template <class Pointer> struct PassThroughRequestOf {
    PassThroughDirect<Pointer> sptd;
    std::uint32_t reserved;
    std::uint8_t sense[32];
};

// The layout of a 32-bit program: 80 bytes, sense area at 48.
using PassThroughRequest32 = PassThroughRequestOf<std::uint32_t>;
static_assert(sizeof(PassThroughDirect<std::uint32_t>) == 44);
static_assert(offsetof(PassThroughDirect<std::uint32_t>, DataIn) == 8);
static_assert(offsetof(PassThroughDirect<std::uint32_t>, DataTransferLength) == 12);
static_assert(offsetof(PassThroughDirect<std::uint32_t>, TimeOutValue) == 16);
static_assert(offsetof(PassThroughDirect<std::uint32_t>, DataBuffer) == 20);
static_assert(offsetof(PassThroughDirect<std::uint32_t>, SenseInfoOffset) == 24);
static_assert(offsetof(PassThroughDirect<std::uint32_t>, Cdb) == 28);
static_assert(offsetof(PassThroughRequest32, sense) == 48);
static_assert(sizeof(PassThroughRequest32) == 80);

// The layout of this program.
using PassThroughRequest = PassThroughRequestOf<void*>;

template <class Pointer>
PassThroughRequestOf<Pointer> BuildPassThroughRequest(const ScsiCommand& command, Pointer buffer) {
    PassThroughRequestOf<Pointer> request;
    std::memset(&request, 0, sizeof request); // padding included
    auto& sptd = request.sptd;
    sptd.Length = sizeof sptd;
    sptd.PathId = kPathId;
    sptd.TargetId = kTargetId;
    sptd.Lun = kLun;
    sptd.CdbLength = kCdbLength;
    sptd.SenseInfoLength = kSenseInfoLength;
    sptd.DataIn = command.direction;
    sptd.DataTransferLength = command.length;
    sptd.TimeOutValue = kTimeOutSeconds;
    sptd.DataBuffer = buffer;
    sptd.SenseInfoOffset = offsetof(PassThroughRequestOf<Pointer>, sense);
    std::memcpy(sptd.Cdb, command.cdb, sizeof sptd.Cdb);
    return request;
}

} // namespace qdp::os::win
