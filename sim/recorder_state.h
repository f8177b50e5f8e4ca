// A recorder's whole state in a file: what it keeps without power (program memory
// with the boot loader and the records, its flash geometry and storage), so that a
// recorder unplugged in one run can be plugged back in another (--state, --resume),
// and a summary for whoever judges the run.
#pragma once

#include "sim/virtual_recorder.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

namespace qdp::sim {

// What a runner adds to the summary.
struct RunSummary {
    int restarts = 0;
    std::map<std::string, long> commands; // by name: "12", "c8/02", ...
    long invalidWrappers = 0;
};

// How the summary names a command: "12", or "c8/02" for a vendor command.
std::string CommandName(const CommandBlock& block);

// Writes the state as JSON; `image` is the descrambled firmware image the summary
// compares the program memory with. False when the file cannot be written.
bool WriteRecorderState(const std::string& path, const VirtualRecorder& recorder,
                        std::span<const std::uint8_t> image, const RunSummary& run);

// Reads a state that WriteRecorderState wrote into a recorder made with its geometry.
// When the file holds none, says why in one line that names the file, and leaves the
// recorder untouched: a file is never read in part.
std::optional<std::string> ReadRecorderState(const std::string& path, VirtualRecorder& recorder);

} // namespace qdp::sim
