#include "platform/platform.h"

#include <windows.h>

namespace qdp::os {

void SleepMs(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint64_t SteadyMs() { return ::GetTickCount64(); }

} // namespace qdp::os
