#include "sim/virtual_host.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace qdp::sim {
namespace {

std::uint64_t RealUs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// "\\.\PHYSICALDRIVEn" with one digit; anything else names no drive.
int DriveOf(const char* devicePath) {
    constexpr std::string_view kPrefix = "\\\\.\\PHYSICALDRIVE";
    const std::string_view path(devicePath);
    if (!path.starts_with(kPrefix) || path.size() != kPrefix.size() + 1) {
        return -1;
    }
    const char digit = path.back();
    return digit >= '0' && digit <= '9' ? digit - '0' : -1;
}

// What an aborted command reports.
inline constexpr wire::Sense kAborted{0x0B, 0x00, 0x00};

// How long a recorder due back waits for another to free its drive before the waiting
// thread's time goes on again, in real microseconds.
constexpr std::uint64_t kMostBlockedUs = 5'000'000;

} // namespace

std::vector<std::uint8_t> OtherDiskInquiry() {
    // A fixed disk: vendor "ATA", product "Virtual Disk", revision "1.0".
    constexpr std::string_view kIdentity = "\x00\x00\x05\x02\x1F\x00\x00\x00"
                                           "ATA     Virtual Disk    1.0 ";
    return {kIdentity.begin(), kIdentity.end()};
}

VirtualHost& VirtualHost::Instance() {
    static VirtualHost host;
    return host;
}

namespace {

// Every operation of the host, from whichever thread, one at a time; a thread may take
// it again while it holds it. It knows its holder by the thread's identity, which a
// process forked while holding it keeps (the recovery matrix forks inside a command).
class HostLock {
  public:
    void lock() {
        const std::thread::id me = std::this_thread::get_id();
        if (holder_.load(std::memory_order_relaxed) == me) {
            ++depth_;
            return;
        }
        mutex_.lock();
        holder_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }
    void unlock() {
        if (--depth_ == 0) {
            holder_.store({}, std::memory_order_relaxed);
            mutex_.unlock();
        }
    }

  private:
    std::mutex mutex_; // not recursive: its unlock asks not which thread locked it
    std::atomic<std::thread::id> holder_{};
    int depth_ = 0; // only the holder touches it
};

HostLock& HostMutex() {
    static HostLock lock;
    return lock;
}

using Lock = std::lock_guard<HostLock>;

} // namespace

void VirtualHost::Reset() {
    const Lock lock(HostMutex());
    static std::uint64_t resets = 0;
    *this = VirtualHost{};
    generation_ = ++resets;
}

VirtualRecorder& VirtualHost::AttachRecorder(int drive, Geometry geometry) {
    const Lock lock(HostMutex());
    slots_[drive] = {DriveKind::Recorder,
                     {std::make_shared<VirtualRecorder>(geometry), attached_++,
                      "1-" + std::to_string(drive + 1), std::nullopt},
                     {},
                     OpenFailure::None};
    return *slots_[drive].plugged.recorder;
}

void VirtualHost::AttachOtherDisk(int drive) {
    const Lock lock(HostMutex());
    slots_[drive] = {DriveKind::OtherDisk, {}, OtherDiskInquiry(), OpenFailure::None};
}

void VirtualHost::AttachRecorderLater(int drive, std::uint64_t afterMs, Geometry geometry) {
    const Lock lock(HostMutex());
    away_.push_back({{std::make_shared<VirtualRecorder>(geometry), attached_++,
                      "1-" + std::to_string(drive + 1), std::nullopt},
                     NowUs() + afterMs * 1000,
                     0,
                     drive,
                     drive,
                     true,
                     std::this_thread::get_id(),
                     std::nullopt});
}

void VirtualHost::Arrive(Away& away, int drive, OpenFailure failure) {
    away.plugged.recorder->Boot();
    if (away.plugged.recorder->Bricked()) {
        away.returns = false; // it never comes up: not on the bus
        return;
    }
    slots_[drive] = {DriveKind::Recorder, away.plugged, {}, failure};
    away.plugged = {};
}

