#include "platform/windows/key_events.h"

#include <gtest/gtest.h>

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
