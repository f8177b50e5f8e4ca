// The console on Windows: key events from the console input device "CONIN$", read
// with line input, echo and Ctrl+C processing off; text to standard output.
#include "platform/key_codes.h"
#include "platform/platform.h"

#include <windows.h>

#include <array>
#include <cstdio>
#include <io.h>
#include <optional>
#include <utility>

namespace qdp::os {
namespace {

struct KeyPress {
    int code;     // a character code, or 0 for a special key
    int extended; // the special key's extended code
};

std::optional<SpecialKey> SpecialKeyFor(WORD virtualKey) {
    if (virtualKey >= VK_F1 && virtualKey <= VK_F12) {
        return static_cast<SpecialKey>(virtualKey - VK_F1);
    }
    switch (virtualKey) {
    case VK_HOME: return SpecialKey::Home;
    case VK_UP: return SpecialKey::Up;
    case VK_PRIOR: return SpecialKey::PageUp;
    case VK_LEFT: return SpecialKey::Left;
    case VK_RIGHT: return SpecialKey::Right;
    case VK_END: return SpecialKey::End;
    case VK_DOWN: return SpecialKey::Down;
    case VK_NEXT: return SpecialKey::PageDown;
    case VK_INSERT: return SpecialKey::Insert;
    case VK_DELETE: return SpecialKey::Delete;
    default: return std::nullopt;
    }
}

Modifier ModifierFor(DWORD state) {
    if ((state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0) {
        return Modifier::Ctrl;
    }
    if ((state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0) {
        return Modifier::Alt;
    }
    return (state & SHIFT_PRESSED) != 0 ? Modifier::Shift : Modifier::None;
}

// What a key-down event yields; nothing for releases, other events and keys such as
// Shift, Ctrl or Alt alone.
std::optional<KeyPress> Translate(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) {
        return std::nullopt;
    }
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (key.uChar.AsciiChar != 0) {
        return KeyPress{static_cast<unsigned char>(key.uChar.AsciiChar), 0};
    }
    if (const auto special = SpecialKeyFor(key.wVirtualKeyCode)) {
        return KeyPress{0, ExtendedCode(*special, ModifierFor(key.dwControlKeyState))};
    }
    return std::nullopt;
}

class ConsoleInput {
  public:
    bool Available() {
        if (!opened_) {
            opened_ = true;
            input_ = ::CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
        }
        return input_ != INVALID_HANDLE_VALUE;
    }

    int Read() {
        if (pending_ >= 0) {
            return std::exchange(pending_, -1);
        }
        DWORD saved = 0;
        if (!::GetConsoleMode(input_, &saved)) {
            return -1;
        }
        ::SetConsoleMode(input_, saved & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                             ENABLE_PROCESSED_INPUT));
        int code = -1;
        for (;;) {
            INPUT_RECORD record{};
            DWORD read = 0;
            if (!::ReadConsoleInputA(input_, &record, 1, &read) || read != 1) {
                break;
            }
            if (const auto press = Translate(record)) {
                code = press->code;
                if (code == 0) {
                    pending_ = press->extended;
                }
                break;
            }
        }
        ::SetConsoleMode(input_, saved);
        return code;
    }

    bool Waiting() {
        if (pending_ >= 0) {
            return true;
        }
        std::array<INPUT_RECORD, 64> records{};
        DWORD count = 0;
        if (!::PeekConsoleInputA(input_, records.data(), records.size(), &count)) {
            return false;
        }
        for (DWORD i = 0; i < count; ++i) {
            if (Translate(records[i])) {
                return true;
            }
        }
        return false;
    }

    static ConsoleInput& Instance() {
        static ConsoleInput input;
        return input;
    }

  private:
    HANDLE input_ = INVALID_HANDLE_VALUE;
    bool opened_ = false;
    int pending_ = -1;
};

} // namespace

int ReadRawKey() {
    ConsoleInput& input = ConsoleInput::Instance();
    return input.Available() ? input.Read() : -1;
}

bool KeyWaiting() {
    ConsoleInput& input = ConsoleInput::Instance();
    return input.Available() && input.Waiting();
}

void WriteText(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    static const bool console = ::_isatty(::_fileno(stdout)) != 0;
    if (console) {
        std::fflush(stdout);
    }
}

void IgnoreInterrupt(bool ignore) { ::SetConsoleCtrlHandler(nullptr, ignore ? TRUE : FALSE); }

} // namespace qdp::os
