#include "transport/scsi_sense.h"

#include <array>

namespace qdp {
namespace {

struct AdditionalSense {
    std::uint8_t asc;
    std::uint8_t ascq;
    const char* text;
};

// The additional sense codes a storage device commonly reports.
inline constexpr std::array<AdditionalSense, 24> kAdditionalSense = {{
    {0x00, 0x00, "no additional sense information"},
    {0x04, 0x00, "logical unit not ready, cause not reportable"},
    {0x04, 0x01, "logical unit is in process of becoming ready"},
    {0x04, 0x02, "logical unit not ready, initializing command required"},
    {0x0C, 0x00, "write error"},
    {0x11, 0x00, "unrecovered read error"},
    {0x1A, 0x00, "parameter list length error"},
    {0x20, 0x00, "invalid command operation code"},
    {0x21, 0x00, "logical block address out of range"},
    {0x24, 0x00, "invalid field in CDB"},
    {0x25, 0x00, "logical unit not supported"},
    {0x26, 0x00, "invalid field in parameter list"},
    {0x27, 0x00, "write protected"},
    {0x28, 0x00, "not ready to ready change, medium may have changed"},
    {0x29, 0x00, "power on, reset, or bus device reset occurred"},
    {0x2C, 0x00, "command sequence error"},
    {0x3A, 0x00, "medium not present"},
    {0x3E, 0x02, "timeout on logical unit"},
    {0x44, 0x00, "internal target failure"},
    {0x47, 0x00, "SCSI parity error"},
    {0x4B, 0x00, "data phase error"},
    {0x51, 0x00, "erase failure"},
    {0x5D, 0x00, "failure prediction threshold exceeded"},
    {0x64, 0x00, "illegal mode for this track"},
}};

} // namespace

std::optional<SenseSummary> DecodeSense(std::span<const std::uint8_t> sense) {
    if (sense.empty()) {
        return std::nullopt;
    }
    const std::uint8_t format = sense[0] & 0x7F;
    if ((format == 0x70 || format == 0x71) && sense.size() >= 3) {
        return SenseSummary{static_cast<std::uint8_t>(sense[2] & 0x0F),
                            sense.size() > 12 ? sense[12] : std::uint8_t{0},
                            sense.size() > 13 ? sense[13] : std::uint8_t{0}};
    }
    if ((format == 0x72 || format == 0x73) && sense.size() >= 4) {
        return SenseSummary{static_cast<std::uint8_t>(sense[1] & 0x0F), sense[2], sense[3]};
    }
    return std::nullopt;
}

const char* ScsiStatusName(std::uint8_t status) {
    switch (status) {
    case 0x00: return "GOOD";
    case 0x02: return "CHECK CONDITION";
    case 0x04: return "CONDITION MET";
    case 0x08: return "BUSY";
    case 0x18: return "RESERVATION CONFLICT";
    case 0x28: return "TASK SET FULL";
    case 0x30: return "ACA ACTIVE";
    case 0x40: return "TASK ABORTED";
    default: return "unknown status";
    }
}

const char* SenseKeyName(std::uint8_t key) {
    static constexpr std::array<const char*, 16> kNames = {
        "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
        "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
        "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
        "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",     "COMPLETED"};
    return kNames[key & 0x0F];
}

const char* AdditionalSenseText(std::uint8_t asc, std::uint8_t ascq) {
    for (const AdditionalSense& entry : kAdditionalSense) {
        if (entry.asc == asc && entry.ascq == ascq) {
            return entry.text;
        }
    }
    return nullptr;
}

const char* HostStatusName(std::uint8_t status) {
    static constexpr std::array<const char*, 16> kNames = {"ok",
                                                           "no connection",
                                                           "bus busy",
                                                           "timed out",
                                                           "bad target",
                                                           "aborted",
                                                           "parity error",
                                                           "adapter error",
                                                           "bus reset",
                                                           "bad interrupt",
                                                           "passed through",
                                                           "soft error",
                                                           "imm retry",
                                                           "requeued",
                                                           "transport disrupted",
                                                           "transport failfast"};
    return status < kNames.size() ? kNames[status] : "unknown adapter status";
}

const char* DriverStatusName(std::uint8_t status) {
    static constexpr std::array<const char*, 9> kNames = {
        "ok",      "busy",      "soft error", "media error", "error",
        "invalid", "timed out", "hard error", "sense data"};
    const std::uint8_t code = status & 0x0F;
    return code < kNames.size() ? kNames[code] : "unknown driver status";
}

} // namespace qdp
