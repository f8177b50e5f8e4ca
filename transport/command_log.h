// The command log: with the environment variable QDP_LOG naming a file, one line is
// appended to it for each device command and for each text shown to the operator.
// Without QDP_LOG nothing is written; a log that cannot be written is given up
// without disturbing anything else.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string_view>

namespace qdp {

// True when commands are logged (QDP_LOG names a file that could be opened).
bool LogEnabled();

void LogCommand(const char* devicePath, const os::NodeName& node, const std::uint8_t* cdb,
                std::uint8_t direction, std::uint32_t length, const os::PassThroughResult& result,
                std::uint64_t durationUs);
void LogOpenFailure(const char* devicePath, const os::NodeName& node, const os::OpenedDrive& drive);
void LogConsoleText(std::string_view text);
// What the program found out about the current device, in words.
void LogNote(std::string_view text);
// Every later line of the calling thread names this recorder (empty: none), so that
// the lines of recorders updated at once can be told apart.
void LogRecorderTag(std::string_view tag);

} // namespace qdp
