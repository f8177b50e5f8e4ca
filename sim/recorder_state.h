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
#include <vector>

namespace qdp::sim {

// What a runner adds to the summary.
struct RunSummary {
    int restarts = 0;
    std::map<std::string, long> commands; // by name: "12", "c8/02", ...
    long invalidWrappers = 0;
};

// How the summary names a command: "12", or "c8/02" for a vendor command.
std::string CommandName(const CommandBlock& block);

struct RecorderAndRun {
    const VirtualRecorder* recorder;
    RunSummary run;
};

// Writes the states as JSON (one recorder's as an object, several as a list of them);
// `image` is the descrambled firmware image the summary compares the program memory
// with. False when the file cannot be written.
bool WriteRecorderStates(const std::string& path, std::span<const RecorderAndRun> recorders,
                         std::span<const std::uint8_t> image);

// Reads the states that WriteRecorderStates wrote, each into a recorder made with its
// geometry. When the file holds none, says why in one line that names the file, and
// leaves `recorders` untouched: a file is never read in part.
std::optional<std::string> ReadRecorderStates(const std::string& path,
                                              std::vector<VirtualRecorder>& recorders);

} // namespace qdp::sim
