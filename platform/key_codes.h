// Extended codes of the special keys, as a PC console reports them after a 0.
#pragma once

#include <cstdint>

namespace qdp::os {

enum class SpecialKey : std::uint8_t {
    F1,
    F2,
    F3,
    F4,
    F5,
    F6,
    F7,
    F8,
    F9,
    F10,
    F11,
    F12,
    Home,
    Up,
    PageUp,
    Left,
    Right,
    End,
    Down,
    PageDown,
    Insert,
    Delete,
};

// Ctrl wins over Alt, Alt over Shift, when several are held.
enum class Modifier : std::uint8_t { None, Shift, Ctrl, Alt };

std::uint8_t ExtendedCode(SpecialKey key, Modifier modifier);

} // namespace qdp::os
