#include "platform/linux/escape_sequences.h"

#include "platform/key_codes.h"

#include <optional>

namespace qdp::os::linux_keys {
namespace {

bool IsFinalByte(std::uint8_t byte) { return byte >= 0x40 && byte <= 0x7E; }

// xterm's modifier parameter: 1 + (Shift 1 | Alt 2 | Ctrl 4).
Modifier ModifierFromParameter(unsigned parameter) {
    const unsigned bits = parameter > 0 ? parameter - 1 : 0;
    if ((bits & 4) != 0) {
        return Modifier::Ctrl;
    }
    if ((bits & 2) != 0) {
        return Modifier::Alt;
    }
    return (bits & 1) != 0 ? Modifier::Shift : Modifier::None;
}

// Final letter of "Esc O x" and "Esc [ 1 ; m x".
std::optional<SpecialKey> KeyForLetter(std::uint8_t letter) {
    switch (letter) {
    case 'A': return SpecialKey::Up;
    case 'B': return SpecialKey::Down;
    case 'C': return SpecialKey::Right;
    case 'D': return SpecialKey::Left;
    case 'H': return SpecialKey::Home;
    case 'F': return SpecialKey::End;
    case 'P': return SpecialKey::F1;
    case 'Q': return SpecialKey::F2;
    case 'R': return SpecialKey::F3;
    case 'S': return SpecialKey::F4;
    default: return std::nullopt;
    }
}

// Number of "Esc [ n ~".
std::optional<SpecialKey> KeyForNumber(unsigned number) {
    switch (number) {
    case 1:
    case 7: return SpecialKey::Home;
    case 2: return SpecialKey::Insert;
    case 3: return SpecialKey::Delete;
    case 4:
    case 8: return SpecialKey::End;
    case 5: return SpecialKey::PageUp;
    case 6: return SpecialKey::PageDown;
    case 11: return SpecialKey::F1;
    case 12: return SpecialKey::F2;
    case 13: return SpecialKey::F3;
    case 14: return SpecialKey::F4;
    case 15: return SpecialKey::F5;
    case 17: return SpecialKey::F6;
    case 18: return SpecialKey::F7;
    case 19: return SpecialKey::F8;
    case 20: return SpecialKey::F9;
    case 21: return SpecialKey::F10;
    case 23: return SpecialKey::F11;
    case 24: return SpecialKey::F12;
    default: return std::nullopt;
    }
}

Decoded Special(std::optional<SpecialKey> key, Modifier modifier, std::size_t consumed) {
    if (!key) {
        return {Decoded::Kind::Unknown, 0, consumed};
    }
    return {Decoded::Kind::Special, ExtendedCode(*key, modifier), consumed};
}

// "Esc [ params final": params are decimal numbers separated by ';'.
Decoded DecodeCsi(std::span<const std::uint8_t> bytes) {
    const std::size_t size = bytes.size();
    if (size >= 4 && bytes[2] == '[') { // Linux console: Esc [ [ A..E is F1..F5
        const std::uint8_t letter = bytes[3];
        const bool known = letter >= 'A' && letter <= 'E';
        return Special(known ? std::optional(static_cast<SpecialKey>(letter - 'A')) : std::nullopt,
                       Modifier::None, 4);
    }
    unsigned params[2] = {0, 0};
    std::size_t count = 0;
    for (std::size_t i = 2; i + 1 < size; ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte >= '0' && byte <= '9') {
            if (count < 2) {
                params[count] = params[count] * 10 + (byte - '0');
            }
        } else if (byte == ';') {
            ++count;
        } else {
            return {Decoded::Kind::Unknown, 0, size};
        }
    }
    const Modifier modifier = count >= 1 ? ModifierFromParameter(params[1]) : Modifier::None;
    const std::uint8_t final = bytes[size - 1];
    if (final == '~') {
        return Special(KeyForNumber(params[0]), modifier, size);
    }
    return Special(KeyForLetter(final), modifier, size);
}

} // namespace

bool SequenceComplete(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2) {
        return false;
    }
    if (bytes[1] == 'O') {
        return bytes.size() >= 3;
    }
    if (bytes[1] != '[') {
        return true;
    }
    if (bytes.size() < 3) {
        return false;
    }
    if (bytes[2] == '[') {
        return bytes.size() >= 4;
    }
    return IsFinalByte(bytes.back());
}

Decoded DecodeSequence(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2 || (bytes[1] != '[' && bytes[1] != 'O')) {
        return {Decoded::Kind::Escape, kEscape, 1};
    }
    if (!SequenceComplete(bytes)) {
        return {Decoded::Kind::Unknown, 0, bytes.size()};
    }
    if (bytes[1] == 'O') {
        return Special(KeyForLetter(bytes[2]), Modifier::None, 3);
    }
    return DecodeCsi(bytes);
}

} // namespace qdp::os::linux_keys
