// The updater and the virtual-recorder runner as an operator sees them: real
// executables under a pseudo-terminal, keys typed, the screen read back.
#include "tests/console/pty_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qdp::test {
namespace {

using namespace std::chrono_literals;

// The versions offered by the images built in, and the one the runner installs as
// "older": one minor version below.
std::string OlderThan(const std::string& version) {
    const std::size_t dot = version.find('.');
    const int value = std::stoi(version.substr(0, dot)) * 256 + std::stoi(version.substr(dot + 1));
    return std::to_string((value - 1) >> 8) + "." + std::to_string((value - 1) & 0xFF);
}
const std::string kOffered = QDP_OFFERED_BOOT_LOADER;
const std::string kOlder = OlderThan(kOffered);

const std::string kBanner = "Quirn Dorvel+ Firmware Updater version " QDP_VERSION_TEXT "\n\n";
const std::string kWait =
    "Device is not connected.\nConnect device to continue or press Esc to exit.\n";
const std::string kHeadAfterBanner = "Current Boot Loader version: " + kOlder +
                                     "\n"
                                     "Current firmware version: 2.4\n"
                                     "Press 'Y' to load firmware version " QDP_OFFERED_FIRMWARE
                                     " or other key to exit.\n";
const std::string kHead = kBanner + kHeadAfterBanner;
const std::string kConfirm =
    "\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n"
    "Press 'L' to confirm load or other key to exit.\n";
const std::string kUpgrade = "\nIt is necessary to upgrade Boot Loader before firmware loading.\n"
                             "Press 'Y' to upgrade Boot Loader " +
                             kOlder + " to version " + kOffered + " or other key to exit.\n";
const std::string kClosing =
    "\nDisconnect recorder to apply firmware changes.\n\r\nPress any key to exit.\r\n";
const std::string kPress = "\r\nPress any key to exit.\r\n";

PtySession Updater(const std::vector<std::string>& arguments = {},
                   StandardOutput output = StandardOutput::Terminal, const std::string& file = {}) {
    return PtySession(QDP_UPDATER_PATH, arguments, output, file);
}

PtySession VirtualUpdater(const std::vector<std::string>& arguments = {}) {
    return PtySession(QDP_VIRTUAL_UPDATER_PATH, arguments);
}

// The runner's closing report goes to standard error, on the same terminal.
std::string WithoutReport(const std::string& screen) {
    return screen.substr(0, screen.find("[virtual recorder:"));
}

// Answers the first prompt with `yes` and the confirmation with `load`; false when
// either prompt never showed.
bool AgreeToLoad(PtySession& runner, const std::string& yes, const std::string& load) {
    if (!runner.WaitFor("or other key to exit.")) {
        return false;
    }
    runner.Type(yes);
    if (!runner.WaitFor("confirm load")) {
        return false;
    }
    runner.Type(load);
    return true;
}

// True once the program reads a key: Ctrl+C is a key then, not a signal.
bool ReadingAKey(const PtySession& session) {
    for (int i = 0; i < 500; ++i) {
        if ((session.TerminalMode().c_lflag & ISIG) == 0) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Key mode ended: the terminal echoes and gathers lines again.
bool TerminalRestored(const PtySession& session) {
    const termios mode = session.TerminalMode();
    return (mode.c_lflag & ECHO) != 0 && (mode.c_lflag & ICANON) != 0 && (mode.c_lflag & ISIG) != 0;
}

// --- Start-up and the device wait -------------------------------------------------

TEST(Console, TheUpdaterWaitsForARecorderUntilEsc) {
    PtySession updater = Updater();
    ASSERT_TRUE(updater.WaitFor(OnTerminal(kBanner + kWait))) << updater.Screen();
    updater.Type("\x1b");
    EXPECT_EQ(updater.WaitExit(), 0);
    EXPECT_EQ(updater.Screen(), OnTerminal(kBanner + kWait));
    EXPECT_TRUE(TerminalRestored(updater));
}

TEST(Console, KeysDuringTheWaitAreConsumedUnechoed) {
    PtySession updater = Updater();
    ASSERT_TRUE(updater.WaitFor(OnTerminal(kWait)));
    updater.Type("a");
    updater.Type("\x1bOP");   // F1
    updater.Type("\x1b[15~"); // F5
    updater.Type("\x1by");    // Alt+y: not Esc
    updater.Type("\r");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(updater.Running());
    updater.Type("\x1b");
    EXPECT_EQ(updater.WaitExit(), 0);
    EXPECT_EQ(updater.Screen(), OnTerminal(kBanner + kWait));
}

TEST(Console, AnUnknownKeySequenceDoesNotStopTheWaitFromPolling) {
    for (const std::string sequence : {"\x1b[Z", "\x1bOM"}) { // Shift+Tab, keypad Enter
        PtySession runner = VirtualUpdater({"--arrive-after-ms", "1500"});
        ASSERT_TRUE(runner.WaitFor(OnTerminal(kWait)));
        runner.Type(sequence);
        // The recorder arrives while no further key is typed.
        ASSERT_TRUE(runner.WaitFor(OnTerminal(kHeadAfterBanner), 10s))
            << "after " << sequence.substr(1) << ": " << runner.Screen();
        runner.Type("n");
        EXPECT_EQ(runner.WaitExit(), 0);
    }
}

TEST(Console, CtrlCInTheWaitEndsTheProgramAsAnInterrupt) {
    PtySession updater = Updater();
    ASSERT_TRUE(updater.WaitFor(OnTerminal(kWait)));
    updater.Type("\x03");
    EXPECT_EQ(updater.WaitExit(), -2);
    EXPECT_EQ(updater.EndingSignal(), SIGINT);
    EXPECT_TRUE(TerminalRestored(updater));
    EXPECT_EQ(updater.Screen(), OnTerminal(kBanner + kWait));
}

TEST(Console, SignalsFromOutsideRestoreTheTerminal) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        PtySession runner = VirtualUpdater();
        ASSERT_TRUE(runner.WaitFor(OnTerminal(kHead)));
        ASSERT_FALSE(TerminalRestored(runner)); // key mode while the prompt waits
        runner.SendSignal(signal);
        EXPECT_EQ(runner.WaitExit(), -2) << "signal " << signal;
        EXPECT_EQ(runner.EndingSignal(), signal);
        EXPECT_TRUE(TerminalRestored(runner)) << "signal " << signal;
    }
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

// Holds the instance lock as another recorder application would: the abstract
// socket name "VornakHS_".
class LockHolder {
  public:
    LockHolder() : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const char name[] = "VornakHS_";
        std::memcpy(address.sun_path + 1, name, sizeof name - 1);
        held_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address),
                       static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof name)) == 0;
    }
    ~LockHolder() { ::close(fd_); }
    bool Held() const { return held_; }

  private:
    int fd_;
    bool held_ = false;
};

