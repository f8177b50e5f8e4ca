#include "include/QDp_FW_FirstUpdater.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <array>

namespace qdp::test {
namespace {

auto FailCommands(std::uint8_t subCode) {
    return sim::Fault{[subCode](const sim::CommandView& v) { return v.block[1] == subCode; },
                      sim::FaultAction::FailCommand, -1};
}

// A 3-byte page-erase frame: its reply is 64 bytes.
const std::array<std::uint8_t, 3> kFrame = {0x52, 0x00, 0x04};

TEST(I2CTunnel, SixtyFourBytesGoInOneCommand) {
    Identify();
    std::array<std::uint8_t, 64> data{};
    QDp_SendI2C(data.data(), 64); // the controller has no 64-byte frame; the tunnel carries it
    ASSERT_EQ(Host().Trace().size(), 1u);
    EXPECT_EQ(Host().Trace()[0].block, Block({0xC8, 0x02, 64}));
    EXPECT_EQ(Host().Trace()[0].length, 64u);
    EXPECT_EQ(QDp_ReceiveI2C(data.data(), 64), 1);
    EXPECT_EQ(Host().Trace()[1].block, Block({0xC8, 0x03, 64}));
    EXPECT_EQ(Host().Trace()[1].direction, 1);
}

TEST(I2CTunnel, MoreThan64BytesAreRefusedWithoutAnyCommand) {
    Identify();
    std::array<std::uint8_t, 65> data{};
    EXPECT_EQ(QDp_SendI2C(data.data(), 65), 0);
    EXPECT_EQ(QDp_ReceiveI2C(data.data(), 65), 0);
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(I2CTunnel, ZeroBytesAreStillSent) {
    Identify();
    EXPECT_EQ(QDp_SendI2C(nullptr, 0), 1);
    EXPECT_EQ(QDp_ReceiveI2C(nullptr, 0), 1);
    ASSERT_EQ(Host().Trace().size(), 2u);
    EXPECT_EQ(Host().Trace()[0].block, Block({0xC8, 0x02, 0}));
    EXPECT_EQ(Host().Trace()[1].block, Block({0xC8, 0x03, 0}));
}

TEST(SendReceiveI2C, AsksForNeitherTransferAndDoesNothing) {
    Identify();
    std::array<std::uint8_t, 4> buffer{};
    EXPECT_EQ(QDp_SendReceiveI2C(nullptr, 0, nullptr, 0), 1);
    EXPECT_EQ(QDp_SendReceiveI2C(buffer.data(), 0, buffer.data(), 0), 1);
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(SendReceiveI2C, WithoutAReplyOnlySends) {
    Identify();
    std::array<std::uint8_t, 64> reply{};
    EXPECT_EQ(QDp_SendReceiveI2C(kFrame.data(), 3, reply.data(), 0), 1);
    EXPECT_EQ(QDp_SendReceiveI2C(kFrame.data(), 3, nullptr, 0), 1);
    ASSERT_EQ(Host().Trace().size(), 2u);
    EXPECT_EQ(Host().Trace()[0].block[1], 0x02);
    EXPECT_EQ(Host().Trace()[1].block[1], 0x02);
}

TEST(SendReceiveI2C, WithoutARequestOnlyReceives) {
    Identify();
    std::array<std::uint8_t, 8> reply{};
    EXPECT_EQ(QDp_SendReceiveI2C(kFrame.data(), 0, reply.data(), 8), 1);
    EXPECT_EQ(QDp_SendReceiveI2C(nullptr, 0, reply.data(), 8), 1);
    ASSERT_EQ(Host().Trace().size(), 2u);
    EXPECT_EQ(Host().Trace()[0].block[1], 0x03);
    EXPECT_EQ(Host().Trace()[1].block[1], 0x03);
}

TEST(SendReceiveI2C, ANullBufferWithALengthIsRefusedWithNothingSent) {
    Identify();
    std::array<std::uint8_t, 8> buffer{};
    EXPECT_EQ(QDp_SendReceiveI2C(nullptr, 4, buffer.data(), 8), 0);
    EXPECT_EQ(QDp_SendReceiveI2C(buffer.data(), 4, nullptr, 8), 0); // not even the send
    EXPECT_EQ(QDp_SendReceiveI2C(nullptr, 4, nullptr, 4), 0);
    EXPECT_EQ(QDp_SendI2C(nullptr, 4), 0);
    EXPECT_EQ(QDp_ReceiveI2C(nullptr, 64), 0);
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(SendReceiveI2C, ARefusedSendSuppressesTheReceive) {
    Identify();
    std::array<std::uint8_t, 65> buffer{};
    EXPECT_EQ(QDp_SendReceiveI2C(buffer.data(), 65, buffer.data(), 4), 0);
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(SendReceiveI2C, ARefusedReceiveFollowsTheSend) {
    Identify();
    std::array<std::uint8_t, 65> buffer{0x50, 0x00, 0xD8, 0x04};
    EXPECT_EQ(QDp_SendReceiveI2C(buffer.data(), 4, buffer.data(), 65), 0);
    ASSERT_EQ(Host().Trace().size(), 1u);
    EXPECT_EQ(Host().Trace()[0].block[1], 0x02);
}

TEST(SendReceiveI2C, AFailedSendLeavesTheReplyBufferUntouched) {
    Identify();
    Host().AddFault(FailCommands(0x02));
    std::array<std::uint8_t, 64> reply;
    reply.fill(0xA5);
    EXPECT_EQ(QDp_SendReceiveI2C(kFrame.data(), 3, reply.data(), 64), 0);
    EXPECT_EQ(Host().Trace().size(), 1u);
    EXPECT_EQ(reply[0], 0xA5);
}

TEST(SendReceiveI2C, AFailedReceiveFailsTheExchange) {
    Identify();
    Host().AddFault(FailCommands(0x03));
    std::array<std::uint8_t, 64> reply{};
    EXPECT_EQ(QDp_SendReceiveI2C(kFrame.data(), 3, reply.data(), 64), 0);
    EXPECT_EQ(Host().Trace().size(), 2u);
}

TEST(SendReceiveI2C, ARequestAndItsReplyShareOneBuffer) {
    sim::VirtualRecorder& recorder = Identify();
    for (int i = 0; i < 9; ++i) {
        recorder.program[0xD800 + i] = static_cast<std::uint8_t>(0x10 + i);
    }
    std::array<std::uint8_t, 16> buffer = {0x50, 0x00, 0xD8, 9};
    ASSERT_EQ(QDp_SendReceiveI2C(buffer.data(), 4, buffer.data(), 9), 1);
    EXPECT_EQ(Host().Trace()[0].data, (std::vector<std::uint8_t>{0x50, 0x00, 0xD8, 9}));
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(buffer[i], 0x10 + i);
    }
}

} // namespace
} // namespace qdp::test
