// The host around the virtual recorders: drives 0 to 9, each recorder plugged into a
// USB port of its own, a virtual clock, fault injection, the trace of every command,
// and the operator's side (keys, console text, the instance lock, the embedded
// images). The sim backend files serve the operating-system seam from it, so the
// updater runs unchanged against it. Threads may use it at once: its operations are
// serialized, and with the virtual clock each thread keeps time of its own (what its
// commands and pauses cost), starting from the latest time of any thread.
#pragma once

#include "sim/virtual_recorder.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qdp::sim {

inline constexpr int kDrives = 10;

enum class DriveKind { Empty, Recorder, OtherDisk };

// Why a drive cannot be opened.
enum class OpenFailure { None, Absent, PermissionDenied, Busy };

struct TimeLimitPassed : std::runtime_error {
    TimeLimitPassed()
        : std::runtime_error("the program under test ran past the virtual time limit") {}
};

// Another disk of the host: it answers INQUIRY with its own identity and rejects
// everything else.
std::vector<std::uint8_t> OtherDiskInquiry();

struct CommandRecord {
    int drive;
    int recorder; // the recorder's number (in the order attached), -1 for none
    CommandBlock block;
    std::uint8_t direction; // as the host gave it: 1 in, 0 out or none
    std::uint32_t length;
    std::vector<std::uint8_t> data; // sent, or received by the host
    bool good;
    std::uint64_t atUs;
};

struct CommandView {
    int drive;
    const CommandBlock& block;
    std::span<const std::uint8_t> dataOut; // what the host sends (empty for data-in)
    std::size_t index;                     // position in the trace
    int recorder;                          // the recorder's number, -1 for none
    std::size_t recorderIndex;             // commands that recorder received before
};

enum class FaultAction {
    FailCommand,    // the pass-through call fails; nothing moves
    CheckCondition, // the data moves, then CHECK CONDITION
    Vanish,         // the recorder is unplugged before the command; PlugIn brings it back
    AlterReply,     // the command succeeds, but `alter` changes the data it returns
};

struct Fault {
    std::function<bool(const CommandView&)> matches;
    FaultAction action;
    int times = 1; // how many matching commands it hits; -1 for all
    // For AlterReply: rewrites the reply in place and may shorten what was moved.
    std::function<void(std::span<std::uint8_t> reply, std::size_t& moved)> alter = {};
};

// What a recorder does after a restart frame.
struct RestartBehaviour {
    enum class Kind { Normal, NeverLeaves, NeverReturns } kind = Kind::Normal;
    std::uint64_t awayMs = 1500; // absent at least this long
    int awayOpens = 0;           // and for at least this many opens of its drive
    int returnDrive = -1;        // -1: the drive it left; else that drive, once it is free
    // Comes back on a drive that cannot be opened (a node the user may not use).
    OpenFailure returnOpenFailure = OpenFailure::None;
};

// The outcome of one command as the host's pass-through reports it.
struct HostResult {
    bool carriedOut = false;
    bool good = false;
    wire::Sense sense; // with CHECK CONDITION
    std::size_t moved = 0;
};

// A pause of the program, after so many commands of the trace.
struct Pause {
    std::size_t afterCommands;
    std::uint32_t ms;
};

class VirtualHost {
  public:
    static VirtualHost& Instance();
    void Reset();

    // --- drives ------------------------------------------------------------------
    // A recorder on `drive`, plugged into USB port "1-<drive + 1>" unless told.
    VirtualRecorder& AttachRecorder(int drive, Geometry geometry = {});
    void AttachOtherDisk(int drive);
    DriveKind Kind(int drive) const { return slots_[drive].kind; }
    void SetOpenFailure(int drive, OpenFailure failure) { slots_[drive].openFailure = failure; }
    std::vector<std::uint8_t>& OtherDiskIdentity(int drive) { return slots_[drive].otherInquiry; }
    VirtualRecorder* RecorderOn(int drive) { return slots_[drive].plugged.recorder.get(); }
    // The recorder wherever it is, on a drive or away after a restart.
    VirtualRecorder* AnyRecorder();
    // Every recorder attached, on a drive or away, by its number.
    std::vector<VirtualRecorder*> Recorders();
    // The number of the recorder on `drive`; -1 for none.
    int RecorderNumberOn(int drive) const { return slots_[drive].plugged.id; }
    // Plugs an unplugged recorder (one that vanished, or never came back from a
    // restart; the one numbered `number`, else the first) in on `drive`: it starts as
    // at power-up, with what it kept. A recorder that its power-up bricks stays off
    // the bus.
    void PlugIn(int drive, int number = -1);
    // Unplugs the recorder on `drive` and plugs it in again.
    void PowerUp(int drive);
    // Makes a recorder arrive on `drive` after this many milliseconds.
    void AttachRecorderLater(int drive, std::uint64_t afterMs, Geometry geometry = {});

    // The USB port of the recorder on `drive` (it keeps it across restarts); nothing
    // when no recorder is there, or when the system tells no ports (portsKnown). Each
    // question costs what a failed open costs.
    std::optional<std::string> PortOf(int drive);
    std::optional<std::string> PortOfDevice(const char* devicePath);
    void SetPort(int drive, std::string port) { slots_[drive].plugged.port = std::move(port); }
    bool portsKnown = true;

