#include "app/console.h"
#include "app/options.h"
#include "app/updater.h"
#include "firmware/firmware_state.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qdp::test {
namespace {

const std::string kBanner = "Quirn Dorvel+ Firmware Updater version " QDP_VERSION_TEXT "\n\n";
const std::string kWaitMessage =
    "Device is not connected.\nConnect device to continue or press Esc to exit.\n";

TEST(Startup, OnlyTheExactWordDiagSetsDiagnosticMode) {
    const std::vector<std::pair<std::vector<std::string>, bool>> cases = {
        {{"diag"}, true}, {{"Diag"}, false},     {{"DIAG"}, false},    {{"diag", "more"}, false},
        {{}, false},      {{"diagnose"}, false}, {{"-verbose"}, false}};
    for (const auto& [arguments, diag] : cases) {
        ResetProcess();
        Host().Type("\x1b");
        EXPECT_EQ(RunWords(arguments), 0);
        EXPECT_EQ(Host().console, kBanner + kWaitMessage);
        std::vector<std::string> words = arguments;
        std::vector<char*> argv = Argv(words);
        RunOptions options;
        ASSERT_TRUE(ParseOptions(static_cast<int>(words.size()), argv.data(), options));
        EXPECT_EQ(options.diag, diag) << (arguments.empty() ? "" : arguments[0]);
    }
}

TEST(Startup, TheProgramPathIsRecordedFirst) {
    Host().Type("\x1b");
    RunWords({});
    EXPECT_STREQ(Firmware.ModulePath.data(), "QDp_FW_FirstUpdater");
}

TEST(Startup, TheInstanceLockIsNamedVornakHS) {
    Host().Type("\x1b");
    RunWords({});
    EXPECT_EQ(Host().locksTaken, std::vector<std::string>{"VornakHS_"});
}

TEST(Startup, ASecondInstanceIsRefusedWithExitCodeOne) {
    Host().locksHeldElsewhere.insert("VornakHS_");
    Host().AttachRecorder(0);
    Host().Type("x");
    EXPECT_EQ(RunWords({}), 1);
    EXPECT_EQ(Host().console, kBanner +
                                  "Close all other digital recorder applications and try again.\n"
                                  "Press any key to exit.\n");
    EXPECT_TRUE(Host().keys.empty()); // one key was read
    EXPECT_EQ(Host().lockCloses, 1);
    EXPECT_TRUE(Host().Trace().empty());
    EXPECT_EQ(Host().FailedOpens(), 0);
}

TEST(Startup, ALockOfAnotherNameDoesNotStopTheUpdater) {
    Host().locksHeldElsewhere.insert("VornakHS");
    Host().Type("\x1b");
    EXPECT_EQ(RunWords({}), 0);
    EXPECT_EQ(Host().console, kBanner + kWaitMessage);
}

TEST(Startup, ARecorderPresentAtStartNeedsNoWait) {
    AttachStandardRecorder(0);
    Host().Type("n");
    EXPECT_EQ(RunWords({}), 0);
    EXPECT_EQ(Host().console.find("Device is not connected."), std::string::npos);
    EXPECT_EQ(Host().console.rfind(kBanner + "Current Boot Loader version: ", 0), 0u);
}

TEST(Startup, EscTypedBeforeTheWaitEndsItAtTheFirstTest) {
    Host().Type("\x1b");
    EXPECT_EQ(RunWords({}), 0);
    EXPECT_EQ(Host().console, kBanner + kWaitMessage);
    EXPECT_EQ(Host().FailedOpens(), 18); // the first check and one test of the wait
    EXPECT_TRUE(Host().Pauses().empty());
}

TEST(Startup, EachPassOfTheDeviceWaitPausesOneMillisecond) {
    Host().Type("\x1b", 30);
    EXPECT_EQ(RunWords({}), 0);
    // Nine failed opens per test for a recorder: the first check, then one test per
    // pass of the wait; every pass but the last (which read the Esc) ends in a pause.
    ASSERT_EQ(Host().FailedOpens() % 9, 0);
    const int passes = Host().FailedOpens() / 9 - 1;
    EXPECT_GE(passes, 10);
    EXPECT_EQ(Host().PauseLengths(), std::vector<std::uint32_t>(passes - 1, 1));
}

TEST(Startup, OtherKeysDuringTheWaitAreDropped) {
    Host().Type("ab\r", 5);
    Host().TypeSpecial(0x3B, 6); // F1
    Host().Type("\x1b", 20);
    EXPECT_EQ(RunWords({}), 0);
    EXPECT_EQ(Host().console, kBanner + kWaitMessage);
    EXPECT_TRUE(Host().keys.empty());
    EXPECT_GE(Host().NowMs(), 20u);
}

TEST(Startup, ARecorderConnectedDuringTheWaitStartsTheUpdateWithoutAKey) {
    Host().AttachRecorderLater(2, 40);
    Host().AnyRecorder()->SetBootLoader(OfferedByTheImage().bootLoader,
                                        OfferedByTheImage().identification);
    Host().AnyRecorder()->SetFirmware(0x0204);
    Host().Type("n", 1000); // answers the first prompt, long after the recorder came
    EXPECT_EQ(RunWords({}), 0);
    const std::string& console = Host().console;
    ASSERT_EQ(console.rfind(kBanner + kWaitMessage + "Current Boot Loader version: ", 0), 0u)
        << console;
    EXPECT_EQ(Host().Trace().back().drive, 2);
    // Found within one test and one pause of its arrival.
    EXPECT_LE(Host().Trace().front().atUs, 40'000u + 3'000u);
}

TEST(Startup, VersionNamesTheUpdaterAndWhatItOffersWithoutLockOrDrive) {
    Host().AttachRecorder(0);
    EXPECT_EQ(RunWords({"--version"}), 0);
    const Offered& offered = OfferedByTheImage();
    EXPECT_EQ(Host().console, "Quirn Dorvel+ Firmware Updater version " QDP_VERSION_TEXT "\n"
                              "Offers firmware version " +
                                  VersionText(offered.firmware) + " with Boot Loader version " +
                                  VersionText(offered.bootLoader) + ".\n");
    EXPECT_TRUE(Host().locksTaken.empty());
    EXPECT_EQ(Host().FailedOpens(), 0);
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(Startup, VersionWithADamagedImageSaysSoAndFails) {
    Host().imageOverrides["FWC"] = std::vector<std::uint8_t>(10, 0);
    EXPECT_EQ(RunWords({"--version"}), 2);
    EXPECT_EQ(Host().console, "Quirn Dorvel+ Firmware Updater version " QDP_VERSION_TEXT "\n"
                              "The firmware image it carries is damaged.\n");
}

TEST(Startup, HelpGivesTheUsageWithoutLockOrDrive) {
    Host().AttachRecorder(0);
    EXPECT_EQ(RunWords({"--help"}), 0);
    const std::string& help = Host().console;
    EXPECT_EQ(
        help.rfind("Usage: QDp_FW_FirstUpdater [diag] [--yes] [--verify] [--device PATH]\n"
                   "       QDp_FW_FirstUpdater --all [diag] [--yes] [--verify] [--json]\n"
                   "       QDp_FW_FirstUpdater --list [--json] [--verify] [--device PATH] [diag]\n"
                   "       QDp_FW_FirstUpdater --help | --version\n",
                   0),
        0u);
    for (const char* word :
         {"  diag ", "--version", "Exit codes: 0", "1 another", "2 the update", "QDP_LOG"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
    EXPECT_TRUE(Host().locksTaken.empty());
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(Startup, AWrongCombinationOrAnUnknownSwitchIsRefusedWithoutLockOrDrive) {
    Host().AttachRecorder(0);
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"--version", "diag"},
                                               {"--help", "--yes"},
                                               {"--unknown"},
                                               {"--device"},
                                               {"--device", "/dev/sda"},
                                               {"--device", "\\\\.\\PHYSICALDRIVE12"},
                                               {"--all", "--list"},
                                               {"--all", "--device", "/dev/sg0"}}) {
        EXPECT_EQ(RunWords(arguments), 2) << arguments[0];
    }
    EXPECT_EQ(Host().console, "");
    EXPECT_TRUE(Host().locksTaken.empty());
    EXPECT_TRUE(Host().Trace().empty());
}

TEST(Startup, ADriveThatCannotBeOpenedIsToldOnceOnStandardErrorWhileWaiting) {
    Host().AttachRecorder(1);
    Host().SetOpenFailure(1, sim::OpenFailure::PermissionDenied);
    Host().Type("\x1b", 3000);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunWords({}), 0);
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_EQ(told, "Cannot open /dev/sg1: Permission denied; the updater needs read and write "
                    "access to it.\n");
    EXPECT_EQ(Host().console, kBanner + kWaitMessage); // standard output unchanged
}

TEST(ReadKey, GivesCharactersAndShiftedExtendedCodes) {
    Host().Type("yY\x1b\x03");
    Host().TypeSpecial(0x3B);
    Host().TypeSpecial(0x48);
    EXPECT_EQ(ReadKey(), 121);
    EXPECT_EQ(ReadKey(), 89);
    EXPECT_EQ(ReadKey(), 27);
    EXPECT_EQ(ReadKey(), 3);
    EXPECT_EQ(ReadKey(), 0x3B00);
    EXPECT_EQ(ReadKey(), 0x4800);
    EXPECT_TRUE(Host().keys.empty()); // a special key is consumed whole
    EXPECT_EQ(ReadKey(), 0xFFFF);     // no console left to read
}

TEST(ReadKey, TheWaitingTestConsumesNothing) {
    Host().Type("q");
    EXPECT_TRUE(KeyIsWaiting());
    EXPECT_TRUE(KeyIsWaiting());
    EXPECT_EQ(ReadKey(), 'q');
    EXPECT_FALSE(KeyIsWaiting());
}

} // namespace
} // namespace qdp::test