TEST(Console, AnotherApplicationHoldingVornakHSIsRefused) {
    const LockHolder other;
    ASSERT_TRUE(other.Held());
    PtySession updater = Updater();
    ASSERT_TRUE(updater.WaitFor("Close all other digital recorder applications"))
        << updater.Screen();
    updater.Type(" ");
    EXPECT_EQ(updater.WaitExit(), 1);
}

// --- Output that reaches logs ------------------------------------------------------

TEST(Console, OutputReachesAPipeBeforeTheProgramWaits) {
    PtySession updater = Updater({}, StandardOutput::Pipe);
    // Keys still come from the terminal; the text is all in the pipe while it waits.
    ASSERT_TRUE(updater.WaitFor(kBanner + kWait, 5s)) << updater.Piped();
    EXPECT_TRUE(updater.Running());
    updater.Type("\x1b");
    EXPECT_EQ(updater.WaitExit(), 0);
    EXPECT_EQ(updater.Piped(), kBanner + kWait);
    EXPECT_EQ(updater.Screen(), ""); // nothing of it on the terminal
}

TEST(Console, OutputReachesAFileBeforeTheProgramWaits) {
    const std::string path = ::testing::TempDir() + "updater_output.txt";
    PtySession updater = Updater({}, StandardOutput::File, path);
    std::string content;
    for (int i = 0; i < 250 && content != kBanner + kWait; ++i) {
        std::this_thread::sleep_for(20ms);
        std::ifstream file(path, std::ios::binary);
        content.assign(std::istreambuf_iterator<char>(file), {});
    }
    EXPECT_EQ(content, kBanner + kWait);
    EXPECT_TRUE(updater.Running());
    updater.Type("\x1b");
    EXPECT_EQ(updater.WaitExit(), 0);
    std::remove(path.c_str());
}

