// How the runners (qdp_virtual_updater, qdp_usb_recorder) set a recorder up from
// their options: the flash by its size, and the installed boot loader and firmware
// against what a firmware image offers.
#pragma once

#include "sim/recorder_faults.h"
#include "sim/virtual_recorder.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qdp::sim {

// The options both runners take for their recorder.
struct RecorderOptions {
    // "older" (one minor version below the offered boot loader), "equal", "newer" or
    // "incompatible" (the offered version, another identification).
    std::string bootLoader = "older";
    std::string firmware = "valid"; // firmware 2.4 with its marker, or "unavailable"
    unsigned long flashMib = 512;
    unsigned long restartMs = 1500; // time away at a restart
    RecorderFault fault;
    std::string state;          // --state: where the end state goes
    std::string resume;         // --resume: the state to start from
    bool installChosen = false; // --boot-loader, --firmware or --flash-mib given
};

enum class Taken { NotMine, Taken, BadValue };
// Takes `--word value` when it is one of those options, with a fault of `faults`.
Taken TakeRecorderOption(std::string_view word, std::string_view value, RecorderOptions& options,
                         std::span<const FaultKind> faults);
// What is wrong with the options together; nothing when they make sense.
std::optional<std::string> RecorderOptionsProblem(const RecorderOptions& options);
// A whole decimal number from `least` to `most`; nothing otherwise.
std::optional<unsigned long> WholeNumber(std::string_view text, unsigned long least,
                                         unsigned long most);

// A stored (scrambled) image, descrambled, 65,536 bytes.
std::vector<std::uint8_t> Descrambled(std::span<const std::uint8_t> stored);

// 128 KiB blocks of 64 pages of 2 KiB, in as few units as the 16-bit count allows.
Geometry FlashOfMiB(unsigned long mib);

// Installs the chosen boot loader and firmware, against the boot-loader section of a
// descrambled firmware image (its code, with the chosen record), and puts recorded audio at the end
// of the flash, for the erase to be seen; or, with --resume, what the state file holds. False, with
// why, when that file holds no state.
bool SetUpRecorder(VirtualRecorder& recorder, std::span<const std::uint8_t> image,
                   const RecorderOptions& options, std::string& problem);

} // namespace qdp::sim
