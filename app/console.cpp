#include "app/console.h"

#include "firmware/console_text.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

namespace qdp {

std::uint16_t ReadKey() {
    const int code = os::ReadRawKey();
    if (code < 0) {
        return kNoConsoleKey;
    }
    if (code != 0) {
        return static_cast<std::uint16_t>(code);
    }
    const int second = os::ReadRawKey();
    if (second < 0) {
        return kNoConsoleKey;
    }
    return static_cast<std::uint16_t>(second << 8);
}

bool KeyIsWaiting() { return os::KeyWaiting(); }

void Print(const char* format, ...) {
    std::array<char, 1024> text{};
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(text.data(), text.size(), format, arguments);
    va_end(arguments);
    if (length > 0) {
        ShowText({text.data(),
                  std::min<std::size_t>(static_cast<std::size_t>(length), text.size() - 1)});
    }
}

} // namespace qdp
