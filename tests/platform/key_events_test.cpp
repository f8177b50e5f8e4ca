#include "platform/windows/key_events.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>

namespace qdp::os::win {
namespace {

int Code(const KeyEvent& event) {
    const auto press = Translate(event);
    if (!press) {
        return -1;
    }
    return press->code != 0 ? press->code : press->extended << 8;
}

TEST(WindowsKeyEvents, CharactersGiveTheirCodes) {
    EXPECT_EQ(Code({true, 'y', 0x59, 0}), 'y');
    EXPECT_EQ(Code({true, 'Y', 0x59, kShiftPressed}), 'Y');
    EXPECT_EQ(Code({true, 27, 0x1B, 0}), 27);
    EXPECT_EQ(Code({true, 3, 0x43, kLeftCtrlPressed}), 3); // Ctrl+C with processing off
    EXPECT_EQ(Code({true, static_cast<char>(0xE9), 0xDE, 0}), 0xE9);
}

TEST(WindowsKeyEvents, SpecialKeysGiveExtendedCodesByModifier) {
    EXPECT_EQ(Code({true, 0, kVkF1, 0}), 0x3B00);
    EXPECT_EQ(Code({true, 0, kVkF12, 0}), 0x8600);
    EXPECT_EQ(Code({true, 0, kVkF1, kShiftPressed}), 0x5400);
    EXPECT_EQ(Code({true, 0, kVkF1, kRightCtrlPressed | kShiftPressed}), 0x5E00);
    EXPECT_EQ(Code({true, 0, kVkF1, kLeftAltPressed}), 0x6800);
    EXPECT_EQ(Code({true, 0, kVkUp, 0}), 0x4800);
    EXPECT_EQ(Code({true, 0, kVkDelete, kLeftCtrlPressed}), 0x9300);
    EXPECT_EQ(Code({true, 0, kVkNext, 0}), 0x5100);
}

TEST(WindowsKeyEvents, ReleasesAndKeysWithoutACharacterYieldNothing) {
    EXPECT_EQ(Code({false, 'y', 0x59, 0}), -1);
    EXPECT_EQ(Code({false, 0, kVkF1, 0}), -1);
    EXPECT_EQ(Code({true, 0, 0x10, kShiftPressed}), -1);    // Shift alone
    EXPECT_EQ(Code({true, 0, 0x11, kLeftCtrlPressed}), -1); // Ctrl alone
    EXPECT_EQ(Code({true, 0, 0x14, 0}), -1);                // Caps Lock
}

} // namespace
} // namespace qdp::os::win

namespace qdp::os::win {
namespace {

// A console input queue in memory: key events, and records of other kinds (mouse,
// focus, window size) as empty entries.
class RecordQueue {
  public:
    std::deque<std::optional<KeyEvent>> records;
    int dropped = 0;

    std::optional<std::optional<KeyEvent>> Head() {
        if (records.empty()) {
            return std::nullopt;
        }
        return records.front();
    }
    void DropHead() {
        records.pop_front();
        ++dropped;
    }
};

TEST(WindowsKeyWaiting, AnEscBehindAnyNumberOfOtherRecordsIsSeen) {
    RecordQueue queue;
    for (int i = 0; i < 500; ++i) {
        queue.records.push_back(std::nullopt);                           // a mouse move
        queue.records.push_back(KeyEvent{false, 'a', 0x41, 0});          // a release
        queue.records.push_back(KeyEvent{true, 0, 0x10, kShiftPressed}); // Shift alone
    }
    queue.records.push_back(KeyEvent{true, 27, 0x1B, 0});
    EXPECT_TRUE(KeyPressAtHead(queue));
    EXPECT_EQ(queue.dropped, 1500); // consumed, so the next test starts at the Esc
    ASSERT_EQ(queue.records.size(), 1u);
    EXPECT_EQ(queue.records.front()->character, 27);
    EXPECT_TRUE(KeyPressAtHead(queue)); // and the key itself stays for the read
    EXPECT_EQ(queue.records.size(), 1u);
}

TEST(WindowsKeyWaiting, AQueueOfOtherRecordsHoldsNoKeyAndIsEmptiedOfThem) {
    RecordQueue queue;
    queue.records.push_back(std::nullopt);
    queue.records.push_back(KeyEvent{false, 27, 0x1B, 0});
    EXPECT_FALSE(KeyPressAtHead(queue));
    EXPECT_TRUE(queue.records.empty());
    EXPECT_FALSE(KeyPressAtHead(queue));
}

} // namespace
} // namespace qdp::os::win
