#include "platform/linux/escape_sequences.h"

#include "platform/key_codes.h"

#include <optional>

namespace qdp::os::linux_keys {
namespace {

inline constexpr std::uint8_t kEscape = 0x1B;

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

// "Esc [ params final": params are decimal numbers separated by ';'.
std::optional<std::uint8_t> DecodeCsi(std::span<const std::uint8_t> bytes) {
    const std::size_t size = bytes.size();
    if (size == 4 && bytes[2] == '[') { // Linux console: Esc [ [ A..E is F1..F5
        const std::uint8_t letter = bytes[3];
        if (letter < 'A' || letter > 'E') {
            return std::nullopt;
        }
        return ExtendedCode(static_cast<SpecialKey>(letter - 'A'), Modifier::None);
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
            return std::nullopt;
        }
    }
    const Modifier modifier = count >= 1 ? ModifierFromParameter(params[1]) : Modifier::None;
    const std::uint8_t final = bytes[size - 1];
    const std::optional<SpecialKey> key =
        final == '~' ? KeyForNumber(params[0]) : KeyForLetter(final);
    if (!key) {
        return std::nullopt;
    }
    return ExtendedCode(*key, modifier);
}

// The extended code of a whole sequence "Esc [ ..." or "Esc O x"; none when unknown.
std::optional<std::uint8_t> DecodeSequence(std::span<const std::uint8_t> bytes) {
    if (bytes[1] == 'O') {
        const std::optional<SpecialKey> key = KeyForLetter(bytes[2]);
        return key ? std::optional(ExtendedCode(*key, Modifier::None)) : std::nullopt;
    }
    return DecodeCsi(bytes);
}

inline constexpr std::size_t kLongestSequence = 16;

// True when `bytes` (starting with Esc) cannot grow into a longer sequence.
bool SequenceComplete(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2) {
        return false;
    }
    if (bytes.size() >= kLongestSequence) {
        return true; // nothing this long is a key: take it as it stands
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

} // namespace

std::size_t DecodeKeys(std::span<const std::uint8_t> bytes, bool settled, std::vector<int>& codes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::uint8_t byte = bytes[at];
        if (byte != kEscape) {
            if (byte != 0) { // a NUL would read as the start of a special key
                codes.push_back(byte);
            }
            ++at;
            continue;
        }
        // The shortest prefix from here that is a whole sequence, if any.
        std::size_t length = 1;
        while (at + length < bytes.size() && !SequenceComplete(bytes.subspan(at, length))) {
            ++length;
        }
        const auto sequence = bytes.subspan(at, length);
        const bool complete = SequenceComplete(sequence);
        if (!complete && !settled) {
            break; // more may come
        }
        if (length == 1) {
            codes.push_back(kEscape);
        } else if (sequence[1] == kEscape) {
            codes.push_back(kEscape); // Esc Esc: the first is the key, the second starts anew
            length = 1;
        } else if (sequence[1] != '[' && sequence[1] != 'O') {
            codes.push_back(sequence[1]); // Alt and a character: the character
        } else if (length == 2) {
            codes.push_back(sequence[1]); // Alt+[ or Alt+O, nothing followed
        } else if (complete) {
            if (const std::optional<std::uint8_t> code = DecodeSequence(sequence)) {
                codes.push_back(0);
                codes.push_back(*code);
            }
        }
        at += length;
    }
    return at;
}

} // namespace qdp::os::linux_keys
