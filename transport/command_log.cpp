#include "transport/command_log.h"

#include "transport/scsi_sense.h"
#include "transport/transport_state.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qdp {
namespace {

using LineBuffer = std::array<char, 1024>;

// The log file, opened at the first line; null when nothing is logged.
std::FILE* LogFile() {
    CommandLogState& log = Transport.log;
    if (!log.checked) {
        log.checked = true;
        const char* path = std::getenv("QDP_LOG");
        if (path != nullptr && *path != '\0') {
            log.file = std::fopen(path, "a");
            if (log.file == nullptr) {
                std::fprintf(stderr, "QDP_LOG: cannot open %s; no log is written.\n", path);
            }
        }
    }
    return log.file;
}

// Appends formatted text to a line, cut at the buffer's end.
void Append(LineBuffer& line, std::size_t& used, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
void Append(LineBuffer& line, std::size_t& used, const char* format, ...) {
    if (used >= line.size() - 1) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(line.data() + used, line.size() - used, format, arguments);
    va_end(arguments);
    if (written > 0) {
        used = std::min(used + static_cast<std::size_t>(written), line.size() - 1);
    }
}

// "2026-12-07T10:15:30.123Z ", in UTC.
void AppendTime(LineBuffer& line, std::size_t& used) {
    using namespace std::chrono;
    const auto now = time_point_cast<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{now - day};
    Append(line, used, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ ", static_cast<int>(date.year()),
           static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
           static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
           static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
}

void Write(std::FILE* file, LineBuffer& line, std::size_t used) {
    if (used > 0 && line[used - 1] != '\n') {
        if (used == line.size() - 1) {
            --used; // a cut line still ends its line
        }
        line[used++] = '\n';
        line[used] = '\0';
    }
    // A failed write is given up: the log must never stop an update.
    if (std::fputs(line.data(), file) >= 0) {
        std::fflush(file);
    }
}

const char* OpenErrorText(os::OpenError error) {
    switch (error) {
    case os::OpenError::None: return "opened";
    case os::OpenError::NoSuchDevice: return "no such device";
    case os::OpenError::PermissionDenied: return "permission denied";
    case os::OpenError::Busy: return "busy";
    case os::OpenError::Other: break;
    }
    return "failed";
}

// "\\.\PHYSICALDRIVE1 (/dev/sg1) ", the system's name only where it differs.
void AppendDrive(LineBuffer& line, std::size_t& used, const char* devicePath,
                 const os::NodeName& node) {
    if (std::strncmp(devicePath, node.data(), node.size()) == 0) {
        Append(line, used, "%s ", devicePath);
    } else {
        Append(line, used, "%s (%s) ", devicePath, node.data());
    }
}

const char* DirectionText(std::uint8_t direction, std::uint32_t length) {
    if (direction == 1) {
        return "in";
    }
    return length == 0 ? "none" : "out";
}

} // namespace

bool LogEnabled() { return LogFile() != nullptr; }

void DescribeOutcome(const os::PassThroughResult& result, std::span<char> out) {
    LineBuffer text{};
    std::size_t used = 0;
    if (!result.carriedOut) {
        std::array<char, 160> error{};
        os::DescribeError(result.osError, error);
        Append(text, used, "not carried out: %s (system error %d)", error.data(), result.osError);
    } else {
        Append(text, used, "%s", ScsiStatusName(result.scsiStatus));
        if (const auto sense = DecodeSense({result.sense.data(), result.senseLength})) {
            const char* words = AdditionalSenseText(sense->asc, sense->ascq);
            Append(text, used, ", sense %s: %s (ASC %02Xh ASCQ %02Xh)", SenseKeyName(sense->key),
                   words != nullptr ? words : "unlisted condition", sense->asc, sense->ascq);
        }
        if (result.hostStatus != 0) {
            Append(text, used, ", adapter: %s (%u)", HostStatusName(result.hostStatus),
                   result.hostStatus);
        }
        if ((result.driverStatus & 0x0F) != 0 && (result.driverStatus & 0x0F) != 0x08) {
            Append(text, used, ", driver: %s (%u)", DriverStatusName(result.driverStatus),
                   result.driverStatus);
        }
    }
    if (!out.empty()) {
        const std::size_t size = std::min(used, out.size() - 1);
        std::copy_n(text.begin(), size, out.begin());
        out[size] = '\0';
    }
}

void LogCommand(const char* devicePath, const os::NodeName& node, const std::uint8_t* cdb,
                std::uint8_t direction, std::uint32_t length, const os::PassThroughResult& result,
                std::uint64_t durationUs) {
    std::FILE* file = LogFile();
    if (file == nullptr) {
        return;
    }
    LineBuffer line{};
    std::size_t used = 0;
    AppendTime(line, used);
    AppendDrive(line, used, devicePath, node);
    for (std::size_t i = 0; i < 16; ++i) {
        Append(line, used, "%02X%s", cdb[i], i + 1 < 16 ? " " : "");
    }
    std::array<char, 400> outcome{};
    DescribeOutcome(result, outcome);
    Append(line, used, " %s %" PRIu32 ": %s, %" PRIu32 " bytes moved, %" PRIu64 ".%03" PRIu64 " ms",
           DirectionText(direction, length), length, outcome.data(), result.transferred,
           durationUs / 1000, durationUs % 1000);
    Write(file, line, used);
}

void LogOpenFailure(const char* devicePath, const os::NodeName& node,
                    const os::OpenedDrive& drive) {
    std::FILE* file = LogFile();
    if (file == nullptr) {
        return;
    }
    LineBuffer line{};
    std::size_t used = 0;
    AppendTime(line, used);
    std::array<char, 160> error{};
    os::DescribeError(drive.osError, error);
    AppendDrive(line, used, devicePath, node);
    Append(line, used, "open failed: %s (%s); further failures for this reason are not logged",
           OpenErrorText(drive.error), error.data());
    Write(file, line, used);
}

void LogConsoleText(std::string_view text) {
    std::FILE* file = LogFile();
    if (file == nullptr) {
        return;
    }
    LineBuffer line{};
    std::size_t used = 0;
    AppendTime(line, used);
    Append(line, used, "console \"");
    for (const char c : text) {
        if (c == '\n') {
            Append(line, used, "\\n");
        } else if (c == '\r') {
            Append(line, used, "\\r");
        } else if (c == '"' || c == '\\') {
            Append(line, used, "\\%c", c);
        } else {
            Append(line, used, "%c", c);
        }
    }
    Append(line, used, "\"");
    Write(file, line, used);
}

} // namespace qdp