void VirtualHost::PlugIn(int drive, int number) {
    const Lock lock(HostMutex());
    for (Away& away : away_) {
        if (away.plugged.recorder && (number < 0 || away.plugged.id == number)) {
            Arrive(away, drive, OpenFailure::None);
            break;
        }
    }
    std::erase_if(away_, [](const Away& away) { return !away.plugged.recorder; });
}

void VirtualHost::PowerUp(int drive) {
    const Lock lock(HostMutex());
    if (slots_[drive].plugged.recorder) {
        const int number = slots_[drive].plugged.id;
        Leave(drive, false);
        PlugIn(drive, number);
    }
}

VirtualRecorder* VirtualHost::AnyRecorder() {
    const Lock lock(HostMutex());
    const std::vector<VirtualRecorder*> all = Recorders();
    return all.empty() ? nullptr : all.front();
}

std::vector<VirtualRecorder*> VirtualHost::Recorders() {
    const Lock lock(HostMutex());
    std::map<int, VirtualRecorder*> byNumber;
    for (Away& away : away_) {
        byNumber[away.plugged.id] = away.plugged.recorder.get();
    }
    for (Slot& slot : slots_) {
        if (slot.plugged.recorder) {
            byNumber[slot.plugged.id] = slot.plugged.recorder.get();
        }
    }
    std::vector<VirtualRecorder*> all;
    for (const auto& [number, recorder] : byNumber) {
        all.push_back(recorder);
    }
    return all;
}

std::optional<std::string> VirtualHost::PortOf(int drive) {
    const Lock lock(HostMutex());
    // Asking the system costs time, as a failed open does, and time brings arrivals.
    Polled(Arrivals());
    if (!portsKnown || drive < 0 || drive >= kDrives || !slots_[drive].plugged.recorder) {
        return std::nullopt;
    }
    return slots_[drive].plugged.port;
}

std::optional<std::string> VirtualHost::PortOfDevice(const char* devicePath) {
    return PortOf(DriveOf(devicePath));
}

RestartBehaviour& VirtualHost::RestartOf(int drive) {
    const Lock lock(HostMutex());
    std::optional<RestartBehaviour>& own = slots_[drive].plugged.restart;
    if (!own) {
        own = restart;
    }
    return *own;
}

std::vector<CommandRecord> VirtualHost::TraceOf(int recorder) const {
    const Lock lock(HostMutex());
    std::vector<CommandRecord> received;
    for (const CommandRecord& record : trace_) {
        if (record.recorder == recorder) {
            received.push_back(record);
        }
    }
    return received;
}

namespace {

// The calling thread's clock, looked up once a reset: std::map keeps its entries in
// place. Only its own thread moves it.
thread_local std::uint64_t ClockGeneration = 0;
thread_local std::uint64_t* OwnClock = nullptr;

} // namespace

std::uint64_t& VirtualHost::Clock() {
    std::uint64_t*& clock = OwnClock;
    if (clock != nullptr && ClockGeneration == generation_) {
        return *clock;
    }
    ClockGeneration = generation_;
    const auto found = clocks_.find(std::this_thread::get_id());
    if (found != clocks_.end()) {
        clock = &found->second;
        return found->second;
    }
    std::uint64_t latest = 0;
    for (const auto& [thread, clock] : clocks_) {
        latest = std::max(latest, clock);
    }
    clock = &(clocks_[std::this_thread::get_id()] = latest);
    return *clock;
}

std::uint64_t VirtualHost::NowUs() {
    // The thread's own clock, which no other thread moves, is read without the lock:
    // the updater reads it at every poll of a restart wait.
    if (!realPacing && OwnClock != nullptr && ClockGeneration == generation_) {
        return *OwnClock;
    }
    const Lock lock(HostMutex());
    if (realPacing) {
        if (!realStartUs_) {
            realStartUs_ = RealUs();
        }
        return RealUs() - *realStartUs_;
    }
    return Clock();
}

