// The seam between the portable updater and the operating system. Each backend
// (platform/linux, platform/windows, or the virtual recorder in sim/) defines these
// functions; the build links exactly one definition of each.
#pragma once

#include <array>
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

enum class OpenError : std::uint8_t { None, NoSuchDevice, PermissionDenied, Busy, Other };

// What the system calls a drive, for messages: "/dev/sg1", "\\.\PHYSICALDRIVE1".
using NodeName = std::array<char, 40>;

struct OpenedDrive {
    DriveHandle handle; // kNoDrive when the drive could not be opened
    OpenError error;
    int osError; // the system's own error number, 0 when opened
};

// What happened to one command, as far as the system tells.
struct PassThroughResult {
    bool carriedOut = false;       // the system took the request and it completed
    int osError = 0;               // when not carried out
    std::uint8_t scsiStatus = 0;   // 0 GOOD, 2 CHECK CONDITION, ...
    std::uint8_t hostStatus = 0;   // the adapter's status (Linux); 0 elsewhere
    std::uint8_t driverStatus = 0; // the driver's status (Linux); 0 elsewhere
    std::uint8_t senseLength = 0;  // sense bytes returned
    std::array<std::uint8_t, 32> sense{};
    std::uint32_t transferred = 0; // data bytes moved

    bool Good() const {
        return carriedOut && scsiStatus == 0 && hostStatus == 0 && driverStatus == 0;
    }
};

// Opens the drive that a device path ("\\.\PHYSICALDRIVEn") names.
[[nodiscard]] OpenedDrive OpenDrive(const char* devicePath);
// Passes one command through and waits for it to end.
[[nodiscard]] PassThroughResult PassThrough(DriveHandle drive, const ScsiCommand& command);
void CloseDrive(DriveHandle drive);
// The system's name of the drive that a device path names.
NodeName DriveNodeName(const char* devicePath);
// The system's text for one of its error numbers.
void DescribeError(int osError, std::span<char> out);
// The device path ("\\.\PHYSICALDRIVEn") of a drive named in the system's own way
// (on Linux /dev/sgN); false when the name is not such a name.
[[nodiscard]] bool DevicePathForNode(const char* node, std::span<char> out);
// What the operator does when the system refuses access to a drive.
std::string_view AccessDeniedAdvice();
// The USB port that the drive a device path names is plugged into, as the system names
// it ("1-1.2" on Linux, a location path on Windows); it stays the same while a recorder
// restarts and comes back under another drive number. False when the system tells no
// port (a disk not on USB, or a system that does not say).
[[nodiscard]] bool DrivePort(const char* devicePath, std::span<char> out);

// --- Named instance lock --------------------------------------------------------
enum class LockOutcome { Created, AlreadyExists, Failed };
struct InstanceLock {
    LockOutcome outcome;
    std::intptr_t handle;
};
// Creates and owns a system-wide lock; the system releases it when the process ends.
[[nodiscard]] InstanceLock CreateInstanceLock(const char* name);
void CloseInstanceLock(std::intptr_t handle);

// --- Time -----------------------------------------------------------------------
void SleepMs(std::uint32_t milliseconds);
std::uint64_t SteadyMs(); // a clock that never goes back, in milliseconds

// --- Console --------------------------------------------------------------------
// One code from the console's own input (not standard input), unechoed, with no
// Enter: a character code, or 0 followed at the next call by a special key's
// extended code. -1 when there is no console to read.
int ReadRawKey();
// True when a key press is waiting that ReadRawKey delivers without waiting;
// consumes no key.
bool KeyWaiting();
// True when there is a console to read keys from.
bool ConsoleAvailable();
// True when standard output is a terminal that moves its cursor as ANSI sequences say
// (so that a line can be redrawn in place).
bool OutputIsTerminal();
// Writes operator text to standard output, where it can be seen at once (terminal,
// pipe or file).
void WriteText(std::string_view text);
// While set, the keyboard interrupt (Ctrl+C) cannot end the program.
void IgnoreInterrupt(bool ignore);

// --- The program's own file and its embedded images -----------------------------
// Full path of the program file (argv0 as the runtime gave it), cut to fit `out`.
void ProgramPath(const char* argv0, std::span<char> out);
// Copies the first dest.size() bytes of the raw-data image `name` carried by the
// module at modulePath. False when the image is missing or shorter than dest.
[[nodiscard]] bool ReadImageResource(const char* modulePath, const char* name,
                                     std::span<std::uint8_t> dest);

} // namespace qdp::os
