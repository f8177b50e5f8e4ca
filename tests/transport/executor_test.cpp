#include "include/QDp_FW_FirstUpdater.h"
#include "tests/support/test_support.h"
#include "transport/device_state.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qdp::test {
namespace {

void Select(int drive) { DevicePath[kDriveDigitIndex] = static_cast<char>('0' + drive); }

TEST(Executor, BeforeAnySelectionEveryCommandFailsWithoutReachingADrive) {
    Host().AttachRecorder(0);
    const CommandBlock inquiry = Block({0x12});
    std::uint8_t reply[64] = {};
    EXPECT_EQ(Execute_SCSI_Cmd(1, inquiry.data(), reply, sizeof reply), 0);
    EXPECT_TRUE(Host().Trace().empty());
    EXPECT_EQ(Host().FailedOpens(), 1);
}

TEST(Executor, SendsAllSixteenBytesToTheSelectedDrive) {
    Host().AttachRecorder(4);
    Select(4);
    CommandBlock block = Block({0x12});
    block[15] = 0; // bytes past a 6-byte command go along as zeros
    std::uint8_t reply[2048] = {};
    ASSERT_EQ(Execute_SCSI_Cmd(1, block.data(), reply, sizeof reply), 1);
    ASSERT_EQ(Host().Trace().size(), 1u);
    const sim::CommandRecord& sent = Host().Trace()[0];
    EXPECT_EQ(sent.drive, 4);
    EXPECT_EQ(sent.block, block);
    EXPECT_EQ(sent.direction, 1);
    EXPECT_EQ(sent.length, 2048u);
}

TEST(Executor, OnlyTheLowByteOfTheDirectionCounts) {
    Host().AttachRecorder(0);
    Select(0);
    const CommandBlock inquiry = Block({0x12});
    std::uint8_t reply[36] = {};
    ASSERT_EQ(Execute_SCSI_Cmd(0x101, inquiry.data(), reply, sizeof reply), 1);
    EXPECT_EQ(Host().Trace()[0].direction, 1);
    EXPECT_EQ(reply[8], 'C');
}

TEST(Executor, ACommandWithoutDataIsSentWithNoBuffer) {
    Host().AttachRecorder(0);
    Select(0);
    const CommandBlock erase = Block({0xC8, 0x0A, 0, 0, 0, 0, 0, 0, 1});
    EXPECT_EQ(Execute_SCSI_Cmd(0, erase.data(), nullptr, 0), 1);
    EXPECT_EQ(Host().Trace()[0].length, 0u);
    EXPECT_EQ(Host().Trace()[0].direction, 0);
}

TEST(Executor, DataMovedBeforeACheckConditionStillMeansFailure) {
    Host().AttachRecorder(0);
    Select(0);
    Host().AddFault(
        {[](const sim::CommandView&) { return true; }, sim::FaultAction::CheckCondition});
    const CommandBlock inquiry = Block({0x12});
    std::uint8_t reply[36] = {};
    EXPECT_EQ(Execute_SCSI_Cmd(1, inquiry.data(), reply, sizeof reply), 0);
    EXPECT_EQ(reply[8], 'C'); // the data arrived; the buffer is not cleared
}

TEST(Executor, ADriveThatCannotBeOpenedReceivesNothing) {
    Host().AttachRecorder(2);
    Host().SetUnopenable(2, true);
    Select(2);
    const CommandBlock inquiry = Block({0x12});
    std::uint8_t reply[36] = {};
    EXPECT_EQ(Execute_SCSI_Cmd(1, inquiry.data(), reply, sizeof reply), 0);
    EXPECT_TRUE(Host().Trace().empty());
}

} // namespace
} // namespace qdp::test
