#include "include/QDp_FW_FirstUpdater.h"
#include "tests/support/test_support.h"
#include "transport/transport_state.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qdp::test {
namespace {

void Select(int drive) { Transport.DevicePath[17] = static_cast<char>('0' + drive); }

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
    const CommandBlock block = Block({0x12});
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
    Host().SetOpenFailure(2, sim::OpenFailure::PermissionDenied);
    Select(2);
    const CommandBlock inquiry = Block({0x12});
    std::uint8_t reply[36] = {};
    EXPECT_EQ(Execute_SCSI_Cmd(1, inquiry.data(), reply, sizeof reply), 0);
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(Executor, ANullBlockOrAMissingBufferIsRefusedBeforeAnyDrive) {
    Host().AttachRecorder(0);
    Select(0);
    const CommandBlock write = Block({0xC8, 0x01, 0, 0, 0, 0, 0, 0, 32});
    std::uint8_t reply[36] = {};
    EXPECT_EQ(Execute_SCSI_Cmd(1, nullptr, reply, sizeof reply), 0);
    EXPECT_EQ(Execute_SCSI_Cmd(0, write.data(), nullptr, 65536), 0);
    EXPECT_EQ(Execute_SCSI_Cmd(1, Block({0x12}).data(), nullptr, 36), 0);
    EXPECT_TRUE(Host().Trace().empty());
    EXPECT_EQ(Host().FailedOpens(), 0);
}

TEST(Executor, DataInTheWrongDirectionDoesNotMove) {
    sim::VirtualRecorder& recorder = Host().AttachRecorder(0);
    Select(0);
    // READ(10) of one sector sent as data-out: the recorder takes nothing and gives
    // nothing back; the host's buffer stays as it was.
    recorder.WriteFlash(0, std::vector<std::uint8_t>(2048, 0x11));
    std::vector<std::uint8_t> buffer(512, 0xA5);
    EXPECT_EQ(Execute_SCSI_Cmd(0, Block({0x28, 0, 0, 0, 0, 0, 0, 0, 1}).data(), buffer.data(), 512),
              0);
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(512, 0xA5));
    // A page write sent as data-in writes nothing.
    std::vector<std::uint8_t> page(2048, 0x22);
    EXPECT_EQ(
        Execute_SCSI_Cmd(1, Block({0xC8, 0x01, 0, 0, 0, 0, 0, 0, 1}).data(), page.data(), 2048), 0);
    EXPECT_EQ(recorder.ReadFlash(0), std::vector<std::uint8_t>(2048, 0x11));
}

} // namespace
} // namespace qdp::test