// --- The update ----------------------------------------------------------------------

TEST(Console, ARecorderConnectedDuringTheWaitStartsTheUpdate) {
    PtySession runner = VirtualUpdater({"--arrive-after-ms", "800"});
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kBanner + kWait)));
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kBanner + kWait + kHeadAfterBanner))) << runner.Screen();
    runner.Type("n");
    EXPECT_EQ(runner.WaitExit(), 0);
    EXPECT_EQ(WithoutReport(runner.Screen()), OnTerminal(kBanner + kWait + kHeadAfterBanner));
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
    EXPECT_TRUE(TerminalRestored(runner));
}

TEST(Console, DiagIsPassedThroughAndReplacesAnEqualBootLoader) {
    PtySession runner = VirtualUpdater({"--boot-loader", "equal", "diag"});
    ASSERT_TRUE(AgreeToLoad(runner, "Y", "l")) << runner.Screen();
    ASSERT_TRUE(runner.WaitFor(OnTerminal("Press 'Y' to upgrade Boot Loader " + kOffered +
                                          " to version " + kOffered + " or other key to exit.\n")));
    runner.Type("n");
    EXPECT_EQ(runner.WaitExit(), 0);
}

TEST(Console, CtrlCAtAPromptIsAKeyThatDeclines) {
    PtySession runner = VirtualUpdater();
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kHead)));
    ASSERT_TRUE(ReadingAKey(runner));
    runner.Type("\x03");
    EXPECT_EQ(runner.WaitExit(), 0); // ended by the dialogue, not by a signal
    EXPECT_EQ(WithoutReport(runner.Screen()), OnTerminal(kHead));
}

TEST(Console, CtrlCWhileTheRecorderIsRewrittenIsIgnored) {
    PtySession runner =
        VirtualUpdater({"--boot-loader", "equal", "--pacing", "real", "--restart-ms", "300"});
    ASSERT_TRUE(AgreeToLoad(runner, "Y", "L")) << runner.Screen();
    ASSERT_TRUE(runner.WaitFor("Replacing firmware"));
    runner.Type("\x03");
    runner.Type("\x1c"); // Ctrl+\, which must not quit either
    // The programming goes on: its first page is done.
    EXPECT_TRUE(runner.WaitFor("Replacing firmware.", 10s)) << runner.Screen();
    EXPECT_TRUE(runner.Running());
}

TEST(Console, ASpecialKeyAtAPromptDeclines) {
    PtySession runner = VirtualUpdater();
    ASSERT_TRUE(runner.WaitFor(OnTerminal(kHead)));
    runner.Type("\x1b[A"); // Up
    EXPECT_EQ(runner.WaitExit(), 0);
    EXPECT_EQ(WithoutReport(runner.Screen()), OnTerminal(kHead));
}

TEST(Console, AFailedProgrammingEndsWithExitCodeTwo) {
    PtySession runner = VirtualUpdater({"--boot-loader", "equal", "--fault", "program-failure"});
    ASSERT_TRUE(AgreeToLoad(runner, "Y", "L")) << runner.Screen();
    ASSERT_TRUE(runner.WaitFor(OnTerminal("Replacing firmware" + std::string(53, '.') +
                                          "Failed\nPress any key to exit.\n")))
        << runner.Screen();
    runner.Type("x");
    EXPECT_EQ(runner.WaitExit(), 2);
    EXPECT_EQ(runner.Screen().find("Disconnect recorder"), std::string::npos);
}

