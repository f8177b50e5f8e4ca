#include "include/QDp_FW_FirstUpdater.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <numeric>

namespace qdp::test {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed = 0) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251 + seed);
    }
    return bytes;
}

sim::CommandRecord Only(std::size_t index) { return Host().Trace().at(index); }

TEST(WritePages, SplitsIntoCommandsOfAtMost64KiBAndSendsTheBufferInPlace) {
    sim::VirtualRecorder& recorder = Identify();
    const std::vector<std::uint8_t> data = Pattern(33 * 2048);
    ASSERT_EQ(QDp_WritePages(100, data.data(), 33), 1);
    ASSERT_EQ(Host().Trace().size(), 2u);
    EXPECT_EQ(Only(0).block, Block({0xC8, 0x01, 0x00, 0x00, 0x00, 100, 0x00, 0x00, 32}));
    EXPECT_EQ(Only(0).direction, 0);
    EXPECT_EQ(Only(0).data, std::vector<std::uint8_t>(data.begin(), data.begin() + 65536));
    EXPECT_EQ(Only(1).block, Block({0xC8, 0x01, 0x00, 0x00, 0x00, 132, 0x00, 0x00, 1}));
    EXPECT_EQ(Only(1).data, std::vector<std::uint8_t>(data.begin() + 65536, data.end()));
    EXPECT_EQ(recorder.ReadFlash(100, 33), data);
}

TEST(WritePages, PagesOf528BytesGo124ToACommand) {
    sim::Geometry geometry;
    geometry.pageSize = 528;
    geometry.sectorSize = 528;
    Identify(geometry);
    const std::vector<std::uint8_t> data = Pattern(125 * 528);
    ASSERT_EQ(QDp_WritePages(0, data.data(), 125), 1);
    ASSERT_EQ(Host().Trace().size(), 2u);
    EXPECT_EQ(Only(0).length, 65472u);
    EXPECT_EQ(Only(1).block[8], 1);
}

TEST(ReadPages, ReadsWholePagesAsLogicalSectorsWithRead10) {
    sim::VirtualRecorder& recorder = Identify();
    const std::vector<std::uint8_t> stored = Pattern(100 * 2048, 3);
    recorder.WriteFlash(1000, stored);
    std::vector<std::uint8_t> buffer(stored.size());
    ASSERT_EQ(QDp_ReadPages(1000, buffer.data(), 100), 1);
    ASSERT_EQ(Host().Trace().size(), 4u);
    // 400 sectors from sector 4000 = 0x0FA0: 128, 128, 128 and 16.
    EXPECT_EQ(Only(0).block, Block({0x28, 0x00, 0x00, 0x00, 0x0F, 0xA0, 0x00, 0x00, 0x80}));
    EXPECT_EQ(Only(1).block, Block({0x28, 0x00, 0x00, 0x00, 0x10, 0x20, 0x00, 0x00, 0x80}));
    EXPECT_EQ(Only(2).block, Block({0x28, 0x00, 0x00, 0x00, 0x10, 0xA0, 0x00, 0x00, 0x80}));
    EXPECT_EQ(Only(3).block, Block({0x28, 0x00, 0x00, 0x00, 0x11, 0x20, 0x00, 0x00, 0x10}));
    EXPECT_EQ(Only(3).length, 16u * 512);
    EXPECT_EQ(buffer, stored);
}

