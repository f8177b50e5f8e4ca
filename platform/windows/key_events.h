// What a console key event yields, in the numbers of the Win32 ABI, so that the
// translation can be checked on any host; the Windows backend asserts that they
// match its headers.
#pragma once

#include "platform/key_codes.h"

#include <cstdint>
#include <optional>

namespace qdp::os::win {

inline constexpr std::uint16_t kVkPrior = 0x21;
inline constexpr std::uint16_t kVkNext = 0x22;
inline constexpr std::uint16_t kVkEnd = 0x23;
inline constexpr std::uint16_t kVkHome = 0x24;
inline constexpr std::uint16_t kVkLeft = 0x25;
inline constexpr std::uint16_t kVkUp = 0x26;
inline constexpr std::uint16_t kVkRight = 0x27;
inline constexpr std::uint16_t kVkDown = 0x28;
inline constexpr std::uint16_t kVkInsert = 0x2D;
inline constexpr std::uint16_t kVkDelete = 0x2E;
inline constexpr std::uint16_t kVkF1 = 0x70;
inline constexpr std::uint16_t kVkF12 = 0x7B;

inline constexpr std::uint32_t kRightAltPressed = 0x0001;
inline constexpr std::uint32_t kLeftAltPressed = 0x0002;
inline constexpr std::uint32_t kRightCtrlPressed = 0x0004;
inline constexpr std::uint32_t kLeftCtrlPressed = 0x0008;
inline constexpr std::uint32_t kShiftPressed = 0x0010;

struct KeyEvent {
    bool down;
    char character; // 0 when the key yields none
    std::uint16_t virtualKey;
    std::uint32_t controlState;
};

struct KeyPress {
    int code;     // a character code, or 0 for a special key
    int extended; // the special key's extended code
};

// A key press, or nothing for releases and keys that yield nothing (Shift, Ctrl or
// Alt alone, and the like).
std::optional<KeyPress> Translate(const KeyEvent& event);

// The key-waiting test over a console's input queue: records at its head that yield
// no key (releases, lone modifiers, mouse, focus and size events) are taken out of
// the queue, so that a key press behind any number of them is seen. True when the
// head is then a key press, which stays in the queue.
//
// Queue::Head() gives nothing when the queue is empty, and otherwise the head record
// as a key event, or an empty key event for a record of another kind;
// Queue::DropHead() removes the head record.
template <class Queue> bool KeyPressAtHead(Queue& queue) {
    for (;;) {
        const std::optional<std::optional<KeyEvent>> head = queue.Head();
        if (!head) {
            return false;
        }
        if (*head && Translate(**head)) {
            return true;
        }
        queue.DropHead();
    }
}

} // namespace qdp::os::win
