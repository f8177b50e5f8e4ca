// Finding and identifying a recorder among drives 0 to 8.
#pragma once

#include <array>
#include <cstdint>

namespace qdp {

inline constexpr int kProbedDrives = 9;

// The recorder's INQUIRY identification: all 36 bytes must match.
inline constexpr std::array<std::uint8_t, 36> ExpectedInquiry = {
    0x00, 0x80, 0x05, 0x02, 0x20, 0x00, 0x80, 0x00,                                          //
    'C',  'o',  'o',  'l',  ' ',  0x00, ' ',  ' ',                                           //
    'M',  'a',  's',  's',  ' ',  'S',  't',  'o',  'r', 'a', 'g', 'e', ' ', 0x00, ' ', ' ', //
    0x00, 0x00, 0x00, 0x00};

inline constexpr std::uint32_t kInquiryReplySize = 2048;
inline constexpr std::uint32_t kReadCapacityReplySize = 8;

[[nodiscard]] bool CheckInquiry();
[[nodiscard]] bool LoadDeviceParams();

} // namespace qdp