TEST(Console, ARecorderThatDoesNotRestartIsReported) {
    PtySession runner = VirtualUpdater({"--boot-loader", "equal", "--fault", "no-leave"});
    ASSERT_TRUE(AgreeToLoad(runner, "Y", "L")) << runner.Screen();
    ASSERT_TRUE(runner.WaitFor(
        OnTerminal("Replacing firmware\r\nERROR: Recorder did not restart.\r\n" + kPress)))
        << runner.Screen();
    runner.Type("x");
    EXPECT_EQ(runner.WaitExit(), 2);
}

TEST(Console, ARecorderThatDoesNotComeBackIsReported) {
    PtySession runner = VirtualUpdater({"--boot-loader", "equal", "--fault", "no-return"});
    ASSERT_TRUE(AgreeToLoad(runner, "Y", "L")) << runner.Screen();
    ASSERT_TRUE(runner.WaitFor(OnTerminal(
        "Replacing firmware\r\nERROR: Recorder did not come back after restart.\r\n" + kPress)))
        << runner.Screen();
    runner.Type("x");
    EXPECT_EQ(runner.WaitExit(), 2);
}

// --- Arguments -------------------------------------------------------------------

TEST(Console, VersionNeedsNoLockNorRecorder) {
    const LockHolder other; // even while another application runs
    PtySession updater = Updater({"--version"}, StandardOutput::Pipe);
    EXPECT_EQ(updater.WaitExit(), 0);
    EXPECT_EQ(updater.Piped(), "Quirn Dorvel+ Firmware Updater version " QDP_VERSION_TEXT "\n"
                               "Offers firmware version " QDP_OFFERED_FIRMWARE
                               " with Boot Loader version " QDP_OFFERED_BOOT_LOADER ".\n");
}

TEST(Console, HelpNeedsNoLockNorRecorder) {
    const LockHolder other;
    PtySession updater = Updater({"--help"}, StandardOutput::Pipe);
    EXPECT_EQ(updater.WaitExit(), 0);
    EXPECT_EQ(updater.Piped().rfind(
                  "Usage: QDp_FW_FirstUpdater [diag] [--yes] [--verify] [--device PATH]\n", 0),
              0u)
        << updater.Piped();
}

// Runs a program as a scheduled task or a remote command does: no terminal at all (a
// session of its own, standard input from /dev/null). Its exit code, standard output
// and standard error (without the runner's closing report).
struct Ended {
    int exitCode;
    std::string output;
    std::string errors;
};

