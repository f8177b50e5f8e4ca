// The console on Windows: key events from the console input device "CONIN$", read
// with line input, echo and Ctrl+C processing off; text to standard output.
#include "platform/platform.h"
#include "platform/windows/key_events.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <utility>

namespace qdp::os {
namespace {

static_assert(win::kVkPrior == VK_PRIOR && win::kVkNext == VK_NEXT && win::kVkEnd == VK_END &&
              win::kVkHome == VK_HOME && win::kVkLeft == VK_LEFT && win::kVkUp == VK_UP &&
              win::kVkRight == VK_RIGHT && win::kVkDown == VK_DOWN && win::kVkInsert == VK_INSERT &&
              win::kVkDelete == VK_DELETE && win::kVkF1 == VK_F1 && win::kVkF12 == VK_F12);
static_assert(win::kRightAltPressed == RIGHT_ALT_PRESSED &&
              win::kLeftAltPressed == LEFT_ALT_PRESSED &&
              win::kRightCtrlPressed == RIGHT_CTRL_PRESSED &&
              win::kLeftCtrlPressed == LEFT_CTRL_PRESSED && win::kShiftPressed == SHIFT_PRESSED);

std::optional<win::KeyEvent> KeyEventOf(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT) {
        return std::nullopt;
    }
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    return win::KeyEvent{key.bKeyDown != FALSE, key.uChar.AsciiChar, key.wVirtualKeyCode,
                         key.dwControlKeyState};
}

std::optional<win::KeyPress> Translate(const INPUT_RECORD& record) {
    const std::optional<win::KeyEvent> event = KeyEventOf(record);
    return event ? win::Translate(*event) : std::nullopt;
}

// The console's input queue as the key-waiting test sees it.
class InputQueue {
  public:
    explicit InputQueue(HANDLE input) : input_(input) {}

    std::optional<std::optional<win::KeyEvent>> Head() {
        INPUT_RECORD record{};
        DWORD count = 0;
        if (!::PeekConsoleInputA(input_, &record, 1, &count) || count == 0) {
            return std::nullopt;
        }
        return KeyEventOf(record);
    }

    void DropHead() {
        INPUT_RECORD record{};
        DWORD count = 0;
        ::ReadConsoleInputA(input_, &record, 1, &count);
    }

  private:
    HANDLE input_;
};

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
        InputQueue queue(input_);
        return win::KeyPressAtHead(queue);
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

bool ConsoleAvailable() { return ConsoleInput::Instance().Available(); }

bool OutputIsTerminal() {
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // A console that takes the sequences (Windows 10 and later): asked for once.
    return ::GetConsoleMode(output, &mode) != 0 &&
           ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
            ::SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0);
}

void WriteText(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    // Shown at once on a console, and in a pipe or file as soon as it is written.
    std::fflush(stdout);
}

void IgnoreInterrupt(bool ignore) { ::SetConsoleCtrlHandler(nullptr, ignore ? TRUE : FALSE); }

} // namespace qdp::os
