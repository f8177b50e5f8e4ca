// Whole updates, from the entry point to its end, against the virtual recorder.
#include "app/updater.h"
#include "firmware/firmware_state.h"
#include "platform/embedded_images.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace qdp::test {
namespace {

const std::string kBanner = "Quirn Dorvel+ Firmware Updater version " QDP_VERSION_TEXT "\n\n";
const std::string kLoadPrompt = "Press 'Y' to load firmware version " +
                                VersionText(OfferedByTheImage().firmware) +
                                " or other key to exit.\n";
const std::string kConfirm =
    "\r\nWARNING: Loading firmware will erase ALL data on this recorder.\r\n"
    "Press 'L' to confirm load or other key to exit.\n";
const std::string kUpgradeNotice =
    "\nIt is necessary to upgrade Boot Loader before firmware loading.\n";
const std::string kDots(53, '.');
const std::string kErase = "Erasing memory" + std::string(56, '.') + "OK\n";
const std::string kClosing =
    "\nDisconnect recorder to apply firmware changes.\n\r\nPress any key to exit.\r\n";
const std::string kNotBack = "\r\nERROR: Recorder did not come back after restart.\r\n"
                             "\r\nPress any key to exit.\r\n";
const std::string kNotRestarted = "\r\nERROR: Recorder did not restart.\r\n"
                                  "\r\nPress any key to exit.\r\n";
const std::string kFailed = "Failed\nPress any key to exit.\n";

// The offered boot loader, and one a minor version older.
const std::uint16_t kOffered = OfferedByTheImage().bootLoader;
const std::uint16_t kOlder = static_cast<std::uint16_t>(kOffered - 1);
const std::string kOfferedText = VersionText(kOffered);
const std::string kOlderText = VersionText(kOlder);

std::string UpgradePrompt(const std::string& from, const std::string& to) {
    return "Press 'Y' to upgrade Boot Loader " + from + " to version " + to +
           " or other key to exit.\n";
}

std::string Head(const std::string& bootLoader = kOfferedText,
                 const std::string& firmware = "2.4") {
    return kBanner + "Current Boot Loader version: " + bootLoader + "\n" +
           "Current firmware version: " + firmware + "\n" + kLoadPrompt;
}

int RunUpdater(bool diag = false, bool verify = false) {
    return RunWords(diag ? std::vector<std::string>{"diag"}
                         : std::vector<std::string>(verify ? 1 : 0, "--verify"));
}

// The firmware image built in, with another boot-loader version.
void OfferImage(std::uint16_t bootLoader) {
    const std::span<const std::uint8_t> built = os::FindEmbeddedImage("FWC");
    std::vector<std::uint8_t> image(built.begin(), built.end());
    sim::wire::Descramble(image.data(), image.size());
    image[0xD800] = static_cast<std::uint8_t>(bootLoader >> 8);
    image[0xD801] = static_cast<std::uint8_t>(bootLoader);
    sim::wire::Descramble(image.data(), image.size()); // the same stream scrambles again
    Host().imageOverrides["FWC"] = image;
}

// The device operations of the trace, each run of one kind shown once.
std::vector<std::string> Operations() {
    std::vector<std::string> operations;
    auto add = [&](const std::string& name) {
        if (operations.empty() || operations.back() != name || name == "restart") {
            operations.push_back(name);
        }
    };
    for (const sim::CommandRecord& record : Host().Trace()) {
        const auto& block = record.block;
        if (block[0] != 0xC8 || block[1] == 0x00) {
            if (block[0] == 0x12) {
                add("probe");
            }
        } else if (block[1] == 0x0A) {
            add("erase-memory");
        } else if (block[1] == 0x02 && !record.data.empty()) {
            const auto& frame = record.data;
            const int address = frame.size() >= 3 ? frame[1] | frame[2] << 8 : -1;
            if (frame[0] == 0x50) {
                add(address == 0xD800 ? "read-boot-loader" : "read-firmware-status");
            } else if (frame[0] == 0x52 && address == 0xD3F5) {
                add("erase-status");
            } else if (frame[0] == 0x52 && address == 0x0C00 &&
                       operations.back() == "erase-status") {
                add("erase-mark"); // the page of an installer's mark, before the restart
            } else if (frame[0] == 0x53) {
                add("restart");
            } else {
                add("program");
            }
        }
    }
    return operations;
}

bool AnyWriteSent() {
    const auto frames = ControllerFrames();
    return std::any_of(frames.begin(), frames.end(),
                       [](const auto& frame) { return frame[0] != 0x50; }) ||
           !Commands(0xC8, 0x0A).empty();
}

auto FailWriteAt(std::uint16_t address) {
    return sim::Fault{[address](const sim::CommandView& v) {
                          return v.block[1] == 0x02 && v.dataOut.size() == 36 &&
                                 (v.dataOut[1] | v.dataOut[2] << 8) == address;
                      },
                      sim::FaultAction::FailCommand};
}

TEST(Update, WithAnOlderBootLoaderReplacesItThenTheFirmwareThenErases) {
    sim::VirtualRecorder& recorder = AttachStandardRecorder(0, kOlder, 0x0204);
    const std::vector<std::uint8_t> kept(2048, 0x5A);
    recorder.WriteFlash(0, kept);
    recorder.WriteFlash(32767, kept);
    recorder.WriteFlash(32768, kept);
    recorder.WriteFlash(262143, kept);
    Host().Type("YlyZ");

    EXPECT_EQ(RunUpdater(), 0);
    EXPECT_EQ(Host().console, Head(kOlderText) + kConfirm + kUpgradeNotice +
                                  UpgradePrompt(kOlderText, kOfferedText) +
                                  "Replacing Boot Loader" + kDots + "OK\n" + "Replacing firmware" +
                                  kDots + "OK\n" + kErase + kClosing);
    EXPECT_TRUE(Host().keys.empty());
    const std::vector<std::string> expected = {"probe",
                                               "read-boot-loader",
                                               "read-firmware-status",
                                               "erase-status",
                                               "erase-mark",
                                               "restart",
                                               "probe",
                                               "program",
                                               "restart",
                                               "probe",
                                               "erase-status",
                                               "erase-mark",
                                               "restart",
                                               "probe",
                                               "program",
                                               "restart",
                                               "probe",
                                               "erase-memory"};
    EXPECT_EQ(Operations(), expected);

    // The recorder runs the new firmware under the new boot loader.
    EXPECT_TRUE(std::equal(Firmware.FirmwareImage.begin(), Firmware.FirmwareImage.begin() + 0xD400,
                           recorder.program.begin()));
    EXPECT_EQ(recorder.program[0xD800], kOffered >> 8);
    EXPECT_EQ(recorder.program[0xD801], kOffered & 0xFF);
    EXPECT_TRUE(std::equal(Firmware.FirmwareImage.begin() + 0xD800,
                           Firmware.FirmwareImage.begin() + 0xF800,
                           recorder.program.begin() + 0xD800));
    EXPECT_EQ(recorder.ReadFlash(0), kept);
    EXPECT_EQ(recorder.ReadFlash(32767), kept);
    EXPECT_EQ(recorder.ReadFlash(32768), std::vector<std::uint8_t>(2048, 0xFF));
    EXPECT_EQ(recorder.ReadFlash(262143), std::vector<std::uint8_t>(2048, 0xFF));
    EXPECT_EQ(Host().PauseLengths(), std::vector<std::uint32_t>(2 * 1696, 50));
}

TEST(Update, CtrlCIsIgnoredFromTheStatusEraseUntilTheRecorderIsBack) {
    AttachStandardRecorder(0, kOlder);
    Host().Type("YLY?");
    ASSERT_EQ(RunUpdater(), 0);
    const auto& changes = Host().interruptChanges;
    ASSERT_EQ(changes.size(), 4u);
    const auto& trace = Host().Trace();
    for (std::size_t run = 0; run < 2; ++run) {
        const auto [on, from] = changes[run * 2];
        const auto [off, to] = changes[run * 2 + 1];
        EXPECT_TRUE(on);
        EXPECT_FALSE(off);
        // The first command guarded is the status erase; the last is the probe that
        // found the recorder back after the closing restart.
        EXPECT_EQ(trace[from].data, (std::vector<std::uint8_t>{0x52, 0xF5, 0xD3}));
        EXPECT_EQ(trace[to - 1].block[0], 0x25);
        EXPECT_EQ(trace[to - 4].data[0], 0x53);
    }
}

TEST(Update, AnEqualOrNewerBootLoaderIsKept) {
    for (const int version : {int{kOffered}, kOffered + 1}) {
        const std::string text = VersionText(static_cast<std::uint16_t>(version));
        ResetProcess();
        AttachStandardRecorder(0, version);
        Host().Type("yL ");
        EXPECT_EQ(RunUpdater(), 0);
        EXPECT_EQ(Host().console, Head(text) + kConfirm + "Replacing firmware" + kDots + "OK\n" +
                                      kErase + kClosing);
        const std::vector<std::string> operations = Operations();
        EXPECT_EQ(std::count(operations.begin(), operations.end(), "program"), 1);
    }
}

TEST(Update, VersionsCompareAsUnsignedNumbers) {
    const struct {
        std::uint16_t installed, offered;
        const char* from;
        const char* to;
    } cases[] = {{0x0109, 0x010A, "1.9", "1.10"}, {0x7FFF, 0x8000, "127.255", "128.0"}};
    for (const auto& c : cases) {
        ResetProcess();
        OfferImage(c.offered);
        AttachStandardRecorder(0, c.installed);
        Host().Type("YLn");
        EXPECT_EQ(RunUpdater(), 0);
        EXPECT_EQ(Host().console,
                  Head(c.from) + kConfirm + kUpgradeNotice + UpgradePrompt(c.from, c.to));
        EXPECT_FALSE(AnyWriteSent());
    }
}

TEST(Update, DiagnosticModeAlwaysReplacesTheBootLoader) {
    AttachStandardRecorder(0, kOffered);
    Host().Type("YLYk");
    EXPECT_EQ(RunUpdater(true), 0);
    EXPECT_EQ(Host().console, Head() + kConfirm + kUpgradeNotice +
                                  UpgradePrompt(kOfferedText, kOfferedText) +
                                  "Replacing Boot Loader" + kDots + "OK\n" + "Replacing firmware" +
                                  kDots + "OK\n" + kErase + kClosing);
}

TEST(Update, DiagnosticModeOffersAnOlderBootLoaderAndIgnoresTheIdentification) {
    const auto newer = static_cast<std::uint16_t>(kOffered + 1);
    AttachStandardRecorder(0).SetBootLoader(newer, "OTHERID");
    Host().Type("YLn");
    EXPECT_EQ(RunUpdater(true), 0);
    EXPECT_EQ(Host().console, Head(VersionText(newer)) + kConfirm + kUpgradeNotice +
                                  UpgradePrompt(VersionText(newer), kOfferedText));
}

TEST(Update, AnIncompatibleBootLoaderEndsBeforeAnyWrite) {
    std::string other = OfferedByTheImage().identification;
    other.back() ^= 0x01;
    AttachStandardRecorder(0).SetBootLoader(kOffered, other);
    Host().Type("Y");
    EXPECT_EQ(RunUpdater(), 2);
    EXPECT_EQ(Host().console, kBanner + "Current Boot Loader version: " + kOfferedText + "\n" +
                                  "ERROR: Boot Loader is not compatible with this software.\r\n"
                                  "Firmware loading is not possible.\r\n"
                                  "\r\nPress any key to exit.\r\n");
    EXPECT_TRUE(Host().keys.empty());
    EXPECT_FALSE(AnyWriteSent());
    EXPECT_EQ(Operations(), (std::vector<std::string>{"probe", "read-boot-loader"}));
}

TEST(Update, AnUnreadableBootLoaderEndsBeforeAnyWrite) {
    AttachStandardRecorder(0);
    Host().AddFault({[](const sim::CommandView& v) { return v.block[1] == 0x03; },
                     sim::FaultAction::FailCommand});
    Host().Type("Y");
    EXPECT_EQ(RunUpdater(), 2);
    EXPECT_EQ(Host().console,
              kBanner + "ERROR: Boot Loader is not found. Firmware loading is not possible.\r\n"
                        "\r\nPress any key to exit.\r\n");
    EXPECT_FALSE(AnyWriteSent());
}

TEST(Update, AnUnavailableFirmwareIsReplacedWithoutErasingMemory) {
    const std::pair<std::uint16_t, const char*> cases[] = {{0x0000, "FWOK"}, {0x0204, "FWNO"}};
    for (const auto& [version, marker] : cases) {
        ResetProcess();
        AttachStandardRecorder(0).SetFirmware(version, marker);
        Host().Type("YL?");
        EXPECT_EQ(RunUpdater(), 0);
        EXPECT_EQ(Host().console, Head(kOfferedText, "unavailable.") + kConfirm +
                                      "Replacing firmware" + kDots + "OK\n" + "Erasing memory" +
                                      kClosing);
        EXPECT_TRUE(Commands(0xC8, 0x0A).empty());
    }
}

TEST(Update, AnyOtherKeyAtAPromptEndsAtOnce) {
    struct Case {
        std::string keys;
        std::uint8_t special;
        std::string shown;
    };
    const std::string upgrade =
        Head(kOlderText) + kConfirm + kUpgradeNotice + UpgradePrompt(kOlderText, kOfferedText);
    const Case cases[] = {{"n", 0, Head(kOlderText)},
                          {"\r", 0, Head(kOlderText)},
                          {"", 0x3B, Head(kOlderText)},
                          {"yY", 0, Head(kOlderText) + kConfirm},
                          {"Y", 0x4B, Head(kOlderText) + kConfirm},
                          {"yln", 0, upgrade},
                          {"YL\x1b", 0, upgrade}};
    for (const Case& c : cases) {
        ResetProcess();
        AttachStandardRecorder(0, kOlder);
        Host().Type(c.keys);
        if (c.special != 0) {
            Host().TypeSpecial(c.special);
        }
        Host().Type("Y"); // never read
        EXPECT_EQ(RunUpdater(), 0);
        EXPECT_EQ(Host().console, c.shown);
        EXPECT_EQ(Host().keys.size(), 1u);
        EXPECT_FALSE(AnyWriteSent());
    }
}

TEST(Update, AFailedBootLoaderProgrammingLeavesTheFirmwareAlone) {
    AttachStandardRecorder(0, kOlder);
    Host().AddFault(FailWriteAt(0x0C00));
    Host().Type("YLY.");
    EXPECT_EQ(RunUpdater(), 2);
    EXPECT_EQ(Host().console, Head(kOlderText) + kConfirm + kUpgradeNotice +
                                  UpgradePrompt(kOlderText, kOfferedText) +
                                  "Replacing Boot Loader" + kDots + kFailed);
    EXPECT_TRUE(Host().keys.empty());
    const std::vector<std::string> expected = {
        "probe",        "read-boot-loader", "read-firmware-status",
        "erase-status", "erase-mark",       "restart",
        "probe",        "program"};
    EXPECT_EQ(Operations(), expected);
}

TEST(Update, AFailedFirmwareProgrammingEndsLikeAFailedBootLoaderProgramming) {
    AttachStandardRecorder(0);
    Host().AddFault(FailWriteAt(0x0C00));
    Host().Type("YL.Y");
    EXPECT_EQ(RunUpdater(), 2);
    EXPECT_EQ(Host().console, Head() + kConfirm + "Replacing firmware" + kDots + kFailed);
    EXPECT_EQ(Host().console.find("Disconnect recorder"), std::string::npos);
    EXPECT_EQ(Host().keys.size(), 1u); // one key read
    EXPECT_EQ(Operations().back(), "program");
    EXPECT_EQ(Host().Restarts(), 1);
}

// The marks of what a power-up would start (the status record, an installer's mark)
// are erased before the restart into the boot loader; when either erase fails, the
// program that would start is not written over.
TEST(Update, AFailedEraseBeforeTheRestartEndsTheRunBeforeAnyWrite) {
    for (const std::uint16_t address : {0xD3F5, 0x0C00}) {
        ResetProcess();
        AttachStandardRecorder(0);
        Host().AddFault({[address](const sim::CommandView& v) {
                             return v.dataOut.size() == 3 && v.dataOut[0] == 0x52 &&
                                    (v.dataOut[1] | v.dataOut[2] << 8) == address;
                         },
                         sim::FaultAction::FailCommand});
        Host().Type("YL.");
        EXPECT_EQ(RunUpdater(), 2);
        EXPECT_EQ(Host().console, Head() + kConfirm + "Replacing firmware" + kFailed);
        EXPECT_EQ(Host().Restarts(), 0);
        EXPECT_EQ(Operations().back(), address == 0xD3F5 ? "erase-status" : "erase-mark");
    }
}

// --verify reads the boot loader back wherever it should be the one offered: after its
// replacement, before the firmware run; at the end, when it was that one already.
TEST(Update, VerifyingEndsAnUpdateWhoseBootLoaderReadsBackOtherwise) {
    for (const bool replaced : {true, false}) {
        ResetProcess();
        sim::VirtualRecorder& recorder = AttachStandardRecorder(0, replaced ? kOlder : kOffered);
        if (replaced) { // the section as installed reads back wrong
            Host().AddFault({[armed = false](const sim::CommandView& v) mutable {
                                 const bool read = v.dataOut.size() == 4 && v.dataOut[0] == 0x50 &&
                                                   v.dataOut[2] == 0xD8 && v.dataOut[3] == 64;
                                 const bool reply = armed && v.block[1] == 0x03;
                                 armed = read;
                                 return reply;
                             },
                             sim::FaultAction::AlterReply, 1,
                             [](std::span<std::uint8_t> bytes, std::size_t&) { bytes[5] ^= 1; }});
        } else {
            recorder.program[0xE000] ^= 0x01;
        }
        Host().Type("YLY.");
        EXPECT_EQ(RunUpdater(false, true), 2);
        const std::string bootLoader = replaced ? kOlderText : kOfferedText;
        const std::string upgrade = replaced
                                        ? kUpgradeNotice + UpgradePrompt(kOlderText, kOfferedText) +
                                              "Replacing Boot Loader" + kDots + "OK\n"
                                        : "";
        EXPECT_EQ(
            Host().console,
            Head(bootLoader) + kConfirm + upgrade +
                (replaced ? "" : "Replacing firmware" + kDots + "OK\n") +
                "\r\nERROR: Boot Loader verification failed.\r\n\r\nPress any key to exit.\r\n");
        EXPECT_EQ(Host().Restarts(), 2);
    }
}

TEST(Update, ARecorderThatNeverLeavesEndsTheWaitAfter30Seconds) {
    AttachStandardRecorder(0);
    Host().restart.kind = sim::RestartBehaviour::Kind::NeverLeaves;
    Host().Type("YL.");
    EXPECT_EQ(RunUpdater(), 2);
    EXPECT_EQ(Host().console, Head() + kConfirm + "Replacing firmware" + kNotRestarted);
    EXPECT_EQ(Operations().back(), "probe");
    EXPECT_GE(Host().NowMs(), 30'000u);
    EXPECT_LT(Host().NowMs(), 31'000u);
    EXPECT_TRUE(Host().keys.empty());
}

TEST(Update, ARecorderThatNeverComesBackEndsTheWaitAfter120Seconds) {
    AttachStandardRecorder(0, kOlder);
    Host().restart.kind = sim::RestartBehaviour::Kind::NeverReturns;
    Host().Type("YLY.");
    EXPECT_EQ(RunUpdater(), 2);
    EXPECT_EQ(Host().console, Head(kOlderText) + kConfirm + kUpgradeNotice +
                                  UpgradePrompt(kOlderText, kOfferedText) +
                                  "Replacing Boot Loader" + kNotBack);
    EXPECT_GE(Host().NowMs(), 120'000u);
    EXPECT_LT(Host().NowMs(), 121'000u);
    EXPECT_EQ(Operations().back(), "restart");
}

TEST(Update, ADriveRefusedAfterARestartIsNamedAfterTheEndNotDuringTheUpdate) {
    AttachStandardRecorder(0);
    Host().restart.returnOpenFailure = sim::OpenFailure::PermissionDenied;
    Host().Type("YL.");
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunUpdater(), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot open /dev/sg0: Permission denied; the updater needs read and "
              "write access to it.\n");
    EXPECT_EQ(Host().console, Head() + kConfirm + "Replacing firmware" + kNotBack);
}

TEST(Update, ARecorderBackUnderAnotherDriveIsNotSeen) {
    AttachStandardRecorder(0);
    Host().restart.returnDrive = 1;
    Host().Type("YL.");
    EXPECT_EQ(RunUpdater(), 2);
    EXPECT_EQ(Host().console, Head() + kConfirm + "Replacing firmware" + kNotBack);
    EXPECT_EQ(Host().Kind(1), sim::DriveKind::Recorder);
}

TEST(Update, ASlowRestartWithinTheBoundsIsWaitedFor) {
    AttachStandardRecorder(0);
    Host().restart.awayMs = 110'000;
    Host().Type("YL.");
    EXPECT_EQ(RunUpdater(), 0);
    EXPECT_EQ(Host().console,
              Head() + kConfirm + "Replacing firmware" + kDots + "OK\n" + kErase + kClosing);
}

// With real pacing the host's time limit counts real time: the back-to-back polls of a
// restart wait, a few hundred thousand a second, must not spend the hour in seconds.
TEST(Update, RealPacingMeasuresTheTimeLimitInRealTime) {
    Host().realPacing = true;
    Host().timeLimitMs = 1000;
    sim::OpenFailure failure{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW({
        while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(200)) {
            Host().Open("\\\\.\\PHYSICALDRIVE5", failure);
        }
    });
    EXPECT_LT(Host().NowMs(), 1000u);
}

TEST(Update, ADamagedFirmwareImageEndsBeforeAnyCommand) {
    AttachStandardRecorder(0);
    Host().imageOverrides["FWC"] = std::vector<std::uint8_t>(100, 0);
    Host().Type("Y");
    EXPECT_EQ(RunUpdater(), 2);
    EXPECT_EQ(Host().console,
              kBanner + "ERROR: Firmware image is damaged. Firmware loading is not possible.\r\n"
                        "\r\nPress any key to exit.\r\n");
    EXPECT_EQ(Operations(), std::vector<std::string>{"probe"});
}

TEST(Update, ADamagedReplacementImageEndsBeforeAnyWrite) {
    AttachStandardRecorder(0, kOlder);
    Host().imageOverrides["BRC"] = {};
    Host().Type("YL.");
    EXPECT_EQ(RunUpdater(), 2);
    EXPECT_EQ(Host().console,
              Head(kOlderText) + kConfirm +
                  "ERROR: Firmware image is damaged. Firmware loading is not possible.\r\n"
                  "\r\nPress any key to exit.\r\n");
    EXPECT_FALSE(AnyWriteSent());
}

// --- Every recorder at once (--all) ----------------------------------------------

int RunAll(std::vector<std::string> words = {"--yes"}) {
    words.insert(words.begin(), "--all");
    return RunWords(words);
}

std::size_t MemoryWrites(int recorder) {
    std::size_t writes = 0;
    for (const sim::CommandRecord& record : Host().TraceOf(recorder)) {
        writes += record.block[1] == 0x02 && !record.data.empty() && record.data[0] == 0x51 ? 1 : 0;
    }
    return writes;
}

// The test that matters: two recorders that come back from their first restarts each
// on the other's drive number. Followed by their ports, each still gets its own update:
// the older boot loader replaced and the valid firmware's storage erased in one, the
// recording kept in the other, whose firmware was not valid.
TEST(UpdateAll, RecordersThatComeBackOnEachOthersDrivesEachGetTheirOwnUpdate) {
    const std::vector<std::uint8_t> recording(2048, 0x5A);
    sim::VirtualRecorder& older = AttachStandardRecorder(0, kOlder, 0x0204);
    sim::VirtualRecorder& unavailable = AttachStandardRecorder(1, kOffered);
    unavailable.SetFirmware(0x0204, "FWNO");
    for (sim::VirtualRecorder* recorder : {&older, &unavailable}) {
        recorder->WriteFlash(262143, recording);
    }
    Host().RestartOf(0).returnDrive = 1;
    Host().RestartOf(1).returnDrive = 0;
    EXPECT_EQ(RunAll(), 0);
    EXPECT_EQ(std::make_pair(Host().RecorderNumberOn(0), Host().RecorderNumberOn(1)),
              std::make_pair(1, 0)); // they did come back swapped
    for (const sim::VirtualRecorder* recorder : {&older, &unavailable}) {
        EXPECT_TRUE(std::equal(Firmware.FirmwareImage.begin(),
                               Firmware.FirmwareImage.begin() + 0xD400, recorder->program.begin()));
        EXPECT_TRUE(std::equal(Firmware.FirmwareImage.begin() + 0xD800,
                               Firmware.FirmwareImage.begin() + 0xF800,
                               recorder->program.begin() + 0xD800));
    }
    EXPECT_EQ(older.ReadFlash(262143), std::vector<std::uint8_t>(2048, 0xFF));
    EXPECT_EQ(unavailable.ReadFlash(262143), recording);
    EXPECT_EQ(std::make_pair(MemoryWrites(0), MemoryWrites(1)),
              std::make_pair(std::size_t{3392}, std::size_t{1696}));
    EXPECT_EQ(Host().MostAwayAtOnce(), 2u);
}

// What the operator reads: each recorder as --list shows it, the questions once, each
// recorder's steps on lines of their own (from threads side by side, so in no set order
// between recorders), and a summary. A recorder that cannot be updated is reported, and
// the others go on; the exit code tells that not every recorder was updated.
TEST(UpdateAll, TheQuestionsOnceTheStepsOfEachAndASummary) {
    AttachStandardRecorder(0, kOlder);
    AttachStandardRecorder(1, kOffered);
    std::string other = OfferedByTheImage().identification;
    other.back() ^= 0x01;
    AttachStandardRecorder(2).SetBootLoader(kOffered, other);
    Host().Type("yLy.");
    EXPECT_EQ(RunAll({}), 2);
    const std::string names[] = {"\\\\.\\PHYSICALDRIVE0 (/dev/sg0), port 1-1",
                                 "\\\\.\\PHYSICALDRIVE1 (/dev/sg1), port 1-2",
                                 "\\\\.\\PHYSICALDRIVE2 (/dev/sg2), port 1-3"};
    const std::string offered = VersionText(OfferedByTheImage().firmware);
    const std::string head =
        kBanner + names[0] + ": Boot Loader " + kOlderText + ", firmware 2.4: Boot Loader first\n" +
        names[1] + ": Boot Loader " + kOfferedText + ", firmware 2.4\n" + names[2] +
        ": not updated: Boot Loader is not compatible with this software\n" +
        "Press 'Y' to load firmware version " + offered +
        " onto 2 recorders or other key to exit.\n" +
        "\r\nWARNING: Loading firmware will erase ALL data on these recorders.\r\n"
        "Press 'L' to confirm load or other key to exit.\n"
        "\nIt is necessary to upgrade Boot Loader of 1 recorder before firmware loading.\n"
        "Press 'Y' to upgrade Boot Loader to version " +
        kOfferedText + " or other key to exit.\n\n";
    const std::string& console = Host().console;
    ASSERT_EQ(console.substr(0, head.size()), head);
    const std::string steps[2][7] = {{"Replacing Boot Loader", "Replacing Boot Loader: OK",
                                      "Replacing firmware", "Replacing firmware: OK",
                                      "Erasing memory", "Erasing memory: OK", "updated"},
                                     {"Replacing firmware", "Replacing firmware: OK",
                                      "Erasing memory", "Erasing memory: OK", "updated"}};
    for (int i = 0; i < 2; ++i) {
        std::string mine;
        std::istringstream lines(console.substr(head.size()));
        for (std::string line; std::getline(lines, line) && !line.empty();) {
            mine += line.starts_with(names[i] + ": ") ? line.substr(names[i].size() + 2) + "|" : "";
        }
        std::string expected;
        for (const std::string& step : steps[i]) {
            expected += step.empty() ? "" : step + "|";
        }
        EXPECT_EQ(mine, expected) << i;
    }
    const std::string summary =
        "\nSummary:\n" + names[0] + ": Boot Loader " + kOlderText + " -> " + kOfferedText +
        ", firmware 2.4 -> " + offered + ": updated\n" + names[1] + ": Boot Loader " +
        kOfferedText + " -> " + kOfferedText + ", firmware 2.4 -> " + offered + ": updated\n" +
        names[2] + ": Boot Loader " + kOfferedText + " -> " + kOfferedText +
        ", firmware 2.4 -> 2.4: not updated: "
        "Boot Loader is not compatible with this software\n"
        "\nDisconnect the recorders to apply firmware changes.\n\r\nPress any key to exit.\r\n";
    EXPECT_EQ(console.substr(console.size() - std::min(console.size(), summary.size())), summary);
    EXPECT_TRUE(Host().keys.empty());
    EXPECT_EQ(MemoryWrites(2), 0u); // the incompatible one only read
}

// Where the system tells no ports, the recorders are followed by their drive numbers,
// and so restart one at a time: each comes back to the number it left.
TEST(UpdateAll, WithoutPortsRestartsTakeTurns) {
    Host().portsKnown = false;
    AttachStandardRecorder(0);
    AttachStandardRecorder(1);
    EXPECT_EQ(RunAll(), 0);
    EXPECT_EQ(Host().MostAwayAtOnce(), 1u);
    EXPECT_EQ(Host().console.find("port 1-"), std::string::npos);
}

} // namespace
} // namespace qdp::test
