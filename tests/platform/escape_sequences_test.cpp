#include "platform/key_codes.h"
#include "platform/linux/escape_sequences.h"

#include <gtest/gtest.h>

#include <string_view>

namespace qdp::os::linux_keys {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

int CodeOf(std::string_view sequence) {
    EXPECT_TRUE(SequenceComplete(Bytes(sequence))) << sequence.substr(1);
    const Decoded decoded = DecodeSequence(Bytes(sequence));
    EXPECT_EQ(decoded.consumed, sequence.size()) << sequence.substr(1);
    return decoded.kind == Decoded::Kind::Special ? decoded.code : -1;
}

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

TEST(EscapeSequences, UnknownSequencesAreDroppedWhole) {
    EXPECT_EQ(CodeOf("\x1b[99~"), -1);
    EXPECT_EQ(CodeOf("\x1b[Z"), -1);
    EXPECT_EQ(CodeOf("\x1bOz"), -1);
}

TEST(EscapeSequences, ALoneEscIsEscAndLeavesWhatFollows) {
    EXPECT_FALSE(SequenceComplete(Bytes("\x1b")));
    const Decoded alone = DecodeSequence(Bytes("\x1b"));
    EXPECT_EQ(alone.kind, Decoded::Kind::Escape);
    EXPECT_EQ(alone.code, 27);
    EXPECT_EQ(alone.consumed, 1u);
    const Decoded thenKey = DecodeSequence(Bytes("\x1by"));
    EXPECT_EQ(thenKey.kind, Decoded::Kind::Escape);
    EXPECT_EQ(thenKey.consumed, 1u);
    EXPECT_EQ(DecodeSequence(Bytes("\x1b\x1b")).consumed, 1u);
}

TEST(EscapeSequences, IncompleteSequencesWaitForMoreBytes) {
    EXPECT_FALSE(SequenceComplete(Bytes("\x1b[")));
    EXPECT_FALSE(SequenceComplete(Bytes("\x1b[1")));
    EXPECT_FALSE(SequenceComplete(Bytes("\x1b[15;")));
    EXPECT_FALSE(SequenceComplete(Bytes("\x1bO")));
    EXPECT_FALSE(SequenceComplete(Bytes("\x1b[[")));
    EXPECT_EQ(DecodeSequence(Bytes("\x1b[1")).kind, Decoded::Kind::Unknown);
}

TEST(KeyCodes, PlainKeysGiveTheirScanCodes) {
    EXPECT_EQ(ExtendedCode(SpecialKey::F1, Modifier::None), 0x3B);
    EXPECT_EQ(ExtendedCode(SpecialKey::Up, Modifier::None), 0x48);
    EXPECT_EQ(ExtendedCode(SpecialKey::Delete, Modifier::Ctrl), 0x93);
}

} // namespace
} // namespace qdp::os::linux_keys
