// What a device's status and sense data say, in words, for the command log.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace qdp {

struct SenseSummary {
    std::uint8_t key;
    std::uint8_t asc;  // additional sense code
    std::uint8_t ascq; // its qualifier
};

// The sense key and additional sense code of fixed-format (0x70, 0x71) or
// descriptor-format (0x72, 0x73) sense data; nothing for anything else.
std::optional<SenseSummary> DecodeSense(std::span<const std::uint8_t> sense);

const char* ScsiStatusName(std::uint8_t status);                      // "CHECK CONDITION"
const char* SenseKeyName(std::uint8_t key);                           // "ILLEGAL REQUEST"
const char* AdditionalSenseText(std::uint8_t asc, std::uint8_t ascq); // null when unknown
const char* HostStatusName(std::uint8_t status);                      // Linux adapter status
const char* DriverStatusName(std::uint8_t status);                    // Linux driver status

} // namespace qdp
