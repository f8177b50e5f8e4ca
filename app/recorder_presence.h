// Whether the recorder is there, and why a drive could not be opened: what the
// start-up, the listing and the update sequence all ask of the drives.
#pragma once

#include <cstdint>

namespace qdp {

// Tests for the recorder under `*deviceName`, or, while it holds no name, finds one
// and stores its device path there.
[[nodiscard]] bool RecorderConnected(char** deviceName);
// Tells on standard error, in the system's words and with what to do, each drive that
// has kept failing to open for at least `persistMs` (for a reason other than its
// absence), once per drive.
void TellDriveProblems(std::uint64_t persistMs);
// Tells why the drive that `devicePath` names failed to open at the last attempt,
// when it failed for a reason other than its absence.
void TellLastDriveProblem(const char* devicePath);

} // namespace qdp
