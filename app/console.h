// The operator's console: key codes and text output.
#pragma once

#include <cstdint>

namespace qdp {

inline constexpr std::uint16_t kKeyEsc = 27;
inline constexpr std::uint16_t kKeyY = 'Y';
inline constexpr std::uint16_t kKeyYLower = 'y';
inline constexpr std::uint16_t kKeyL = 'L';
inline constexpr std::uint16_t kKeyLLower = 'l';
inline constexpr std::uint16_t kNoConsoleKey = 0xFFFF;

// One key press, unechoed: a character's code, or a special key's extended code
// shifted left by 8 (F1 is 0x3B00). 0xFFFF when there is no console.
std::uint16_t ReadKey();
// True when a key press is waiting; consumes nothing.
bool KeyIsWaiting();

// Formatted operator text on standard output (and in the command log).
void Print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

} // namespace qdp
