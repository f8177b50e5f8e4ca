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
// holding "BLINSTAL" at 0x0F08) goes last, after the section it installs, and the
// piece of its mark (0x0F00) after the rest of that page: the run's last write is
// what makes the recorder start the program.
TEST(ProgramImage, ErasesEachPageThenWritesIt32BytesAtATimeWithPauses) {
    for (const bool installer : {false, true}) {
        ResetProcess();
        sim::VirtualRecorder& recorder = Identify();
        ImageBuffer image = TestImage();
        std::vector<std::size_t> addresses; // of the pieces, in the order written
        for (std::size_t page = 0; page < 53; ++page) {
            for (std::size_t piece = 0; piece < 32 && (!installer || page != 3); ++piece) {
                addresses.push_back(page * 1024 + piece * 32);
            }
        }
        if (installer) {
            std::copy_n("BLINSTAL", 8, image.begin() + 0x0F08);
            for (std::size_t piece = 0; piece < 32; ++piece) {
                addresses.push_back(0x0C00 + (piece < 24 ? piece : piece + 1) * 32 % 1024);
            }
            addresses.back() = 0x0F00;
        }
        ASSERT_TRUE(ProgramImage(image));

        const auto frames = ControllerFrames();
        ASSERT_EQ(frames.size(), 53u * 33);
        for (std::size_t step = 0; step < 53; ++step) {
            const std::size_t page = addresses[step * 32] / 1024;
            EXPECT_EQ(frames[step * 33],
                      (std::vector<std::uint8_t>{0x52, 0x00, static_cast<std::uint8_t>(page * 4)}));
            for (std::size_t piece = 0; piece < 32; ++piece) {
                const auto& write = frames[step * 33 + 1 + piece];
                const std::size_t address = addresses[step * 32 + piece];
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

// After a failure the run goes on, and its commit still goes out last, with its pause,
// but with the bytes that mark the program to start erased: the status record
// (0xD3F5 to 0xD3FF) of a firmware, the mark (0x0F08 to 0x0F0F) of an installer.
TEST(ProgramImage, AFailureInPageThreeLeavesTheRunGoingAndItsCommitUnmarked) {
    for (const bool installer : {false, true}) {
        ResetProcess();
        Identify();
        ImageBuffer image = TestImage();
        if (installer) {
            std::copy_n("BLINSTAL", 8, image.begin() + 0x0F08);
        }
        Host().AddFault({[](const sim::CommandView& v) {
                             return v.block[1] == 0x02 && v.dataOut.size() == 3 &&
                                    v.dataOut[0] == 0x52 &&
                                    v.dataOut[2] == (v.dataOut[1] == 0 ? 0x0C : 0xFF);
                         },
                         sim::FaultAction::FailCommand});
        EXPECT_FALSE(ProgramImage(image));
        const auto frames = ControllerFrames();
        ASSERT_EQ(frames.size(), 53u * 33);
        EXPECT_EQ(Host().console, std::string(53, '.'));
        EXPECT_EQ(Host().Pauses().size(), 1696u);
        const std::size_t commit = installer ? 0x0F00 : 0xD3E0;
        const std::size_t marked = installer ? 0x0F08 : 0xD3F5;
        std::vector<std::uint8_t> expected(image.begin() + commit, image.begin() + commit + 32);
        std::fill(expected.begin() + (marked - commit),
                  expected.begin() + (marked - commit) + (installer ? 8 : 11), 0xFF);
        EXPECT_EQ(AddressOf(frames.back()), commit);
        EXPECT_EQ(std::vector<std::uint8_t>(frames.back().begin() + 4, frames.back().end()),
                  expected);
    }
}

// --verify: the whole program area read back in 64-byte reads before the commit, the
// commit's piece still erased; then the commit read back. A write stored wrongly fails
// the run, so its commit goes out unmarked.
TEST(ProgramImage, VerifyingReadsEverythingBackBeforeTheCommitAndTheCommitAfter) {
    for (const std::uint64_t wrongWrite : {0u, 1000u, 1696u}) {
        ResetProcess();
        sim::VirtualRecorder& recorder = Identify();
        recorder.corruptWriteAt = wrongWrite;
        const ImageBuffer image = TestImage();
        EXPECT_EQ(ProgramImage(image, true), wrongWrite == 0) << wrongWrite;
        const auto frames = ControllerFrames();
        std::size_t reads = 0;
        std::size_t readsBeforeCommit = 0;
        for (const auto& frame : frames) {
            if (frame[0] == 0x50) {
                EXPECT_EQ(AddressOf(frame), reads < 848 ? reads * 64 : 0xD3E0);
                EXPECT_EQ(frame[3], reads < 848 ? 64 : 32);
                ++reads;
            } else if (frame[0] == 0x51 && AddressOf(frame) == 0xD3E0) {
                readsBeforeCommit = reads;
            }
        }
        // A wrong write before the commit ends the reads where it lies; one in the
        // commit itself is read after it, and the commit's page is erased again.
        EXPECT_EQ(readsBeforeCommit, wrongWrite == 1000 ? reads : 848u);
        EXPECT_EQ(reads, wrongWrite == 1000 ? (1000u - 1) * 32 / 64 + 1 : 849u);
        EXPECT_EQ(frames.back()[0], wrongWrite == 0 ? 0x50 : wrongWrite == 1000 ? 0x51 : 0x52);
        const bool marked = std::equal(recorder.program.begin() + 0xD3FC,
                                       recorder.program.begin() + 0xD400, image.begin() + 0xD3FC);
        EXPECT_EQ(marked, wrongWrite == 0);
        EXPECT_EQ(Host().console, std::string(53, '.'));
    }
}

TEST(ProgramImage, AFailedWriteIsNotUndoneByLaterSuccesses) {
    Identify();
    Host().AddFault({[](const sim::CommandView& v) { return v.block[1] == 0x03 && v.index == 11; },
                     sim::FaultAction::FailCommand});
    EXPECT_FALSE(ProgramImage(TestImage()));
}

} // namespace
} // namespace qdp::test
