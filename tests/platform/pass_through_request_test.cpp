#include "platform/windows/pass_through_request.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace qdp::os::win {
namespace {

template <class Request> std::array<std::uint8_t, sizeof(Request)> BytesOf(const Request& request) {
    std::array<std::uint8_t, sizeof(Request)> bytes{};
    std::memcpy(bytes.data(), &request, sizeof request);
    return bytes;
}

TEST(PassThroughRequest, The32BitRequestMatchesItsLayoutByteForByte) {
    const std::uint8_t cdb[16] = {0xC8, 0x01, 0x00, 0x01, 0x02, 0x03, 0x00, 0x00,
                                  0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F};
    const ScsiCommand command{1, cdb, nullptr, 0x00010000};
    const auto bytes = BytesOf(BuildPassThroughRequest<std::uint32_t>(command, 0x12345678u));

    std::array<std::uint8_t, 80> expected{};
    expected[0] = 44;    // Length
    expected[2] = 0;     // ScsiStatus
    expected[3] = 0;     // PathId
    expected[4] = 1;     // TargetId
    expected[5] = 0;     // Lun
    expected[6] = 16;    // CdbLength
    expected[7] = 24;    // SenseInfoLength
    expected[8] = 1;     // DataIn
    expected[14] = 1;    // DataTransferLength 0x00010000
    expected[16] = 2;    // TimeOutValue
    expected[20] = 0x78; // DataBuffer
    expected[21] = 0x56;
    expected[22] = 0x34;
    expected[23] = 0x12;
    expected[24] = 48; // SenseInfoOffset
    std::memcpy(&expected[28], cdb, 16);
    EXPECT_EQ(bytes, expected);
}

TEST(PassThroughRequest, ACommandWithoutDataHasNoBufferAndDirectionZero) {
    const std::uint8_t cdb[16] = {0xC8, 0x0A};
    const ScsiCommand command{0, cdb, nullptr, 0};
    const auto request = BuildPassThroughRequest<std::uint32_t>(command, 0u);
    EXPECT_EQ(request.sptd.DataIn, 0);
    EXPECT_EQ(request.sptd.DataTransferLength, 0u);
    EXPECT_EQ(request.sptd.DataBuffer, 0u);
}

TEST(PassThroughRequest, TheNativeRequestPointsAtTheCallersBufferAndItsOwnSenseArea) {
    std::uint8_t data[8];
    const std::uint8_t cdb[16] = {0x25};
    const ScsiCommand command{1, cdb, data, sizeof data};
    const PassThroughRequest request = BuildPassThroughRequest(command, command.data);
    EXPECT_EQ(request.sptd.DataBuffer, data);
    EXPECT_EQ(request.sptd.Length, sizeof request.sptd);
    EXPECT_EQ(request.sptd.SenseInfoOffset, offsetof(PassThroughRequest, sense));
    EXPECT_EQ(request.sptd.Cdb[0], 0x25);
}

TEST(PassThroughRequest, TheDriveIsOpenedForReadingAndWritingWithWriteSharingAlone) {
    EXPECT_EQ(kGenericReadWrite, 0xC0000000u);
    EXPECT_EQ(kFileShareWrite, 2u);
    EXPECT_EQ(kOpenExisting, 3u);
    EXPECT_EQ(kFileAttributeSystem, 4u);
    EXPECT_EQ(kIoctlScsiPassThroughDirect, 0x4D014u);
}

} // namespace
} // namespace qdp::os::win
