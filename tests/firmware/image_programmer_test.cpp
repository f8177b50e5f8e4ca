#include "controller/controller_commands.h"
#include "firmware/image_programmer.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qdp::test {
namespace {

ImageBuffer TestImage() {
    ImageBuffer image{};
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 13 + (i >> 10));
    }
    return image;
}

std::uint16_t AddressOf(const std::vector<std::uint8_t>& frame) {
    return static_cast<std::uint16_t>(frame[1] | frame[2] << 8);
}

// A firmware's pages go in increasing order; an installer's marked page (the one
// holding "BLINSTAL" at 0x0F08) goes last, after the section it installs.
TEST(ProgramImage, ErasesEachPageThenWritesIt32BytesAtATimeWithPauses) {
    for (const bool installer : {false, true}) {
        ResetProcess();
        sim::VirtualRecorder& recorder = Identify();
        ImageBuffer image = TestImage();
        std::vector<std::size_t> order;
        for (std::size_t page = 0; page < 53; ++page) {
            if (!installer || page != 3) {
                order.push_back(page);
            }
        }
        if (installer) {
            std::copy_n("BLINSTAL", 8, image.begin() + 0x0F08);
            order.push_back(3);
        }
        ASSERT_TRUE(ProgramImage(image));

        const auto frames = ControllerFrames();
        ASSERT_EQ(frames.size(), 53u * 33);
        for (std::size_t step = 0; step < 53; ++step) {
            const std::size_t page = order[step];
            const auto& erase = frames[step * 33];
            EXPECT_EQ(erase,
                      (std::vector<std::uint8_t>{0x52, 0x00, static_cast<std::uint8_t>(page * 4)}));
            for (std::size_t piece = 0; piece < 32; ++piece) {
                const auto& write = frames[step * 33 + 1 + piece];
                const std::size_t address = page * 1024 + piece * 32;
                ASSERT_EQ(write.size(), 36u);
                EXPECT_EQ(write[0], 0x51);
                EXPECT_EQ(AddressOf(write), address);
                EXPECT_EQ(write[3], 32);
                EXPECT_TRUE(std::equal(write.begin() + 4, write.end(), image.begin() + address));
            }
        }
        EXPECT_EQ(Host().PauseLengths(), std::vector<std::uint32_t>(1696, 50));
        EXPECT_EQ(Host().console, std::string(53, '.'));
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0xD400, recorder.program.begin()));
    }
}

TEST(ProgramImage, NothingAtOrBeyondTheProgramAreaIsSent) {
    Identify();
    ASSERT_TRUE(ProgramImage(TestImage()));
    const auto frames = ControllerFrames();
    const auto& last = frames.back();
    EXPECT_EQ(AddressOf(last), 0xD3E0);
    for (const auto& frame : frames) {
        EXPECT_LT(AddressOf(frame) + (frame[0] == 0x51 ? frame[3] : 0), 0xD400 + 1);
    }
}

TEST(ProgramImage, AFailureInPageThreeLeavesTheRunGoing) {
    Identify();
    Host().AddFault({[](const sim::CommandView& v) {
                         return v.block[1] == 0x02 && v.dataOut.size() == 3 &&
                                v.dataOut[0] == 0x52 &&
                                v.dataOut[2] == 0x0C; // erase of page 3 (0x0C00)
                     },
                     sim::FaultAction::FailCommand});
    EXPECT_FALSE(ProgramImage(TestImage()));
    EXPECT_EQ(ControllerFrames().size(), 53u * 33);
    EXPECT_EQ(Host().console, std::string(53, '.'));
    EXPECT_EQ(Host().Pauses().size(), 1696u);
}

TEST(ProgramImage, AFailedWriteIsNotUndoneByLaterSuccesses) {
    Identify();
    Host().AddFault({[](const sim::CommandView& v) { return v.block[1] == 0x03 && v.index == 11; },
                     sim::FaultAction::FailCommand});
    EXPECT_FALSE(ProgramImage(TestImage()));
}

} // namespace
} // namespace qdp::test