    // How recorders restart; RestartOf gives the recorder on `drive` a behaviour of its own.
    RestartBehaviour restart;
    RestartBehaviour& RestartOf(int drive);
    std::vector<Fault> faults;
    void AddFault(Fault fault) { faults.push_back(std::move(fault)); }

    const std::vector<CommandRecord>& Trace() const { return trace_; }
    // The commands that one recorder received, in order.
    std::vector<CommandRecord> TraceOf(int recorder) const;
    void ClearTrace() { trace_.clear(); }
    int FailedOpens() const { return failedOpens_; }
    // The most recorders that were away (restarting, or unplugged) at once.
    std::size_t MostAwayAtOnce() const { return mostAway_; }
    int Restarts() const { return restarts_; }

    // --- clock -------------------------------------------------------------------
    // Virtual unless realPacing is set: pauses are recorded, not slept, and every
    // command takes commandCostUs of virtual time, each thread on a clock of its own.
    bool realPacing = false;
    std::uint64_t commandCostUs = 1000;
    std::uint64_t failedOpenCostUs = 100;
    // A program under test that is still running after this much virtual time will
    // never end: the host throws TimeLimitPassed rather than run on for ever.
    std::uint64_t timeLimitMs = 60ull * 60 * 1000; // an hour
    std::uint64_t NowMs() { return NowUs() / 1000; }
    std::uint64_t NowUs();
    void Sleep(std::uint32_t ms);
    void WaitUntilMs(std::uint64_t ms); // time passing without a pause of the program
    const std::vector<Pause>& Pauses() const { return pauses_; }
    std::vector<std::uint32_t> PauseLengths() const;

    // --- the seam ------------------------------------------------------------------
    // A handle, or -1 with the reason.
    std::intptr_t Open(const char* devicePath, OpenFailure& failure);
    HostResult Execute(std::intptr_t handle, std::uint8_t direction, const std::uint8_t* cdb,
                       void* data, std::uint32_t length);
    void Close(std::intptr_t handle);

    // --- operator side ---------------------------------------------------------------
    struct Key {
        int code;
        std::uint64_t atMs; // typed at this virtual time
    };
    std::deque<Key> keys;
    bool noConsole = false;        // a run with no console at all (keys then read as none)
    bool outputIsTerminal = false; // standard output redraws lines in place
    void Type(std::string_view text, std::uint64_t atMs = 0);
    void TypeSpecial(std::uint8_t extendedCode, std::uint64_t atMs = 0);
    std::string console;                                        // every text written
    std::vector<std::pair<bool, std::size_t>> interruptChanges; // (ignored, trace size)
    std::set<std::string> locksHeldElsewhere;                   // lock names taken
    std::vector<std::string> locksTaken;                        // names asked for, in order
    int lockCloses = 0;
    std::map<std::string, std::vector<std::uint8_t>> imageOverrides; // name -> bytes

  private:
    // A recorder as the host holds it: the device, where it is plugged in, how it
    // restarts.
    struct Plugged {
        std::shared_ptr<VirtualRecorder> recorder;
        int id = -1;
        std::string port;
        std::optional<RestartBehaviour> restart; // its own; else the host's
    };
    struct Slot {
        DriveKind kind = DriveKind::Empty;
        Plugged plugged;
        std::vector<std::uint8_t> otherInquiry;
        OpenFailure openFailure = OpenFailure::None;
    };
    struct Away {
        Plugged plugged;
        std::uint64_t returnAtUs; // on the clock of the thread that made it leave
        int opensLeft;
        int leftDrive;
        int returnDrive;
        bool returns;
        std::thread::id owner;                       // that thread
        std::optional<std::uint64_t> blockedSinceUs; // real time: due, its drive taken
    };

    std::uint64_t& Clock(); // the calling thread's, in microseconds
    void Advance(std::uint64_t us);
    // Brings back the recorders whose time away has passed; true when one that the
    // calling thread made leave is due but its drive is still taken.
    bool Arrivals();
    // A poll's cost, unless the caller's own recorder waits for its drive to be freed:
    // then its time stands still (a while of real time at most) while the other
    // threads go on.
    void Polled(bool waiting);
    void Leave(int drive, bool returns);
    void Arrive(Away& away, int drive, OpenFailure failure);
    const Fault* TakeFault(const CommandView& view);
    HostResult Carry(Slot& slot, const CommandBlock& block, std::uint8_t direction,
                     std::span<std::uint8_t> buffer, const std::vector<std::uint8_t>& sent);

    std::array<Slot, kDrives> slots_{};
    std::vector<Away> away_;
    int attached_ = 0;
    std::vector<CommandRecord> trace_;
    std::map<int, std::size_t> received_; // commands by recorder number
    std::vector<Pause> pauses_;
    std::map<std::thread::id, std::uint64_t> clocks_;
    std::uint64_t generation_ = 0;             // of the clocks, a new one at each reset
    std::optional<std::uint64_t> realStartUs_; // real pacing: when the clock started
    int failedOpens_ = 0;
    int restarts_ = 0;
    std::size_t mostAway_ = 0;
};

} // namespace qdp::sim
