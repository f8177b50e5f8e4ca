// The host around the virtual recorders: drives 0 to 9, a virtual clock, fault
// injection, the trace of every command, and the operator's side (keys, console
// text, the instance lock, the embedded images). The sim backend files serve the
// operating-system seam from it, so the updater runs unchanged against it.
#pragma once

#include "sim/virtual_recorder.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qdp::sim {

inline constexpr int kDrives = 10;

enum class DriveKind { Empty, Recorder, OtherDisk };

// Another disk of the host: it answers INQUIRY with its own identity and rejects
// everything else.
std::vector<std::uint8_t> OtherDiskInquiry();

struct CommandRecord {
    int drive;
    CommandBlock block;
    std::uint8_t direction;
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
};

enum class FaultAction {
    FailCommand,    // the pass-through call fails; nothing moves
    CheckCondition, // the data moves, then CHECK CONDITION
    Vanish,         // the recorder leaves the host for good before the command
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
    int returnDrive = -1;        // -1: the drive it left
};

class VirtualHost {
  public:
    static VirtualHost& Instance();
    void Reset();

    // --- drives ------------------------------------------------------------------
    VirtualRecorder& AttachRecorder(int drive, Geometry geometry = {});
    void AttachOtherDisk(int drive);
    DriveKind Kind(int drive) const { return slots_[drive].kind; }
    void SetUnopenable(int drive, bool unopenable) { slots_[drive].unopenable = unopenable; }
    std::vector<std::uint8_t>& OtherDiskIdentity(int drive) { return slots_[drive].otherInquiry; }
    VirtualRecorder* RecorderOn(int drive) { return slots_[drive].recorder.get(); }
    // The recorder wherever it is, on a drive or away after a restart.
    VirtualRecorder* AnyRecorder();
    // Makes the recorder on `drive` arrive after this many milliseconds.
    void AttachRecorderLater(int drive, std::uint64_t afterMs, Geometry geometry = {});

    RestartBehaviour restart;
    std::vector<Fault> faults;
    void AddFault(Fault fault) { faults.push_back(std::move(fault)); }

    const std::vector<CommandRecord>& Trace() const { return trace_; }
    void ClearTrace() { trace_.clear(); }
    int FailedOpens() const { return failedOpens_; }
    int Restarts() const { return restarts_; }

    // --- clock -------------------------------------------------------------------
    // Virtual unless realPacing is set: pauses are recorded, not slept, and every
    // command takes commandCostUs of virtual time.
    bool realPacing = false;
    std::uint64_t commandCostUs = 1000;
    std::uint64_t failedOpenCostUs = 100;
    std::uint64_t NowMs() { return NowUs() / 1000; }
    std::uint64_t NowUs();
    void Sleep(std::uint32_t ms);
    void WaitUntilMs(std::uint64_t ms); // time passing without a pause of the program
    const std::vector<std::uint32_t>& Pauses() const { return pauses_; }

    // --- the seam ------------------------------------------------------------------
    std::intptr_t Open(const char* devicePath);
    bool Execute(std::intptr_t handle, std::uint8_t direction, const std::uint8_t* cdb, void* data,
                 std::uint32_t length);
    void Close(std::intptr_t handle);

    // --- operator side ---------------------------------------------------------------
    struct Key {
        int code;
        std::uint64_t atMs; // typed at this virtual time
    };
    std::deque<Key> keys;
    void Type(std::string_view text, std::uint64_t atMs = 0);
    void TypeSpecial(std::uint8_t extendedCode, std::uint64_t atMs = 0);
    std::string console;                                        // every text written
    std::vector<std::pair<bool, std::size_t>> interruptChanges; // (ignored, trace size)
    bool lockHeldElsewhere = false;
    int lockCloses = 0;
    std::map<std::string, std::vector<std::uint8_t>> imageOverrides; // name -> bytes

  private:
    struct Slot {
        DriveKind kind = DriveKind::Empty;
        std::shared_ptr<VirtualRecorder> recorder;
        std::vector<std::uint8_t> otherInquiry;
        bool unopenable = false;
    };
    struct Away {
        std::shared_ptr<VirtualRecorder> recorder;
        std::uint64_t returnAtUs;
        int opensLeft;
        int leftDrive;
        int returnDrive;
        bool returns;
    };

    void Advance(std::uint64_t us);
    void Arrivals();
    void Leave(int drive, bool returns);
    const Fault* TakeFault(const CommandView& view);

    std::array<Slot, kDrives> slots_{};
    std::optional<Away> away_;
    std::vector<CommandRecord> trace_;
    std::vector<std::uint32_t> pauses_;
    std::uint64_t nowUs_ = 0;
    std::optional<std::uint64_t> realStartUs_; // real pacing: when the clock started
    int failedOpens_ = 0;
    int restarts_ = 0;
};

} // namespace qdp::sim
