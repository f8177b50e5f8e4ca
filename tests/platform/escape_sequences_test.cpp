#include "platform/key_codes.h"
#include "platform/linux/escape_sequences.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace qdp::os::linux_keys {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The codes that a complete input yields, as ReadRawKey delivers them.
std::vector<int> Keys(std::string_view input, bool settled = true) {
    std::vector<int> codes;
    const std::size_t used = DecodeKeys(Bytes(input), settled, codes);
    EXPECT_EQ(used, settled ? input.size() : used);
    return codes;
}

// The extended code of one special key's sequence; -1 when it yields anything else.
int CodeOf(std::string_view sequence) {
    const std::vector<int> codes = Keys(sequence, false);
    return codes.size() == 2 && codes[0] == 0 ? codes[1] : -1;
}

using Codes = std::vector<int>;

TEST(EscapeSequences, FunctionKeysInEveryCommonForm) {
    EXPECT_EQ(CodeOf("\x1bOP"), 0x3B);   // F1, xterm
    EXPECT_EQ(CodeOf("\x1bOS"), 0x3E);   // F4
    EXPECT_EQ(CodeOf("\x1b[11~"), 0x3B); // F1, VT220
    EXPECT_EQ(CodeOf("\x1b[[A"), 0x3B);  // F1, Linux console
    EXPECT_EQ(CodeOf("\x1b[[E"), 0x3F);  // F5, Linux console
    EXPECT_EQ(CodeOf("\x1b[15~"), 0x3F); // F5
    EXPECT_EQ(CodeOf("\x1b[21~"), 0x44); // F10
    EXPECT_EQ(CodeOf("\x1b[23~"), 0x85); // F11
    EXPECT_EQ(CodeOf("\x1b[24~"), 0x86); // F12
}

TEST(EscapeSequences, CursorAndEditingKeys) {
    EXPECT_EQ(CodeOf("\x1b[A"), 0x48);
    EXPECT_EQ(CodeOf("\x1b[B"), 0x50);
    EXPECT_EQ(CodeOf("\x1b[C"), 0x4D);
    EXPECT_EQ(CodeOf("\x1b[D"), 0x4B);
    EXPECT_EQ(CodeOf("\x1bOA"), 0x48);
    EXPECT_EQ(CodeOf("\x1b[H"), 0x47);
    EXPECT_EQ(CodeOf("\x1b[F"), 0x4F);
    EXPECT_EQ(CodeOf("\x1b[1~"), 0x47);
    EXPECT_EQ(CodeOf("\x1b[4~"), 0x4F);
    EXPECT_EQ(CodeOf("\x1b[2~"), 0x52);
    EXPECT_EQ(CodeOf("\x1b[3~"), 0x53);
    EXPECT_EQ(CodeOf("\x1b[5~"), 0x49);
    EXPECT_EQ(CodeOf("\x1b[6~"), 0x51);
}

TEST(EscapeSequences, ModifiersGiveTheirOwnCodes) {
    EXPECT_EQ(CodeOf("\x1b[1;2P"), 0x54);  // Shift+F1
    EXPECT_EQ(CodeOf("\x1b[15;5~"), 0x62); // Ctrl+F5
    EXPECT_EQ(CodeOf("\x1b[24;3~"), 0x8C); // Alt+F12
    EXPECT_EQ(CodeOf("\x1b[1;5A"), 0x8D);  // Ctrl+Up
    EXPECT_EQ(CodeOf("\x1b[3;3~"), 0xA3);  // Alt+Delete
    EXPECT_EQ(CodeOf("\x1b[1;7D"), 0x73);  // Ctrl+Alt+Left: Ctrl wins
}

TEST(KeyDecoding, UnknownSequencesYieldNoKeyAndAreConsumedWhole) {
    EXPECT_EQ(Keys("\x1b[Z"), Codes{}); // Shift+Tab
    EXPECT_EQ(Keys("\x1bOM"), Codes{}); // keypad Enter
    EXPECT_EQ(Keys("\x1b[99~"), Codes{});
    EXPECT_EQ(Keys("\x1b[Zy"), Codes{'y'}); // what follows is a key of its own
    std::vector<int> codes;
    EXPECT_EQ(DecodeKeys(Bytes("\x1b[Z"), false, codes), 3u); // complete without waiting
}

TEST(KeyDecoding, EscFollowedByACharacterIsThatCharacterTypedWithAlt) {
    EXPECT_EQ(Keys("\x1by"), Codes{'y'});
    EXPECT_EQ(Keys("\x1bL", false), Codes{'L'});
    EXPECT_EQ(Keys("\x1b\r"), Codes{'\r'});
}

TEST(KeyDecoding, ALoneEscIsTheEscKeyOnceNothingFollowsInTime) {
    std::vector<int> codes;
    EXPECT_EQ(DecodeKeys(Bytes("\x1b"), false, codes), 0u); // it may start a sequence
    EXPECT_TRUE(codes.empty());
    EXPECT_EQ(Keys("\x1b", true), Codes{27});
    EXPECT_EQ(Keys("\x1b\x1b"), (Codes{27, 27}));
    EXPECT_EQ(Keys("\x1b\x1b[A"), (Codes{27, 0, 0x48}));
}

TEST(KeyDecoding, AnUnfinishedSequenceWaitsAndIsDroppedWhenNothingMoreComes) {
    std::vector<int> codes;
    EXPECT_EQ(DecodeKeys(Bytes("ab\x1b[1;"), false, codes), 2u);
    EXPECT_EQ(codes, (Codes{'a', 'b'}));
    EXPECT_EQ(Keys("\x1b[1;", true), Codes{});
    EXPECT_EQ(Keys("\x1b[", true), Codes{'['}); // Alt+[
    EXPECT_EQ(Keys("\x1bO", true), Codes{'O'}); // Alt+O
}

TEST(KeyDecoding, PlainBytesAreKeysAndANulIsNone) {
    EXPECT_EQ(Keys("Yl\x03"), (Codes{'Y', 'l', 3}));
    EXPECT_EQ(Keys(std::string_view("a\0b", 3)), (Codes{'a', 'b'}));
}

TEST(KeyDecoding, ALongRunOfGarbageAfterEscCannotStallTheInput) {
    const std::string garbage = "\x1b[" + std::string(40, '1');
    std::vector<int> codes;
    // Taken as it stands once longer than any key: nothing waits for more.
    EXPECT_EQ(DecodeKeys(Bytes(garbage), false, codes), garbage.size());
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0), 0); // and no special key comes of it
}

TEST(KeyCodes, PlainKeysGiveTheirScanCodes) {
    EXPECT_EQ(ExtendedCode(SpecialKey::F1, Modifier::None), 0x3B);
    EXPECT_EQ(ExtendedCode(SpecialKey::Up, Modifier::None), 0x48);
    EXPECT_EQ(ExtendedCode(SpecialKey::Delete, Modifier::Ctrl), 0x93);
}

} // namespace
} // namespace qdp::os::linux_keys