TEST(ReadPartsOfPages, TakesPartKFromPageKTimesStepAndSplitsAt64KiB) {
    sim::Geometry geometry;
    geometry.unitCount = 4; // 524,288 pages
    sim::VirtualRecorder& recorder = Identify(geometry);
    for (std::uint32_t k : {0u, 1u, 4095u, 4096u, 4999u}) {
        std::vector<std::uint8_t> page(2048, 0);
        std::fill_n(page.begin() + 5, 16, static_cast<std::uint8_t>(k % 251));
        recorder.WriteFlash(std::uint64_t{k} * 64, page);
    }
    std::vector<std::uint8_t> buffer(5000 * 16, 0xEE);
    ASSERT_EQ(QDp_ReadPartsOfPages(0, 5000, 5, 16, 64, buffer.data()), 1);
    ASSERT_EQ(Host().Trace().size(), 2u);
    // Arguments are offset, size, step; the block holds size, step, offset.
    EXPECT_EQ(Only(0).block,
              Block({0xC8, 0x04, 0, 0, 0, 0, 0, 0x10, 0x00, 0x00, 0x10, 0x00, 0x40, 0x00, 0x05}));
    EXPECT_EQ(Only(1).block, Block({0xC8, 0x04, 0x00, 0x04, 0x00, 0x00, 0, 0x03, 0x88, 0x00, 0x10,
                                    0x00, 0x40, 0x00, 0x05}));
    EXPECT_EQ(buffer[4096 * 16], 4096 % 251);
    EXPECT_EQ(buffer[4999 * 16 + 15], 4999 % 251);
    EXPECT_EQ(buffer[4095 * 16], 4095 % 251);
    EXPECT_EQ(buffer[2 * 16], 0xFF); // a page never written reads erased
}

TEST(Transfers, StopAtTheFirstFailedCommand) {
    Identify();
    Host().AddFault(
        {[](const sim::CommandView& v) { return v.index == 1; }, sim::FaultAction::FailCommand});
    const std::vector<std::uint8_t> data = Pattern(70 * 2048);
    EXPECT_EQ(QDp_WritePages(0, data.data(), 70), 0);
    EXPECT_EQ(Host().Trace().size(), 2u);
}