Ended RunWithoutTerminal(const std::string& program, const std::vector<std::string>& arguments) {
    int output[2];
    int errors[2];
    if (::pipe(output) != 0 || ::pipe(errors) != 0) {
        return {-1, "", ""};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(output[1], 1);
        ::dup2(errors[1], 2);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(output[1]);
    ::close(errors[1]);
    const auto drain = [](int fd) {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
        return text;
    };
    std::string text = drain(output[0]); // both pipes hold far less than a pipe's buffer
    const std::string error = drain(errors[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -2, text, WithoutReport(error)};
}

// --- Switches for scripts: each as an operator sees it on a terminal and as a script
// sees it with no terminal at all.

enum class Where { Both, TerminalOnly, NoTerminalOnly };

struct ScriptCase {
    std::vector<std::string> arguments; // to the virtual runner
    int exitCode;
    std::string output;
    std::string errors = {}; // standard error; with no output, its beginning
    Where where = Where::Both;
};

const std::string kNoConsole =
    "No console to answer the prompt; use --yes for an unattended update.\n";
const std::string kDenied =
    "Cannot open /dev/sg0: Permission denied; the updater needs read and write access to it.\n";
const std::string kListed =
    "\\\\.\\PHYSICALDRIVE2 (/dev/sg2), port 1-3: Boot Loader " + kOlder +
    ", firmware unavailable: installed firmware unavailable: update to " QDP_OFFERED_FIRMWARE
    " with boot-loader " +
    kOffered + " first\n";
const std::string kListedJson =
    "[\n  {\n    \"device\": \"\\\\\\\\.\\\\PHYSICALDRIVE0\",\n"
    "    \"node\": \"/dev/sg0\",\n    \"port\": \"1-1\",\n    \"boot_loader\": \"" +
    kOffered +
    "\",\n    \"firmware\": \"2.4\",\n    \"offered_firmware\": "
    "\"" QDP_OFFERED_FIRMWARE "\",\n    \"offered_boot_loader\": \"" +
    kOffered +
    "\",\n    \"action\": \"update\",\n    \"boot_loader_first\": "
    "false,\n    \"summary\": \"update to " QDP_OFFERED_FIRMWARE "\"\n  }\n]\n";
const std::string kUnattended = kHead + "Y\n" + kConfirm + "L\n" + kUpgrade + "Y\n" +
                                "Replacing Boot Loader" + std::string(53, '.') + "OK\n" +
                                "Replacing firmware" + std::string(53, '.') + "OK\n" +
                                "Erasing memory" + std::string(56, '.') + "OK\n" + kClosing;

const ScriptCase kScriptCases[] = {
    {{"--list", "--drive", "2", "--firmware", "unavailable"}, 0, kListed},
    {{"--list", "--json", "--boot-loader", "equal"}, 0, kListedJson},
    {{"--list", "--device", "/dev/sg2", "--drive", "2", "--firmware", "unavailable"}, 0, kListed},
    {{"--list", "--arrive-after-ms", "60000"}, 0, "No recorder is connected.\n"},
    {{"--list", "--verify", "--boot-loader", "equal"},
     0,
     "\\\\.\\PHYSICALDRIVE0 (/dev/sg0), port 1-1: Boot Loader " + kOffered +
         ", firmware 2.4: update to " QDP_OFFERED_FIRMWARE
         "; program area differs from firmware " QDP_OFFERED_FIRMWARE ", boot loader equals " +
         kOffered + "\n"},
    // A recorder that leaves while it is read is listed as gone.
    {{"--list", "--fault", "unplug-at=8"},
     0,
     "\\\\.\\PHYSICALDRIVE0 (/dev/sg0), port 1-1: left while being read\n"},
    {{"--yes", "--boot-loader", "older"}, 0, kUnattended},
    {{"--yes", "--device", "/dev/sg4", "--drive", "4", "--boot-loader", "older"}, 0, kUnattended},
    {{"--yes", "--arrive-after-ms", "60000"}, 2, kBanner + "No recorder is connected.\n"},
    // A drive that cannot be opened is named on standard error, in the system's words.
    {{"--yes", "--denied"}, 2, kBanner + "No recorder is connected.\n", kDenied},
    {{"--yes", "--device", "/dev/sg0", "--denied"},
     2,
     kBanner + "No recorder answers at /dev/sg0.\n",
     kDenied},
    {{"--list", "--json", "--denied"}, 0, "[]\n", kDenied},
    // --list --json: standard output holds JSON or nothing; the path as it was given.
    {{"--list", "--json", "--device", "/dev/sg3"}, 2, "", "No recorder answers at /dev/sg3.\n"},
    {{"--device", "\\\\.\\PHYSICALDRIVE1"},
     2,
     kBanner + "No recorder answers at \\\\.\\PHYSICALDRIVE1.\n",
     "",
     Where::TerminalOnly},
    // No console: no prompt could be answered and no wait ended, whatever is connected.
    {{"--device", "\\\\.\\PHYSICALDRIVE1"}, 2, kBanner + kNoConsole, "", Where::NoTerminalOnly},
    {{"--boot-loader", "older"}, 2, kBanner + kNoConsole, "", Where::NoTerminalOnly},
    {{"diag", "--arrive-after-ms", "60000"}, 2, kBanner + kNoConsole, "", Where::NoTerminalOnly},
    // Refused: the usage goes to standard error, which the terminal shows too.
    {{"--yes", "--list"}, 2, "", "Usage: QDp_FW_FirstUpdater [diag]"},
    {{"--json"}, 2, "", "Usage: QDp_FW_FirstUpdater [diag]"},
    {{"--version", "diag"}, 2, "", "Usage: QDp_FW_FirstUpdater [diag]"},
    // The runner's own input is checked.
    {{"--fault", "unplug-at=-1"},
     2,
     "",
     "qdp_virtual_updater: --fault unplug-at=-1 is not understood.\n"},
    {{"--drive", "12"}, 2, "", "qdp_virtual_updater: --drive 12 is not understood.\n"},
    {{"--resume", "s.json", "--flash-mib", "64"},
     2,
     "",
     "qdp_virtual_updater: --resume takes the recorder as its state file holds it"},
};

TEST(Console, SwitchesForScriptsOnATerminalAndWithoutOne) {
    for (const ScriptCase& test : kScriptCases) {
        std::string name;
        for (const std::string& argument : test.arguments) {
            name += argument + " ";
        }
        if (test.where != Where::TerminalOnly) {
            const Ended ended = RunWithoutTerminal(QDP_VIRTUAL_UPDATER_PATH, test.arguments);
            EXPECT_EQ(ended.exitCode, test.exitCode) << name;
            EXPECT_EQ(ended.output, test.output) << name;
            EXPECT_EQ(test.output.empty() ? ended.errors.substr(0, test.errors.size())
                                          : ended.errors,
                      test.errors)
                << name;
        }
        if (test.where != Where::NoTerminalOnly) {
            PtySession runner = VirtualUpdater(test.arguments);
            EXPECT_EQ(runner.WaitExit(), test.exitCode) << name;
            // Both outputs on the one terminal: the banner, what went wrong, the rest.
            const std::size_t banner = test.output.starts_with(kBanner) ? kBanner.size() : 0;
            const std::string shown = OnTerminal(test.output.substr(0, banner) + test.errors +
                                                 test.output.substr(banner));
            const std::string screen = WithoutReport(runner.Screen());
            EXPECT_EQ(test.output.empty() ? screen.substr(0, shown.size()) : screen, shown) << name;
        }
    }
}

TEST(Console, WithoutAConsoleTheUpdaterEndsAtOnce) {
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{}, {"diag"}}) {
        const Ended ended = RunWithoutTerminal(QDP_UPDATER_PATH, arguments);
        EXPECT_EQ(ended.exitCode, 2);
        EXPECT_EQ(ended.output, kBanner + kNoConsole);
    }
    const LockHolder other; // and a listing for a script keeps standard output for JSON
    const Ended listing = RunWithoutTerminal(QDP_UPDATER_PATH, {"--list", "--json"});
    EXPECT_EQ(listing.exitCode, 1);
    EXPECT_EQ(listing.output, "");
    EXPECT_EQ(listing.errors, "Close all other digital recorder applications and try again.\n");
}

