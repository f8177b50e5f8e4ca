// The updater and the virtual-recorder runner as an operator sees them: real
// executables under a pseudo-terminal, keys typed, the screen read back.
#include "tests/console/pty_session.h"

#include <gtest/gtest.h>

#include <thread>

namespace qdp::test {
namespace {

using namespace std::chrono_literals;

const std::string kBanner = "Quirn Dorvel+ Firmware Updater version 1.3\n\n";
const std::string kWait =
    "Device is not connected.\nConnect device to continue or press Esc to exit.\n";
const std::string kHead = kBanner +
                          "Current Boot Loader version: 1.2\n"
                          "Current firmware version: 2.4\n"
                          "Press 'Y' to load firmware version 2.5 or other key to exit.\n";
const std::string kConfirm =
    "\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n"
    "Press 'L' to confirm load or other key to exit.\n";
const std::string kUpgrade = "\nIt is necessary to upgrade Boot Loader before firmware loading.\n"
                             "Press 'Y' to upgrade Boot Loader 1.2 to version 1.3 or other key "
                             "to exit.\n";
const std::string kClosing =
    "\nDisconnect recorder to apply firmware changes.\n\r\nPress any key to exit.\r\n";

PtySession Updater(const std::vector<std::string>& arguments = {}) {
    return PtySession(QDP_UPDATER_PATH, arguments);
}

PtySession VirtualUpdater(const std::vector<std::string>& arguments = {}) {
    return PtySession(QDP_VIRTUAL_UPDATER_PATH, arguments);
}

// The runner's closing report goes to standard error, on the same terminal.
std::string WithoutReport(const std::string& screen) {
    return screen.substr(0, screen.find("[virtual recorder:"));
}

TEST(Console, TheUpdaterWaitsForARecorderUntilEsc) {
    PtySession updater = Updater();
    ASSERT_TRUE(updater.WaitFor(OnTerminal(kBanner + kWait))) << updater.Screen();
    updater.Type("\x1b");
    EXPECT_EQ(updater.WaitExit(), 0);
    EXPECT_EQ(updater.Screen(), OnTerminal(kBanner + kWait));
}

TEST(Console, KeysDuringTheWaitAreConsumedUnechoed) {
    PtySession updater = Updater();
    ASSERT_TRUE(updater.WaitFor(OnTerminal(kWait)));
    updater.Type("a");
    updater.Type("\x1bOP");   // F1
    updater.Type("\x1b[15~"); // F5
    updater.Type("\x03");     // Ctrl+C is a key here
    updater.Type("\r");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(updater.Running());
    updater.Type("\x1b");
    EXPECT_EQ(updater.WaitExit(), 0);
    EXPECT_EQ(updater.Screen(), OnTerminal(kBanner + kWait));
}

TEST(Console, ASecondInstanceIsRefusedWhileTheFirstWaits) {
    PtySession first = Updater();
    ASSERT_TRUE(first.WaitFor(OnTerminal(kWait)));
    PtySession second = Updater({"diag"});
    const std::string refused = kBanner +
                                "Close all other digital recorder applications and try again.\n"
                                "Press any key to exit.\n";
    ASSERT_TRUE(second.WaitFor(OnTerminal(refused))) << second.Screen();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(second.Running()); // until a key is pressed
    second.Type("k");
    EXPECT_EQ(second.WaitExit(), 1);
    EXPECT_EQ(second.Screen(), OnTerminal(refused));
    EXPECT_TRUE(first.Running());
    first.Type("\x1b");
    EXPECT_EQ(first.WaitExit(), 0);
}

TEST(Console, ARecorderConnectedDuringTheWaitStartsTheUpdate) {
    PtySession runner = VirtualUpdater({"--arrive-after-ms", "800"});
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kBanner + kWait)));
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kBanner + kWait + kHead.substr(kBanner.size()))))
        << runner.Screen();
    runner.Type("n");
    EXPECT_EQ(runner.WaitExit(), 0);
    EXPECT_EQ(WithoutReport(runner.Screen()),
              OnTerminal(kBanner + kWait + kHead.substr(kBanner.size())));
}

TEST(Console, AWholeUpdateWithBootLoaderReplacement) {
    PtySession runner = VirtualUpdater();
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kHead))) << runner.Screen();
    runner.Type("y");
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kConfirm)));
    runner.Type("L");
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kUpgrade)));
    runner.Type("Y");
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kClosing)));
    EXPECT_TRUE(runner.Running());
    runner.Type(" ");
    EXPECT_EQ(runner.WaitExit(), 0);
    const std::string dots(53, '.');
    EXPECT_EQ(WithoutReport(runner.Screen()),
              OnTerminal(kHead + kConfirm + kUpgrade + "Replacing Boot Loader" + dots + "OK\n" +
                         "Replacing firmware" + dots + "OK\n" + "Erasing memory" +
                         std::string(56, '.') + "OK\n" + kClosing));
}

TEST(Console, DiagIsPassedThroughAndReplacesAnEqualBootLoader) {
    PtySession runner = VirtualUpdater({"--boot-loader", "equal", "diag"});
    ASSERT_TRUE(runner.WaitFor("or other key to exit."));
    runner.Type("Y");
    ASSERT_TRUE(runner.WaitFor("confirm load"));
    runner.Type("l");
    ASSERT_TRUE(runner.WaitFor(
        OnTerminal("Press 'Y' to upgrade Boot Loader 1.3 to version 1.3 or other key to exit.\n")));
    runner.Type("n");
    EXPECT_EQ(runner.WaitExit(), 0);
}

TEST(Console, CtrlCAtAPromptIsAKeyThatDeclines) {
    PtySession runner = VirtualUpdater();
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kHead)));
    runner.Type("\x03");
    EXPECT_EQ(runner.WaitExit(), 0); // ended by the dialogue, not by a signal
    EXPECT_EQ(WithoutReport(runner.Screen()), OnTerminal(kHead));
}

TEST(Console, ASpecialKeyAtAPromptDeclines) {
    PtySession runner = VirtualUpdater();
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kHead)));
    runner.Type("\x1b[A"); // Up
    EXPECT_EQ(runner.WaitExit(), 0);
    EXPECT_EQ(WithoutReport(runner.Screen()), OnTerminal(kHead));
}

TEST(Console, ARecorderThatDoesNotComeBackIsReported) {
    PtySession runner = VirtualUpdater({"--boot-loader", "equal", "--fault", "no-return"});
    ASSERT_TRUE(runner.WaitFor("or other key to exit."));
    runner.Type("Y");
    ASSERT_TRUE(runner.WaitFor("confirm load"));
    runner.Type("L");
    const std::string lost = "Replacing firmware\r\nERROR: Recorder did not come back after "
                             "restart.\r\n\r\nPress any key to exit.\r\n";
    ASSERT_TRUE(runner.WaitFor(OnTerminal(lost))) << runner.Screen();
    runner.Type("x");
    EXPECT_EQ(runner.WaitExit(), 0);
}

} // namespace
} // namespace qdp::test
