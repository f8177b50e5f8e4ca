// The seam between the portable updater and the operating system. Each backend
// (platform/linux, platform/windows, or the virtual recorder in sim/) defines these
// functions; the build links exactly one definition of each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qdp::os {

// --- Drives -------------------------------------------------------------------
using DriveHandle = std::intptr_t;
inline constexpr DriveHandle kNoDrive = -1;

struct ScsiCommand {
    std::uint8_t direction;  // 1: data from the device; 0: to the device, or none
    const std::uint8_t* cdb; // 16 bytes
    void* data;              // null when length is 0
    std::uint32_t length;
};

// Opens the drive that a device path ("\\.\PHYSICALDRIVEn") names; kNoDrive when it
// cannot be opened.
DriveHandle OpenDrive(const char* devicePath);
// Passes one command through; true only when it was carried out with GOOD status.
bool PassThrough(DriveHandle drive, const ScsiCommand& command);
void CloseDrive(DriveHandle drive);

// --- Named instance lock --------------------------------------------------------
enum class LockOutcome { Created, AlreadyExists, Failed };
struct InstanceLock {
    LockOutcome outcome;
    std::intptr_t handle;
};
// Creates and owns a system-wide lock; the system releases it when the process ends.
InstanceLock CreateInstanceLock(const char* name);
void CloseInstanceLock(std::intptr_t handle);

// --- Time -----------------------------------------------------------------------
void SleepMs(std::uint32_t milliseconds);
std::uint64_t SteadyMs(); // a clock that never goes back, in milliseconds

// --- Console --------------------------------------------------------------------
// One code from the console's own input (not standard input), unechoed, with no
// Enter: a character code, or 0 followed at the next call by a special key's
// extended code. -1 when there is no console to read.
int ReadRawKey();
// True when a key press is waiting; consumes nothing.
bool KeyWaiting();
// Writes operator text to standard output; shown at once on a console.
void WriteText(std::string_view text);
// While set, the keyboard interrupt (Ctrl+C) cannot end the program.
void IgnoreInterrupt(bool ignore);

// --- The program's own file and its embedded images -----------------------------
// Full path of the program file (argv0 as the runtime gave it), cut to fit `out`.
void ProgramPath(const char* argv0, std::span<char> out);
// Copies the first dest.size() bytes of the raw-data image `name` carried by the
// module at modulePath. False when the image is missing or shorter than dest.
bool ReadImageResource(const char* modulePath, const char* name, std::span<std::uint8_t> dest);

} // namespace qdp::os