void VirtualHost::Advance(std::uint64_t us) {
    // With real pacing, time is the real clock's: what commands cost is not added.
    if (!realPacing) {
        Clock() += us;
    }
    if (NowMs() > timeLimitMs) {
        throw TimeLimitPassed();
    }
}

void VirtualHost::Sleep(std::uint32_t ms) {
    {
        const Lock lock(HostMutex());
        pauses_.push_back({trace_.size(), ms});
    }
    if (realPacing) { // slept outside the lock: the other threads go on meanwhile
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    const Lock lock(HostMutex());
    Advance(std::uint64_t{ms} * 1000);
}

std::vector<std::uint32_t> VirtualHost::PauseLengths() const {
    const Lock lock(HostMutex());
    std::vector<std::uint32_t> lengths;
    for (const Pause& pause : pauses_) {
        lengths.push_back(pause.ms);
    }
    return lengths;
}

void VirtualHost::WaitUntilMs(std::uint64_t ms) {
    while (NowMs() < ms) {
        if (realPacing) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms - NowMs()));
        } else {
            const Lock lock(HostMutex());
            Clock() = ms * 1000;
        }
    }
}

void VirtualHost::Leave(int drive, bool returns) {
    Plugged& plugged = slots_[drive].plugged;
    const RestartBehaviour& behaviour = plugged.restart ? *plugged.restart : restart;
    away_.push_back({plugged, NowUs() + behaviour.awayMs * 1000, behaviour.awayOpens, drive,
                     behaviour.returnDrive < 0 ? drive : behaviour.returnDrive, returns,
                     std::this_thread::get_id(), std::nullopt});
    mostAway_ = std::max(mostAway_, away_.size());
    slots_[drive] = {};
}

bool VirtualHost::Arrivals() {
    bool waiting = false;
    for (Away& away : away_) {
        // Its time away is told by the clock of the thread that made it leave, the one
        // that waits for it: another thread's clock may run ahead.
        const auto clock = clocks_.find(away.owner);
        const std::uint64_t now = realPacing || clock == clocks_.end() ? NowUs() : clock->second;
        if (!away.plugged.recorder || !away.returns || now < away.returnAtUs ||
            away.opensLeft > 0) {
            continue;
        }
        if (slots_[away.returnDrive].kind == DriveKind::Empty) {
            const RestartBehaviour& behaviour =
                away.plugged.restart ? *away.plugged.restart : restart;
            Arrive(away, away.returnDrive, behaviour.returnOpenFailure);
        } else if (away.owner == std::this_thread::get_id()) {
            if (!away.blockedSinceUs) {
                away.blockedSinceUs = RealUs();
            }
            waiting = waiting || RealUs() - *away.blockedSinceUs < kMostBlockedUs;
        }
    }
    std::erase_if(away_, [](const Away& away) { return !away.plugged.recorder; });
    return waiting;
}

void VirtualHost::Polled(bool waiting) {
    if (waiting && !realPacing) {
        std::this_thread::yield();
        return;
    }
    Advance(failedOpenCostUs);
}

std::intptr_t VirtualHost::Open(const char* devicePath, OpenFailure& failure) {
    const Lock lock(HostMutex());
    const int drive = DriveOf(devicePath);
    for (Away& away : away_) {
        if (drive == away.leftDrive) {
            --away.opensLeft;
        }
    }
    const bool waiting = Arrivals();
    failure = OpenFailure::None;
    if (drive < 0 || slots_[drive].kind == DriveKind::Empty) {
        failure = OpenFailure::Absent;
    } else if (slots_[drive].openFailure != OpenFailure::None) {
        failure = slots_[drive].openFailure;
    }
    if (failure != OpenFailure::None) {
        ++failedOpens_;
        Polled(waiting);
        return -1;
    }
    return drive + 1;
}

void VirtualHost::Close(std::intptr_t) {}

const Fault* VirtualHost::TakeFault(const CommandView& view) {
    const Lock lock(HostMutex());
    for (Fault& fault : faults) {
        if (fault.times != 0 && fault.matches(view)) {
            if (fault.times > 0) {
                --fault.times;
            }
            return &fault;
        }
    }
    return nullptr;
}

