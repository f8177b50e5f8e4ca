#include "sim/virtual_host.h"

#include <algorithm>
#include <chrono>
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

void VirtualHost::Reset() { *this = VirtualHost{}; }

VirtualRecorder& VirtualHost::AttachRecorder(int drive, Geometry geometry) {
    slots_[drive] = {
        DriveKind::Recorder, std::make_shared<VirtualRecorder>(geometry), {}, OpenFailure::None};
    return *slots_[drive].recorder;
}

void VirtualHost::AttachOtherDisk(int drive) {
    slots_[drive] = {DriveKind::OtherDisk, nullptr, OtherDiskInquiry(), OpenFailure::None};
}

void VirtualHost::AttachRecorderLater(int drive, std::uint64_t afterMs, Geometry geometry) {
    away_ = Away{std::make_shared<VirtualRecorder>(geometry),
                 NowUs() + afterMs * 1000,
                 0,
                 drive,
                 drive,
                 true};
}

void VirtualHost::PlugIn(int drive) {
    if (!away_) {
        return;
    }
    away_->recorder->Boot();
    if (away_->recorder->Bricked()) {
        away_->returns = false; // it never comes up: not on the bus
        return;
    }
    slots_[drive] = {DriveKind::Recorder, away_->recorder, {}, OpenFailure::None};
    away_.reset();
}

void VirtualHost::PowerUp(int drive) {
    if (slots_[drive].recorder) {
        Leave(drive, false);
        PlugIn(drive);
    }
}

VirtualRecorder* VirtualHost::AnyRecorder() {
    if (away_) {
        return away_->recorder.get();
    }
    for (Slot& slot : slots_) {
        if (slot.recorder) {
            return slot.recorder.get();
        }
    }
    return nullptr;
}

std::uint64_t VirtualHost::NowUs() {
    if (realPacing) {
        if (!realStartUs_) {
            realStartUs_ = RealUs();
        }
        return RealUs() - *realStartUs_;
    }
    return nowUs_;
}

void VirtualHost::Advance(std::uint64_t us) {
    // With real pacing, time is the real clock's: what commands cost is not added.
    if (!realPacing) {
        nowUs_ += us;
    }
    if (NowMs() > timeLimitMs) {
        throw TimeLimitPassed();
    }
}

void VirtualHost::Sleep(std::uint32_t ms) {
    pauses_.push_back({trace_.size(), ms});
    if (realPacing) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    Advance(std::uint64_t{ms} * 1000);
}

std::vector<std::uint32_t> VirtualHost::PauseLengths() const {
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
            nowUs_ = ms * 1000;
        }
    }
}

void VirtualHost::Leave(int drive, bool returns) {
    away_ = Away{slots_[drive].recorder,
                 NowUs() + restart.awayMs * 1000,
                 restart.awayOpens,
                 drive,
                 restart.returnDrive < 0 ? drive : restart.returnDrive,
                 returns};
    slots_[drive] = {};
}

void VirtualHost::Arrivals() {
    if (away_ && away_->returns && NowUs() >= away_->returnAtUs && away_->opensLeft <= 0) {
        away_->recorder->Boot();
        if (away_->recorder->Bricked()) {
            away_->returns = false;
            return;
        }
        slots_[away_->returnDrive] = {
            DriveKind::Recorder, away_->recorder, {}, restart.returnOpenFailure};
        away_.reset();
    }
}

std::intptr_t VirtualHost::Open(const char* devicePath, OpenFailure& failure) {
    const int drive = DriveOf(devicePath);
    if (away_ && drive == away_->leftDrive) {
        --away_->opensLeft;
    }
    Arrivals();
    failure = OpenFailure::None;
    if (drive < 0 || slots_[drive].kind == DriveKind::Empty) {
        failure = OpenFailure::Absent;
    } else if (slots_[drive].openFailure != OpenFailure::None) {
        failure = slots_[drive].openFailure;
    }
    if (failure != OpenFailure::None) {
        ++failedOpens_;
        Advance(failedOpenCostUs);
        return -1;
    }
    return drive + 1;
}

void VirtualHost::Close(std::intptr_t) {}

const Fault* VirtualHost::TakeFault(const CommandView& view) {
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
    const Reply reply = slot.recorder->Execute(block, dataIn ? buffer : std::span<std::uint8_t>{},
                                               dataIn ? std::span<const std::uint8_t>{} : sent);
    result.good = reply.good;
    result.sense = reply.sense;
    result.moved = reply.moved;
    return result;
}

HostResult VirtualHost::Execute(std::intptr_t handle, std::uint8_t direction,
                                const std::uint8_t* cdb, void* data, std::uint32_t length) {
    const int drive = static_cast<int>(handle) - 1;
    Slot& slot = slots_[drive];
    CommandBlock block{};
    std::copy_n(cdb, block.size(), block.begin());
    auto* bytes = static_cast<std::uint8_t*>(data);
    const bool dataIn = direction == 1;
    const std::span<std::uint8_t> buffer =
        bytes != nullptr ? std::span(bytes, length) : std::span<std::uint8_t>{};

    CommandRecord record{drive, block, direction, length, {}, false, NowUs()};
    if (!dataIn) {
        record.data.assign(buffer.begin(), buffer.end());
    }
    Advance(commandCostUs);
    const CommandView view{drive, block, record.data, trace_.size()};
    const Fault* taken = TakeFault(view);
    const std::optional<FaultAction> fault =
        taken != nullptr ? std::optional(taken->action) : std::nullopt;

    HostResult result;
    if (fault == FaultAction::Vanish) {
        if (slot.recorder) {
            Leave(drive, false);
        }
    } else if (fault != FaultAction::FailCommand) {
        result = Carry(slot, block, direction, buffer, record.data);
        if (slot.recorder && slot.recorder->TakeRestartRequest()) {
            ++restarts_;
            if (restart.kind != RestartBehaviour::Kind::NeverLeaves) {
                Leave(drive, restart.kind == RestartBehaviour::Kind::Normal);
            }
        }
        if (fault == FaultAction::CheckCondition) {
            result.good = false;
            result.sense = kAborted;
            if (slot.recorder) {
                slot.recorder->ReportedAsFailed();
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
