#include "firmware/memory_erase.h"
#include "tests/support/test_support.h"
#include "transport/transport_state.h"

#include <gtest/gtest.h>

namespace qdp::test {
namespace {

void SetGeometry(std::uint8_t units, std::uint16_t blocksPerUnit, std::uint8_t pagesPerBlock,
                 std::uint16_t pageSize) {
    sim::Geometry geometry{units, blocksPerUnit, pagesPerBlock, pageSize, 512};
    Identify(geometry);
}

std::vector<std::uint32_t> ErasedAt() {
    std::vector<std::uint32_t> pages;
    for (const auto& record : Commands(0xC8, 0x0A)) {
        pages.push_back(sim::wire::Big32(&record.block[2]));
    }
    return pages;
}

TEST(EraseMemory, ErasesEverythingBeyondTheFirst64MiBIn64BlockCommands) {
    SetGeometry(2, 2048, 64, 2048); // 512 MiB
    ASSERT_TRUE(EraseMemory());
    const auto pages = ErasedAt();
    ASSERT_EQ(pages.size(), 56u);
    for (std::size_t k = 0; k < pages.size(); ++k) {
        EXPECT_EQ(pages[k], 32768 + k * 4096);
    }
    for (const auto& record : Commands(0xC8, 0x0A)) {
        EXPECT_EQ(record.block[8], 64);
        EXPECT_EQ(record.length, 0u);
    }
    EXPECT_EQ(Host().console, std::string(56, '.') + "OK\n");
}

TEST(EraseMemory, SixtyFiveBlocksTakeTwoCommands) {
    SetGeometry(1, 512 + 65, 64, 2048);
    ASSERT_TRUE(EraseMemory());
    EXPECT_EQ(ErasedAt(), (std::vector<std::uint32_t>{32768, 32768 + 64 * 64}));
    EXPECT_EQ(Commands(0xC8, 0x0A)[1].block[8], 1);
    EXPECT_EQ(Host().console, "..OK\n");
}

TEST(EraseMemory, SixtyFourBlocksTakeOneCommand) {
    SetGeometry(1, 512 + 64, 64, 2048);
    ASSERT_TRUE(EraseMemory());
    EXPECT_EQ(ErasedAt().size(), 1u);
    EXPECT_EQ(Host().console, ".OK\n");
}

TEST(EraseMemory, AFlashNoLargerThan64MiBNeedsNoCommand) {
    SetGeometry(1, 512, 64, 2048);
    ASSERT_TRUE(EraseMemory());
    EXPECT_TRUE(Host().Trace().empty());
    EXPECT_EQ(Host().console, "OK\n");
}

TEST(EraseMemory, SmallPagesStartFurtherIn) {
    SetGeometry(1, 4096 + 1, 32, 512);
    ASSERT_TRUE(EraseMemory());
    EXPECT_EQ(ErasedAt(), (std::vector<std::uint32_t>{131072}));
}

TEST(EraseMemory, AZeroFieldMakesTheGeometryUnusable) {
    const std::array<std::array<int, 3>, 3> cases = {{{0, 64, 2048}, {1, 0, 2048}, {1, 64, 0}}};
    for (const auto& [units, perBlock, pageSize] : cases) {
        ResetProcess();
        Transport.FlashParams.unitCount = static_cast<std::uint8_t>(units);
        Transport.FlashParams.blocksPerUnit = 4096;
        Transport.FlashParams.pagesPerBlock = static_cast<std::uint8_t>(perBlock);
        Transport.FlashParams.pageSize = static_cast<std::uint16_t>(pageSize);
        EXPECT_FALSE(EraseMemory());
        EXPECT_TRUE(Host().console.empty());
        EXPECT_TRUE(Host().Trace().empty());
    }
}

TEST(EraseMemory, NoBlocksPerUnitMeansNothingToErase) {
    Transport.FlashParams.unitCount = 1;
    Transport.FlashParams.pagesPerBlock = 64;
    Transport.FlashParams.pageSize = 2048;
    EXPECT_TRUE(EraseMemory());
    EXPECT_EQ(Host().console, "OK\n");
}

TEST(EraseMemory, FailedCommandsNeitherStopNorFailTheErase) {
    SetGeometry(1, 512 + 130, 64, 2048);
    Host().AddFault(
        {[](const sim::CommandView&) { return true; }, sim::FaultAction::FailCommand, -1});
    EXPECT_TRUE(EraseMemory());
    EXPECT_EQ(ErasedAt().size(), 3u);
    EXPECT_EQ(Host().console, "...OK\n");
}

TEST(EraseMemory, TheFirst64MiBAreLeftAsTheyWere) {
    sim::VirtualRecorder& recorder = Identify();
    const std::vector<std::uint8_t> kept(2048, 0x11);
    recorder.WriteFlash(32767, kept);
    recorder.WriteFlash(32768, kept);
    recorder.WriteFlash(262143, kept);
    ASSERT_TRUE(EraseMemory());
    EXPECT_EQ(recorder.ReadFlash(32767), kept);
    EXPECT_EQ(recorder.ReadFlash(32768), std::vector<std::uint8_t>(2048, 0xFF));
    EXPECT_EQ(recorder.ReadFlash(262143), std::vector<std::uint8_t>(2048, 0xFF));
}

} // namespace
} // namespace qdp::test
