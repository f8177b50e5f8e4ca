// The faults that the runners (qdp_virtual_updater, qdp_usb_recorder) can put into
// their recorder, each named once, here.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qdp::sim {

enum class FaultKind {
    None,
    ProgramFailure, // the programming run's memory write at 0x0C00 is refused
    NoLeave,        // a restart never makes the recorder leave the bus
    NoReturn,       // a recorder that left at a restart never comes back
    OtherDrive,     // it comes back on another drive (virtual runner only)
    UnplugAt,       // unplugged before the run's Nth command
    FailAt,         // the run's Nth command fails and is not carried out
    CorruptAt,      // the run's Nth memory write is stored with one byte wrong
    Swap,           // two recorders come back from restarts on each other's drives
};

struct RecorderFault {
    FaultKind kind = FaultKind::None;
    std::uint64_t at = 0; // N, for the counted kinds
};

// "none", "no-return", "unplug-at=12", ...; nothing when the text names no fault of
// `accepted` or its N is not a whole number from 1.
std::optional<RecorderFault> ParseFault(std::string_view text, std::span<const FaultKind> accepted);
// "none|program-failure|...|unplug-at=N", for a usage text.
std::string FaultChoices(std::span<const FaultKind> accepted);

} // namespace qdp::sim