HostResult VirtualHost::Carry(Slot& slot, const CommandBlock& block, std::uint8_t direction,
                              std::span<std::uint8_t> buffer,
                              const std::vector<std::uint8_t>& sent) {
    HostResult result;
    result.carriedOut = true;
    const bool dataIn = direction == 1;
    if (slot.kind == DriveKind::OtherDisk) {
        if (block[0] == wire::kInquiry && dataIn) {
            result.moved = std::min<std::size_t>(buffer.size(), slot.otherInquiry.size());
            std::copy_n(slot.otherInquiry.begin(), result.moved, buffer.begin());
            result.good = true;
        } else {
            result.sense = wire::kInvalidOpcode;
        }
        return result;
    }
    // The recorder sees only the data that moves in the direction the host gave.
    const Reply reply =
        slot.plugged.recorder->Execute(block, dataIn ? buffer : std::span<std::uint8_t>{},
                                       dataIn ? std::span<const std::uint8_t>{} : sent);
    result.good = reply.good;
    result.sense = reply.sense;
    result.moved = reply.moved;
    return result;
}

HostResult VirtualHost::Execute(std::intptr_t handle, std::uint8_t direction,
                                const std::uint8_t* cdb, void* data, std::uint32_t length) {
    const Lock lock(HostMutex());
    const int drive = static_cast<int>(handle) - 1;
    Slot& slot = slots_[drive];
    VirtualRecorder* recorder = slot.plugged.recorder.get();
    const int number = slot.plugged.id;
    CommandBlock block{};
    std::copy_n(cdb, block.size(), block.begin());
    auto* bytes = static_cast<std::uint8_t*>(data);
    const bool dataIn = direction == 1;
    const std::span<std::uint8_t> buffer =
        bytes != nullptr ? std::span(bytes, length) : std::span<std::uint8_t>{};

    CommandRecord record{drive, number, block, direction, length, {}, false, NowUs()};
    if (!dataIn) {
        record.data.assign(buffer.begin(), buffer.end());
    }
    Advance(commandCostUs);
    const CommandView view{drive,         block,  record.data,
                           trace_.size(), number, number >= 0 ? received_[number]++ : 0};
    const Fault* taken = TakeFault(view);
    const std::optional<FaultAction> fault =
        taken != nullptr ? std::optional(taken->action) : std::nullopt;

    HostResult result;
    if (fault == FaultAction::Vanish) {
        if (recorder != nullptr) {
            Leave(drive, false);
        }
    } else if (fault != FaultAction::FailCommand) {
        result = Carry(slot, block, direction, buffer, record.data);
        if (recorder != nullptr && recorder->TakeRestartRequest()) {
            ++restarts_;
            const RestartBehaviour::Kind kind =
                slot.plugged.restart ? slot.plugged.restart->kind : restart.kind;
            if (kind != RestartBehaviour::Kind::NeverLeaves) {
                Leave(drive, kind == RestartBehaviour::Kind::Normal);
            }
        }
        if (fault == FaultAction::CheckCondition) {
            result.good = false;
            result.sense = kAborted;
            if (recorder != nullptr) {
                recorder->ReportedAsFailed();
            }
        }
        if (fault == FaultAction::AlterReply && dataIn && taken->alter) {
            taken->alter(buffer, result.moved);
            result.moved = std::min(result.moved, buffer.size());
        }
    }
    if (dataIn) {
        record.data.assign(buffer.begin(),
                           buffer.begin() + static_cast<std::ptrdiff_t>(result.moved));
    }
    record.good = result.good;
    trace_.push_back(std::move(record));
    return result;
}

void VirtualHost::Type(std::string_view text, std::uint64_t atMs) {
    for (const char c : text) {
        keys.push_back({static_cast<unsigned char>(c), atMs});
    }
}

void VirtualHost::TypeSpecial(std::uint8_t extendedCode, std::uint64_t atMs) {
    keys.push_back({0, atMs});
    keys.push_back({extendedCode, atMs});
}

} // namespace qdp::sim
