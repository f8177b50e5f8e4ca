#include "platform/windows/key_events.h"

namespace qdp::os::win {
namespace {

std::optional<SpecialKey> SpecialKeyFor(std::uint16_t virtualKey) {
    if (virtualKey >= kVkF1 && virtualKey <= kVkF12) {
        return static_cast<SpecialKey>(virtualKey - kVkF1);
    }
    switch (virtualKey) {
    case kVkHome: return SpecialKey::Home;
    case kVkUp: return SpecialKey::Up;
    case kVkPrior: return SpecialKey::PageUp;
    case kVkLeft: return SpecialKey::Left;
    case kVkRight: return SpecialKey::Right;
    case kVkEnd: return SpecialKey::End;
    case kVkDown: return SpecialKey::Down;
    case kVkNext: return SpecialKey::PageDown;
    case kVkInsert: return SpecialKey::Insert;
    case kVkDelete: return SpecialKey::Delete;
    default: return std::nullopt;
    }
}

Modifier ModifierFor(std::uint32_t state) {
    if ((state & (kLeftCtrlPressed | kRightCtrlPressed)) != 0) {
        return Modifier::Ctrl;
    }
    if ((state & (kLeftAltPressed | kRightAltPressed)) != 0) {
        return Modifier::Alt;
    }
    return (state & kShiftPressed) != 0 ? Modifier::Shift : Modifier::None;
}

} // namespace

std::optional<KeyPress> Translate(const KeyEvent& event) {
    if (!event.down) {
        return std::nullopt;
    }
    if (event.character != 0) {
        return KeyPress{static_cast<unsigned char>(event.character), 0};
    }
    if (const auto special = SpecialKeyFor(event.virtualKey)) {
        return KeyPress{0, ExtendedCode(*special, ModifierFor(event.controlState))};
    }
    return std::nullopt;
}

} // namespace qdp::os::win
