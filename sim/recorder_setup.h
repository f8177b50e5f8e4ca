// How the runners (qdp_virtual_updater, qdp_usb_recorder) set a recorder up from
// their options: the flash by its size, and the installed boot loader and firmware
// against what a firmware image offers.
#pragma once

#include "sim/virtual_recorder.h"

#include <cstdint>
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
    std::string fault = "none";     // "program-failure", "no-leave", "no-return", ...
    unsigned long unplugAt = 0;     // fault "unplug-at=N": unplugged before the Nth command
    std::string state;              // --state: where the end state goes
    std::string resume;             // --resume: the state to start from
};

// Takes `--word value` when it is one of those options; false when it is not.
bool TakeRecorderOption(std::string_view word, const std::string& value, RecorderOptions& options);
// True when every option holds a known value; `moreFaults` are the runner's own.
bool RecorderOptionsValid(const RecorderOptions& options,
                          std::initializer_list<std::string_view> moreFaults = {});

// A stored (scrambled) image, descrambled, 65,536 bytes.
std::vector<std::uint8_t> Descrambled(std::span<const std::uint8_t> stored);

// 128 KiB blocks of 64 pages of 2 KiB, in as few units as the 16-bit count allows.
Geometry FlashOfMiB(unsigned long mib);

// Installs the chosen boot loader and firmware, against the boot-loader record of a
// descrambled firmware image, and puts recorded audio at the end of the flash, for
// the erase to be seen; or, with --resume, what the state file holds. False when
// that file holds no state.
bool SetUpRecorder(VirtualRecorder& recorder, std::span<const std::uint8_t> image,
                   const RecorderOptions& options);

} // namespace qdp::sim
