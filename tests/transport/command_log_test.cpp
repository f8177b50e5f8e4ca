// The command log that QDP_LOG asks for: what a technician reads after a failure.
#include "include/QDp_FW_FirstUpdater.h"
#include "tests/support/test_support.h"
#include "transport/scsi_executor.h"
#include "transport/transport_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace qdp::test {
namespace {

void SetLog(const std::string& path) {
#if defined(_WIN32)
    _putenv_s("QDP_LOG", path.c_str());
#else
    if (path.empty()) {
        unsetenv("QDP_LOG");
    } else {
        setenv("QDP_LOG", path.c_str(), 1);
    }
#endif
}

class CommandLog : public testing::Test {
  protected:
    void SetUp() override {
        path_ = (std::filesystem::temp_directory_path() /
                 ("qdp_command_log_" + std::to_string(std::rand()) + ".txt"))
                    .string();
        std::filesystem::remove(path_);
        SetLog(path_);
    }
    void TearDown() override {
        ResetTransportState(); // closes the file
        SetLog("");
        std::filesystem::remove(path_);
    }

    // The lines written since the last call of Mark().
    std::vector<std::string> Lines() const {
        std::ifstream in(path_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        lines.erase(lines.begin(),
                    lines.begin() + static_cast<std::ptrdiff_t>(std::min(mark_, lines.size())));
        return lines;
    }
    void Mark() {
        mark_ = 0;
        mark_ = Lines().size();
    }

    std::string path_;
    std::size_t mark_ = 0;
};

const std::string kStamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )";

TEST_F(CommandLog, EachCommandGetsOneLineWithItsBlockDirectionAndOutcome) {
    Host().AttachRecorder(0);
    char* name = nullptr;
    ASSERT_EQ(QDp_IsConnected(&name), 1);
    std::free(name);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex(kStamp + R"(\\\\\.\\PHYSICALDRIVE0 \(/dev/sg0\) )"
                                      "12 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                                      R"(in 2048: GOOD, 36 bytes moved, \d+\.\d{3} ms)")))
        << lines[0];
    EXPECT_NE(lines[1].find(" C8 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 in 12: GOOD, "
                            "12 bytes moved"),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find(" 25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 in 8: GOOD"),
              std::string::npos);
}

TEST_F(CommandLog, AFailedCommandShowsItsSenseDataInWords) {
    Identify();
    Mark();
    // An erase that does not start at a block: the recorder refuses the field.
    EXPECT_EQ(QDp_EraseBlocks(33, 1), 0);
    // A frame the controller does not know.
    const std::uint8_t frame[2] = {0x7A, 0x00};
    EXPECT_EQ(QDp_SendI2C(frame, 2), 0);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" C8 0A 00 00 00 21 00 00 01 00 00 00 00 00 00 00 none 0: "
                            "CHECK CONDITION, sense ILLEGAL REQUEST: invalid field in CDB "
                            "(ASC 24h ASCQ 00h), 0 bytes moved"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find(" out 2: CHECK CONDITION, sense ILLEGAL REQUEST: invalid field in "
                            "parameter list (ASC 26h ASCQ 00h)"),
              std::string::npos)
        << lines[1];
}

TEST_F(CommandLog, ACommandTheSystemCouldNotCarryOutSaysSo) {
    Identify();
    Mark();
    Host().AddFault({[](const sim::CommandView&) { return true; }, sim::FaultAction::FailCommand});
    std::uint8_t reply[8];
    EXPECT_EQ(QDp_ReceiveI2C(reply, 8), 0);
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" in 8: not carried out: Input/output error (system error 5)"),
              std::string::npos)
        << lines[0];
}

TEST_F(CommandLog, OpenFailuresNameTheirReasonOnceUntilItChanges) {
    Host().AttachRecorder(3);
    Host().SetOpenFailure(3, sim::OpenFailure::PermissionDenied);
    char* name = nullptr;
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    Host().SetOpenFailure(3, sim::OpenFailure::Busy);
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    std::vector<std::string> reasons;
    for (const std::string& line : Lines()) {
        const std::size_t at = line.find("open failed: ");
        ASSERT_NE(at, std::string::npos) << line;
        reasons.push_back(line.substr(line.find(' ') + 1, at - line.find(' ') - 1) +
                          line.substr(at + 13, line.find(" (", at) - at - 13));
    }
    // Drives 0 to 8 once each as absent, drive 3 as denied, then as busy.
    ASSERT_EQ(reasons.size(), 10u);
    EXPECT_EQ(reasons[0], "\\\\.\\PHYSICALDRIVE0 (/dev/sg0) no such device");
    EXPECT_EQ(reasons[3], "\\\\.\\PHYSICALDRIVE3 (/dev/sg3) permission denied");
    EXPECT_EQ(reasons[9], "\\\\.\\PHYSICALDRIVE3 (/dev/sg3) busy");
}