TEST(Transfers, ARequestOfNoUnitsSendsNothingAndSucceeds) {
    Identify();
    std::uint8_t byte = 0;
    EXPECT_EQ(QDp_ReadPages(0, &byte, 0), 1);
    EXPECT_EQ(QDp_WritePages(0, &byte, 0), 1);
    EXPECT_EQ(QDp_ReadPartsOfPages(0, 0, 0, 16, 1, &byte), 1);
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(Transfers, WithoutAUsableGeometryNothingIsSent) {
    Host().AttachRecorder(0);
    std::vector<std::uint8_t> buffer(4096);
    EXPECT_EQ(QDp_ReadPages(0, buffer.data(), 1), 0); // no recorder identified: pageSize 0
    EXPECT_EQ(QDp_WritePages(0, buffer.data(), 1), 0);
    Identify();
    EXPECT_EQ(QDp_ReadPartsOfPages(0, 1, 0, 0, 1, buffer.data()), 0);
    EXPECT_EQ(QDp_ReadPages(0, nullptr, 1), 0);
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(ReadPages, RefusesAPageThatIsNotAWholeNumberOfSectors) {
    for (const auto& [pageSize, sectorSize] : {std::pair{512, 2048}, std::pair{2112, 512}}) {
        ResetProcess();
        sim::Geometry geometry;
        geometry.pageSize = static_cast<std::uint16_t>(pageSize);
        geometry.sectorSize = static_cast<std::uint32_t>(sectorSize);
        Identify(geometry);
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(pageSize));
        EXPECT_EQ(QDp_ReadPages(0, buffer.data(), 1), 0) << pageSize << "/" << sectorSize;
        EXPECT_TRUE(Host().Trace().empty());
    }
}

TEST(ReadPages, RefusesCountsAndAddressesThatDoNotFitTheCommand) {
    Identify();
    std::vector<std::uint8_t> buffer(16384 * 2048);
    EXPECT_EQ(QDp_ReadPages(0, buffer.data(), 16384), 0);      // 65,536 sectors
    EXPECT_EQ(QDp_ReadPages(0x40000000, buffer.data(), 1), 0); // sector 2^32
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(Transfers, ARangePastPage2To32IsRefusedRatherThanWrappedToTheStart) {
    Identify();
    std::vector<std::uint8_t> buffer(64 * 2048);
    // 33 pages from page 2^32 - 16: the second command would address page 16.
    EXPECT_EQ(QDp_WritePages(0xFFFFFFF0, buffer.data(), 33), 0);
    // 256 sectors from sector 2^32 - 128: the second READ(10) would read sector 0.
    EXPECT_EQ(QDp_ReadPages(0x3FFFFFE0, buffer.data(), 64), 0);
    // The last of three parts 0x80 pages apart would be page 2^32.
    EXPECT_EQ(QDp_ReadPartsOfPages(0xFFFFFF00, 3, 0, 16, 0x80, buffer.data()), 0);
    // Two blocks of 64 pages from page 2^32 - 64.
    EXPECT_EQ(QDp_EraseBlocks(0xFFFFFFC0, 2), 0);
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(Transfers, ARangeEndingAtTheLastAddressIsSent) {
    Identify();
    std::vector<std::uint8_t> buffer(2048);
    EXPECT_EQ(QDp_WritePages(0xFFFFFFFF, buffer.data(), 1), 0); // past this recorder's end
    EXPECT_EQ(QDp_ReadPages(0x3FFFFFFF, buffer.data(), 1), 0);  // sectors up to 2^32 - 1
    EXPECT_EQ(QDp_ReadPartsOfPages(0xFFFFFF00, 3, 0, 16, 0x7F, buffer.data()), 0);
    EXPECT_EQ(QDp_EraseBlocks(0xFFFFFFC0, 1), 0);
    ASSERT_EQ(Host().Trace().size(), 4u);
    EXPECT_EQ(Host().Trace()[0].block, Block({0xC8, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1}));
    EXPECT_EQ(Host().Trace()[1].block, Block({0x28, 0, 0xFF, 0xFF, 0xFF, 0xFC, 0, 0, 4}));
    EXPECT_EQ(Host().Trace()[2].block[2], 0xFF);
    EXPECT_EQ(Host().Trace()[3].block, Block({0xC8, 0x0A, 0xFF, 0xFF, 0xFF, 0xC0, 0, 0, 1}));
}

TEST(Transfers, ACommandPastTheEndOfTheFlashFails) {
    Identify();
    std::vector<std::uint8_t> buffer(2 * 2048);
    EXPECT_EQ(QDp_ReadPages(262143, buffer.data(), 2), 0);
    EXPECT_EQ(QDp_WritePages(262143, buffer.data(), 2), 0);
}

TEST(EraseBlocks, SendsOneCommandWithNoDataPhase) {
    sim::VirtualRecorder& recorder = Identify();
    recorder.WriteFlash(32768 + 64 * 64 - 1, Pattern(2048));
    recorder.WriteFlash(32768 + 64 * 64, Pattern(2048));
    ASSERT_EQ(QDp_EraseBlocks(32768, 64), 1);
    ASSERT_EQ(Host().Trace().size(), 1u);
    EXPECT_EQ(Only(0).block, Block({0xC8, 0x0A, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x40}));
    EXPECT_EQ(Only(0).direction, 0);
    EXPECT_EQ(Only(0).length, 0u);
    EXPECT_EQ(recorder.StoredPages(), 1u); // only the page after the 64 blocks is left
}

TEST(EraseBlocks, ReturnsTheCommandsFailure) {
    Identify();
    EXPECT_EQ(QDp_EraseBlocks(33, 1), 0); // not the first page of a block
}

} // namespace
} // namespace qdp::test

namespace qdp::test {
namespace {

// Found by fuzzing: a recorder that reports no sector size and no page size.
TEST(Transfers, ARecorderWithoutUsableGeometryIsRefusedCleanly) {
    sim::Geometry geometry;
    geometry.pageSize = 0;
    geometry.sectorSize = 0;
    Identify(geometry);
    EXPECT_EQ(QDp_GetSectorSize(), 0u);
    std::vector<std::uint8_t> buffer(2048);
    EXPECT_EQ(QDp_ReadPages(0, buffer.data(), 1), 0);
    EXPECT_EQ(QDp_WritePages(0, buffer.data(), 1), 0);
    EXPECT_TRUE(Host().Trace().empty()); // refused before any command
    // Parts do not depend on the cached geometry: the command goes out and the
    // recorder refuses it.
    EXPECT_EQ(QDp_ReadPartsOfPages(0, 1, 0, 16, 1, buffer.data()), 0);
    ASSERT_EQ(Host().Trace().size(), 1u);
    EXPECT_FALSE(Host().Trace()[0].good);
}

} // namespace
} // namespace qdp::test