// Whether a script's JSON parser reads `output` as JSON `d` for which `assertion` holds.
bool ScriptReads(const std::string& output, const std::string& assertion) {
    const std::string file = testing::TempDir() + "script_reads.json";
    std::ofstream(file) << output;
    const std::string check =
        "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert " + assertion + "' " +
        file;
    return std::system(check.c_str()) == 0;
}

TEST(Console, TheListingIsJson) {
    const Ended ended =
        RunWithoutTerminal(QDP_VIRTUAL_UPDATER_PATH, {"--list", "--json", "--drive", "3"});
    ASSERT_EQ(ended.exitCode, 0);
    EXPECT_TRUE(ScriptReads(ended.output, "d[0][\"device\"] == \"\\\\\\\\.\\\\PHYSICALDRIVE3\""))
        << ended.output;
}

// --all: on a terminal each recorder's line is redrawn in place (the cursor moves up to
// it and back); with --json, standard output holds the summary alone, as JSON.
TEST(Console, EveryRecorderAtOnceOnATerminalAndForAScript) {
    PtySession runner = VirtualUpdater({"--recorders", "2", "--all"});
    for (const char* prompt : {"onto 2 recorders", "confirm load", "upgrade Boot Loader of 2"}) {
        ASSERT_TRUE(runner.WaitFor(prompt)) << runner.Screen();
        runner.Type(prompt == std::string("confirm load") ? "L" : "y");
    }
    ASSERT_TRUE(runner.WaitFor("Press any key to exit.", 20s)) << runner.Screen();
    runner.Type(" ");
    EXPECT_EQ(runner.WaitExit(), 0);
    const std::string& screen = runner.Screen();
    EXPECT_NE(screen.find("\x1b[2A\r\x1b[2K\\\\.\\PHYSICALDRIVE0 (/dev/sg0), port 1-1  Replacing "
                          "Boot Loader 1/53"),
              std::string::npos);
    EXPECT_NE(screen.find("\x1b[1A\r\x1b[2K\\\\.\\PHYSICALDRIVE1 (/dev/sg1), port 1-2  updated"),
              std::string::npos);

    const Ended ended = RunWithoutTerminal(QDP_VIRTUAL_UPDATER_PATH,
                                           {"--recorders", "2", "--all", "--yes", "--json"});
    EXPECT_EQ(ended.exitCode, 0);
    EXPECT_EQ(ended.errors.rfind(kBanner, 0), 0u);
    EXPECT_TRUE(ScriptReads(ended.output, "[(e[\"port\"], e[\"outcome\"]) for e in d] == "
                                          "[(\"1-1\", \"updated\"), (\"1-2\", \"updated\")]"))
        << ended.output;
}

