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
#include <mutex>

namespace qdp {
namespace {

// The recorder the calling thread works on, when several are updated at once.
thread_local std::array<char, 96> RecorderTag{};

// The log's lines, from whichever thread, one at a time.
std::mutex& LogMutex() {
    static std::mutex mutex;
    return mutex;
}

// The log file, opened at the first line; null when nothing is logged.
// Every command asks, so once it is known no lock is taken.
std::FILE* LogFile() {
    CommandLogState& log = CommandLog;
    if (log.checked.load(std::memory_order_acquire)) {
        return log.file;
    }
    const std::lock_guard<std::mutex> lock(LogMutex());
    if (!log.checked.load(std::memory_order_relaxed)) {
        const char* path = std::getenv("QDP_LOG");
        if (path != nullptr && *path != '\0') {
            log.file = std::fopen(path, "a");
            if (log.file == nullptr) {
                std::fprintf(stderr, "QDP_LOG: cannot open %s; no log is written.\n", path);
            }
        }
        log.checked.store(true, std::memory_order_release);
    }
    return log.file;
}

// One line of the log, cut at its buffer's end.
class Line {
  public:
    void Append(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
    {
        if (used_ >= text_.size() - 1) {
            return;
        }
        va_list arguments;
        va_start(arguments, format);
        const int written =
            std::vsnprintf(text_.data() + used_, text_.size() - used_, format, arguments);
        va_end(arguments);
        if (written > 0) {
            used_ = std::min(used_ + static_cast<std::size_t>(written), text_.size() - 1);
        }
    }

    // "2026-12-07T10:15:30.123Z ", in UTC.
    void AppendTime() {
        using namespace std::chrono;
        const auto now = time_point_cast<milliseconds>(system_clock::now());
        const auto day = floor<days>(now);
        const year_month_day date{day};
        const hh_mm_ss<milliseconds> time{now - day};
        Append("%04d-%02u-%02uT%02d:%02d:%02d.%03dZ ", static_cast<int>(date.year()),
               static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
               static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
               static_cast<int>(time.seconds().count()),
               static_cast<int>(time.subseconds().count()));
    }

    // "\\.\PHYSICALDRIVE1 (/dev/sg1) ", the system's name only where it differs.
    void AppendDrive(const char* devicePath, const os::NodeName& node) {
        if (std::strncmp(devicePath, node.data(), node.size()) == 0) {
            Append("%s ", devicePath);
        } else {
            Append("%s (%s) ", devicePath, node.data());
        }
    }

    std::string_view Text() const { return {text_.data(), used_}; }

    // Ends the line and appends it to the log. A failed write is given up: the log
    // must never stop an update.
    void WriteTo(std::FILE* file) {
        if (used_ == text_.size() - 1) {
            --used_; // a cut line still ends its line
        }
        text_[used_++] = '\n';
        text_[used_] = '\0';
        const std::lock_guard<std::mutex> lock(LogMutex());
        if (std::fputs(text_.data(), file) >= 0) {
            std::fflush(file);
        }
    }

  private:
    std::array<char, 1024> text_{};
    std::size_t used_ = 0;
};

// Writes one line, stamped with the time, when the log is on.
template <class Fill> void LogLine(Fill fill) {
    std::FILE* file = LogFile();
    if (file == nullptr) {
        return;
    }
    Line line;
    line.AppendTime();
    if (RecorderTag[0] != '\0') {
        line.Append("[%s] ", RecorderTag.data());
    }
    fill(line);
    line.WriteTo(file);
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

const char* DirectionText(std::uint8_t direction, std::uint32_t length) {
    if (direction == 1) {
        return "in";
    }
    return length == 0 ? "none" : "out";
}

// A command's outcome in words: "GOOD", "CHECK CONDITION, sense ILLEGAL REQUEST:
// invalid field in CDB (ASC 24h ASCQ 00h)", ...
void DescribeOutcome(const os::PassThroughResult& result, std::span<char> out) {
    Line text;
    if (!result.carriedOut) {
        std::array<char, 160> error{};
        os::DescribeError(result.osError, error);
        text.Append("not carried out: %s (system error %d)", error.data(), result.osError);
    } else {
        text.Append("%s", ScsiStatusName(result.scsiStatus));
        if (const auto sense = DecodeSense({result.sense.data(), result.senseLength})) {
            const char* words = AdditionalSenseText(sense->asc, sense->ascq);
            text.Append(", sense %s: %s (ASC %02Xh ASCQ %02Xh)", SenseKeyName(sense->key),
                        words != nullptr ? words : "unlisted condition", sense->asc, sense->ascq);
        }
        if (result.hostStatus != 0) {
            text.Append(", adapter: %s (%u)", HostStatusName(result.hostStatus), result.hostStatus);
        }
        if ((result.driverStatus & 0x0F) != 0 && (result.driverStatus & 0x0F) != 0x08) {
            text.Append(", driver: %s (%u)", DriverStatusName(result.driverStatus),
                        result.driverStatus);
        }
    }
    if (!out.empty()) {
        const std::string_view words = text.Text();
        const std::size_t size = std::min(words.size(), out.size() - 1);
        std::copy_n(words.begin(), size, out.begin());
        out[size] = '\0';
    }
}

} // namespace

bool LogEnabled() { return LogFile() != nullptr; }

void LogCommand(const char* devicePath, const os::NodeName& node, const std::uint8_t* cdb,
                std::uint8_t direction, std::uint32_t length, const os::PassThroughResult& result,
                std::uint64_t durationUs) {
    LogLine([&](Line& line) {
        line.AppendDrive(devicePath, node);
        for (std::size_t i = 0; i < 16; ++i) {
            line.Append("%02X%s", cdb[i], i + 1 < 16 ? " " : "");
        }
        std::array<char, 400> outcome{};
        DescribeOutcome(result, outcome);
        line.Append(" %s %" PRIu32 ": %s, %" PRIu32 " bytes moved, %" PRIu64 ".%03" PRIu64 " ms",
                    DirectionText(direction, length), length, outcome.data(), result.transferred,
                    durationUs / 1000, durationUs % 1000);
    });
}

void LogOpenFailure(const char* devicePath, const os::NodeName& node,
                    const os::OpenedDrive& drive) {
    LogLine([&](Line& line) {
        std::array<char, 160> error{};
        os::DescribeError(drive.osError, error);
        line.AppendDrive(devicePath, node);
        line.Append("open failed: %s (%s); further failures for this reason are not logged",
                    OpenErrorText(drive.error), error.data());
    });
}

void LogConsoleText(std::string_view text) {
    LogLine([&](Line& line) {
        line.Append("console \"");
        for (const char c : text) {
            if (c == '\n') {
                line.Append("\\n");
            } else if (c == '\r') {
                line.Append("\\r");
            } else if (c == '"' || c == '\\') {
                line.Append("\\%c", c);
            } else {
                line.Append("%c", c);
            }
        }
        line.Append("\"");
    });
}

void LogNote(std::string_view text) {
    LogLine([&](Line& line) {
        const char* devicePath = Transport.DevicePath.data();
        line.AppendDrive(devicePath, os::DriveNodeName(devicePath));
        line.Append("note: %.*s", static_cast<int>(text.size()), text.data());
    });
}

void LogRecorderTag(std::string_view tag) {
    const std::size_t size = std::min(tag.size(), RecorderTag.size() - 1);
    std::copy_n(tag.begin(), size, RecorderTag.begin());
    RecorderTag[size] = '\0';
}

} // namespace qdp
