// Whether the recorder is there, and why a drive could not be opened: what the
// start-up, the listing and the update sequence all ask of the drives.
#pragma once

#include "app/recorder_run.h"

#include <cstdint>

namespace qdp {

// Tests for the run's recorder: under its device path, or, while the run holds none,
// finds one and stores its path there. A run that follows its recorder by its USB port
// finds it on whichever drive that port now has, and takes that drive's path.
[[nodiscard]] bool RecorderConnected(RecorderRun& run);
// The same for a device name alone.
[[nodiscard]] bool RecorderConnected(char** deviceName);
// The USB port of the drive a device path names; false when the system tells none.
[[nodiscard]] bool PortOf(const char* devicePath, PortText& port);
// Tells on standard error, in the system's words and with what to do, each drive that
// has kept failing to open for at least `persistMs` (for a reason other than its
// absence), once per drive.
void TellDriveProblems(std::uint64_t persistMs);
// Tells why the drive that `devicePath` names failed to open at the last attempt,
// when it failed for a reason other than its absence.
void TellLastDriveProblem(const char* devicePath);

} // namespace qdp