TEST_F(CommandLog, ConsoleTextIsLoggedLineByLineWithItsControlCharacters) {
    AttachStandardRecorder(0);
    Host().Type("n");
    ASSERT_EQ(RunWords({}), 0);
    std::vector<std::string> texts;
    for (const std::string& line : Lines()) {
        if (const std::size_t at = line.find("console \""); at != std::string::npos) {
            texts.push_back(line.substr(at + 9, line.size() - at - 10));
        }
    }
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "Quirn Dorvel+ Firmware Updater version " QDP_VERSION_TEXT "\\n\\n");
    EXPECT_EQ(texts[3].rfind("Press 'Y' to load firmware version ", 0), 0u);
    EXPECT_EQ(texts[3].substr(texts[3].size() - 2), "\\n");
}

TEST_F(CommandLog, ALogThatCannotBeWrittenStopsNothing) {
    SetLog((std::filesystem::temp_directory_path() / "no such folder" / "log.txt").string());
    AttachStandardRecorder(0);
    Host().Type("n");
    EXPECT_EQ(RunWords({}), 0);
    EXPECT_NE(Host().console.find("Press 'Y' to load firmware"), std::string::npos);
    EXPECT_EQ(qdp::CommandLog.file, nullptr);
}

TEST(CommandLogOff, WithoutQdpLogNothingIsOpened) {
    Identify();
    std::uint8_t reply[8];
    EXPECT_EQ(QDp_ReceiveI2C(reply, 8), 1);
    EXPECT_TRUE(qdp::CommandLog.checked);
    EXPECT_EQ(qdp::CommandLog.file, nullptr);
}

TEST(DriveProblems, ADriveThatKeepsFailingIsToldOnceAfterASecond) {
    Host().AttachRecorder(1);
    Host().SetOpenFailure(1, sim::OpenFailure::PermissionDenied);
    char* name = nullptr;
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    EXPECT_FALSE(TakeDriveOpenProblem(1000));
    Host().WaitUntilMs(Host().NowMs() + 998);
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    EXPECT_FALSE(TakeDriveOpenProblem(1000)); // not yet a second of failures
    Host().WaitUntilMs(Host().NowMs() + 2);
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    const auto problem = TakeDriveOpenProblem(1000);
    ASSERT_TRUE(problem);
    EXPECT_STREQ(problem->node.data(), "/dev/sg1");
    EXPECT_EQ(problem->error, os::OpenError::PermissionDenied);
    Host().WaitUntilMs(Host().NowMs() + 5000);
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    EXPECT_FALSE(TakeDriveOpenProblem(1000)); // told once
    // Absent drives are never a problem to tell.
    EXPECT_FALSE(TakeDriveOpenProblem(0));
}

TEST(DriveProblems, ADriveNoLongerTriedIsNotToldAbout) {
    Host().AttachRecorder(1);
    Host().SetOpenFailure(1, sim::OpenFailure::PermissionDenied);
    char* name = nullptr;
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    Host().WaitUntilMs(Host().NowMs() + 5000); // and then nothing tries drive 1 again
    EXPECT_FALSE(TakeDriveOpenProblem(1000));
}

TEST(DriveProblems, AFailureThatClearsWithinTheSecondIsNotTold) {
    Host().AttachRecorder(1);
    Host().SetOpenFailure(1, sim::OpenFailure::Busy);
    char* name = nullptr;
    EXPECT_EQ(QDp_IsConnected(&name), 0);
    Host().WaitUntilMs(Host().NowMs() + 500);
    Host().SetOpenFailure(1, sim::OpenFailure::None);
    ASSERT_EQ(QDp_IsConnected(&name), 1);
    Host().WaitUntilMs(Host().NowMs() + 5000);
    EXPECT_FALSE(TakeDriveOpenProblem(1000));
    std::free(name);
}

} // namespace
} // namespace qdp::test
