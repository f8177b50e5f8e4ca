#include "controller/controller_commands.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace qdp::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

auto FailNth(std::uint8_t subCode, int nth = 0) {
    auto seen = std::make_shared<int>(0);
    return sim::Fault{
        [=](const sim::CommandView& v) { return v.block[1] == subCode && (*seen)++ == nth; },
        sim::FaultAction::FailCommand};
}

TEST(ReadMemory, SendsAFourByteFrameAndReceivesTheCount) {
    sim::VirtualRecorder& recorder = Identify();
    for (int i = 0; i < 64; ++i) {
        recorder.program[0xD800 + i] = static_cast<std::uint8_t>(i);
    }
    std::array<std::uint8_t, 64> bytes{};
    ASSERT_TRUE(Ctrl_ReadMemory(0xD800, 64, bytes.data()));
    ASSERT_EQ(Host().Trace().size(), 2u);
    EXPECT_EQ(Host().Trace()[0].data, (Bytes{0x50, 0x00, 0xD8, 64}));
    EXPECT_EQ(Host().Trace()[1].block, Block({0xC8, 0x03, 64}));
    EXPECT_EQ(bytes[63], 63);
}

TEST(ReadMemory, MoreThan64BytesAreRefusedWithoutAFrame) {
    Identify();
    std::array<std::uint8_t, 65> bytes{};
    EXPECT_FALSE(Ctrl_ReadMemory(0, 65, bytes.data()));
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(ReadMemory, ACountOfZeroSendsTheFrameOnly) {
    Identify();
    EXPECT_TRUE(Ctrl_ReadMemory(0xD3F5, 0, nullptr));
    ASSERT_EQ(Host().Trace().size(), 1u);
    EXPECT_EQ(Host().Trace()[0].data, (Bytes{0x50, 0xF5, 0xD3, 0}));
}

TEST(ReadMemory, AFailedReplyLeavesTheDestinationUntouched) {
    Identify();
    Host().AddFault(FailNth(0x03));
    std::array<std::uint8_t, 9> bytes;
    bytes.fill(0x5A);
    EXPECT_FALSE(Ctrl_ReadMemory(0xD800, 9, bytes.data()));
    EXPECT_EQ(bytes[0], 0x5A);
}

TEST(WriteMemory, SendsA36ByteFrameAndReceives32Bytes) {
    sim::VirtualRecorder& recorder = Identify();
    std::array<std::uint8_t, 32> data{};
    for (int i = 0; i < 32; ++i) {
        data[i] = static_cast<std::uint8_t>(0x80 + i);
    }
    ASSERT_TRUE(Ctrl_WriteMemory(0x1234, 32, data.data()));
    ASSERT_EQ(Host().Trace().size(), 2u);
    Bytes frame = {0x51, 0x34, 0x12, 32};
    frame.insert(frame.end(), data.begin(), data.end());
    EXPECT_EQ(Host().Trace()[0].data, frame);
    EXPECT_EQ(Host().Trace()[1].block, Block({0xC8, 0x03, 32}));
    EXPECT_EQ(recorder.program[0x1234], 0x80);
    EXPECT_EQ(recorder.program[0x1253], 0x9F);
}

TEST(WriteMemory, MoreThan32BytesAreRefusedWithoutAFrame) {
    Identify();
    std::array<std::uint8_t, 33> data{};
    EXPECT_FALSE(Ctrl_WriteMemory(0, 33, data.data()));
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(ErasePage, SendsAThreeByteFrameAndReceives64Bytes) {
    sim::VirtualRecorder& recorder = Identify();
    recorder.SetFirmware(0x0105);
    recorder.program[0xCFFF] = 0x00;
    ASSERT_TRUE(Ctrl_ErasePage(0xD3F5));
    ASSERT_EQ(Host().Trace().size(), 2u);
    EXPECT_EQ(Host().Trace()[0].data, (Bytes{0x52, 0xF5, 0xD3}));
    EXPECT_EQ(Host().Trace()[1].block, Block({0xC8, 0x03, 64}));
    EXPECT_EQ(recorder.program[0xD3FF], 0xFF); // the page that holds the address is erased
    EXPECT_EQ(recorder.program[0xCFFF], 0x00);
}

TEST(Restart, SendsTwoBytesAndReceivesNothing) {
    Identify();
    ASSERT_TRUE(Ctrl_Restart());
    ASSERT_EQ(Host().Trace().size(), 1u);
    EXPECT_EQ(Host().Trace()[0].block, Block({0xC8, 0x02, 2}));
    EXPECT_EQ(Host().Trace()[0].data, (Bytes{0x53, 0x00}));
    EXPECT_EQ(Host().Restarts(), 1);
}

TEST(Records, TheBootLoaderVersionIsStoredBigEndian) {
    sim::VirtualRecorder& recorder = Identify();
    recorder.SetBootLoader(0x0105, "ABCDEFG");
    BootLoaderRecord record{};
    ASSERT_TRUE(Ctrl_ReadBootLoaderRecord(&record));
    EXPECT_EQ(record.version, 0x0105);
    EXPECT_EQ(std::memcmp(record.identification, "ABCDEFG", 7), 0);
    EXPECT_EQ(Host().Trace()[0].data, (Bytes{0x50, 0x00, 0xD8, 9}));
}

TEST(Records, TheFirmwareVersionIsStoredLittleEndian) {
    sim::VirtualRecorder& recorder = Identify();
    recorder.program[0xD3F5] = 0x05;
    recorder.program[0xD3F6] = 0x01;
    std::memcpy(&recorder.program[0xD3FC], "FWOK", 4);
    FirmwareStatusRecord record{};
    ASSERT_TRUE(Ctrl_ReadFirmwareStatus(&record));
    EXPECT_EQ(record.version, 0x0105);
    EXPECT_EQ(Host().Trace()[0].data, (Bytes{0x50, 0xF5, 0xD3, 11}));
}

TEST(Records, TheMarkerCountsOnlyAtOffsetSeven) {
    sim::VirtualRecorder& recorder = Identify();
    std::fill_n(&recorder.program[0xD3F5], 11, 0);
    std::memcpy(&recorder.program[0xD3F5 + 3], "FWOK", 4);
    FirmwareStatusRecord record{};
    EXPECT_FALSE(Ctrl_ReadFirmwareStatus(&record));
    EXPECT_EQ(std::memcmp(record.carried + 1, "FWOK", 4), 0); // the bytes read are kept
}

TEST(Records, AFailedReadLeavesTheRecordsUntouched) {
    Identify();
    Host().AddFault(
        {[](const sim::CommandView&) { return true; }, sim::FaultAction::FailCommand, -1});
    BootLoaderRecord bootLoader{0x1234, {1, 2, 3, 4, 5, 6, 7}};
    FirmwareStatusRecord firmware{0x4321, {}, {'F', 'W', 'O', 'K'}};
    EXPECT_FALSE(Ctrl_ReadBootLoaderRecord(&bootLoader));
    EXPECT_FALSE(Ctrl_ReadFirmwareStatus(&firmware));
    EXPECT_EQ(bootLoader.version, 0x1234); // not swapped
    EXPECT_EQ(firmware.version, 0x4321);
}

TEST(Records, SwapBytes16ExchangesTheBytes) {
    EXPECT_EQ(SwapBytes16(0x0501), 0x0105);
    EXPECT_EQ(SwapBytes16(0xFF00), 0x00FF);
}

} // namespace
} // namespace qdp::test