// A state file is read whole or not at all: what is not a recorder's state is refused
// in one line that names the file; the same state saved again as one-line JSON is read.
TEST(Console, TheVirtualRunnerChecksItsStateFile) {
    const std::string state = testing::TempDir() + "runner_state.json";
    ASSERT_EQ(RunWithoutTerminal(QDP_VIRTUAL_UPDATER_PATH, {"--list", "--state", state}).exitCode,
              0);
    std::ifstream file(state);
    const std::string json(std::istreambuf_iterator<char>(file), {});
    const auto edited = [&](const std::string& from, const std::string& to) {
        std::string text = json;
        const std::size_t at = text.find(from);
        return at == std::string::npos ? std::string{} : text.replace(at, from.size(), to);
    };
    std::string oneLine = json;
    std::erase(oneLine, '\n');
    const std::pair<std::string, std::string> cases[] = {
        {json.substr(0, json.size() - 1000), "not JSON"},
        {edited("\"program_memory\": \"ff", "\"program_memory\": \"0z"), "not a hex digit"},
        {edited("\"page_size\": 2048", "\"page_size\": 65537"), "\"page_size\" is 65537"},
        {edited("\"pages_per_block\": 64", "\"pages_per_block\": 256"),
         "\"pages_per_block\" is 256"},
        {edited("\"262143\":", "\"abc\":"), "names page \"abc\""},
        {edited("\"storage\":", "\"stowage\":"), "no \"storage\""},
        {oneLine, ""},
    };
    for (const auto& [text, problem] : cases) {
        ASSERT_FALSE(text.empty()) << problem;
        std::ofstream(state) << text;
        const Ended ended =
            RunWithoutTerminal(QDP_VIRTUAL_UPDATER_PATH, {"--list", "--resume", state});
        EXPECT_EQ(ended.exitCode, problem.empty() ? 0 : 2) << problem;
        if (problem.empty()) {
            EXPECT_EQ(ended.output.find("Boot Loader"), 41u) << ended.output;
        } else {
            EXPECT_EQ(ended.errors.rfind("qdp_virtual_updater: " + state + ": ", 0), 0u)
                << ended.errors;
            EXPECT_NE(ended.errors.find(problem), std::string::npos) << ended.errors;
            EXPECT_EQ(std::count(ended.errors.begin(), ended.errors.end(), '\n'), 1)
                << ended.errors;
        }
    }
    std::remove(state.c_str());
}

} // namespace
} // namespace qdp::test

// Every test here takes the machine's instance lock, so the program runs in a
// network namespace of its own where the system allows it (see the CTest command).
// Otherwise it cannot run while another updater or the virtual runner holds the
// lock, and says so.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    {
        const qdp::test::LockHolder probe;
        if (!probe.Held()) {
            std::fprintf(stderr,
                         "console_tests cannot run: another program holds the instance lock "
                         "VornakHS_ (an updater or the virtual runner), and this system gave the "
                         "tests no network namespace of their own.\n");
            return 77;
        }
    }
    return RUN_ALL_TESTS();
}
