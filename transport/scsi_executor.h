// The one way every device command reaches the recorder.
#pragma once

#include "transport/command_block.h"

#include <cstdint>

namespace qdp {

// Sends one command to the drive that DevicePath names now: 1 on GOOD status, else 0.
std::int32_t Execute(std::uint8_t direction, const CommandBlock& block, void* data,
                     std::uint32_t length);

} // namespace qdp
