// A whole update with boot-loader replacement, command by command and pause by pause,
// against a trace committed once and reviewed by hand (tests/app/golden/). Each line
// is a command (drive, command block, direction, data length, the first data bytes
// sent or received) or a pause of the program.
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qdp::test {
namespace {

const char* const kGoldenTrace = "tests/app/golden/update_with_boot_loader_replacement.trace";

TEST(GoldenTrace, AWholeUpdateWithBootLoaderReplacementSendsExactlyTheReviewedCommands) {
    if (!CommittedImagesBuiltIn()) {
        GTEST_SKIP() << "other images are built in; the golden trace holds the committed ones";
    }
    // Boot loader 1.2 against the image's 1.3, firmware 2.4, the 512 MiB flash.
    sim::VirtualRecorder& recorder = AttachStandardRecorder(0, 0x0102, 0x0204);
    recorder.WriteFlash(262143, std::vector<std::uint8_t>(2048, 0x00));
    Host().Type("YLY ");
    ASSERT_EQ(RunWords({}), 0);
    const std::string trace = TraceText();

    if (const char* write = std::getenv("QDP_WRITE_GOLDEN_TRACE")) {
        std::ofstream(write, std::ios::binary) << trace;
        GTEST_SKIP() << "written to " << write;
    }
    const std::vector<std::uint8_t> golden = ReadSourceFile(kGoldenTrace);
    ASSERT_FALSE(golden.empty()) << kGoldenTrace;
    std::istringstream expected(std::string(golden.begin(), golden.end()));
    std::istringstream actual(trace);
    std::string want;
    std::string got;
    for (int line = 1; std::getline(expected, want); ++line) {
        ASSERT_TRUE(std::getline(actual, got)) << "the trace ends before line " << line;
        ASSERT_EQ(got, want) << "line " << line << " of " << kGoldenTrace;
    }
    EXPECT_FALSE(std::getline(actual, got)) << "the trace goes on: " << got;
}

} // namespace
} // namespace qdp::test
