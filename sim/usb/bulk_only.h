// The USB mass-storage Bulk-Only Transport on the recorder's side: a command block
// wrapper from the host, the data stage in the direction and length the host asked
// for, a command status wrapper back. The host's expectation and the recorder's own
// view of each command are reconciled as the transport's thirteen cases demand:
// data the recorder has less of is cut short with a stalled pipe and a residue; data
// the wrong way is a phase error.
#pragma once

#include "sim/virtual_recorder.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>

namespace qdp::sim::usb {

inline constexpr std::size_t kCbwSize = 31;
inline constexpr std::size_t kCswSize = 13;
inline constexpr std::uint32_t kCbwSignature = 0x43425355; // "USBC"
inline constexpr std::uint32_t kCswSignature = 0x53425355; // "USBS"

enum class CswStatus : std::uint8_t { Passed = 0, Failed = 1, PhaseError = 2 };

// The two bulk pipes, as the transport uses them.
class BulkPipes {
  public:
    virtual ~BulkPipes() = default;
    // One transfer from the host into `buffer`: its length, or -1 when the pipe
    // failed or the wait was interrupted.
    virtual long Receive(std::span<std::uint8_t> buffer) = 0;
    // One transfer to the host; false when the pipe failed.
    virtual bool Send(std::span<const std::uint8_t> data) = 0;
    virtual void StallIn() = 0;
    virtual void StallOut() = 0;
};

struct CommandWrapper {
    std::uint32_t tag;
    std::uint32_t length; // data the host moves
    bool dataIn;          // the host expects data from the recorder
    std::uint8_t lun;
    std::uint8_t blockLength;
    CommandBlock block;
};

// A wrapper the recorder accepts: 31 bytes, the signature, and meaningful fields
// (LUN 0, a block of 1 to 16 bytes, reserved bits clear).
bool ParseCommandWrapper(std::span<const std::uint8_t> bytes, CommandWrapper& wrapper);

std::array<std::uint8_t, kCswSize> StatusWrapper(std::uint32_t tag, std::uint32_t residue,
                                                 CswStatus status);

// What happened to one command; for the end-of-run record and the test rig.
struct Served {
    enum class Kind { Command, InvalidWrapper, PipeFailed } kind;
    CommandBlock block{};
    CswStatus status = CswStatus::Passed;
    bool restart = false; // the controller took a restart frame
};

class BulkOnlyTarget {
  public:
    explicit BulkOnlyTarget(VirtualRecorder& recorder) : recorder_(recorder) {}

    // Makes a command fail with CHECK CONDITION before the recorder sees it, for
    // fault injection: given the block and the data the host sent.
    std::function<bool(const CommandBlock&, std::span<const std::uint8_t>)> failCommand;

    // Serves one command, from its wrapper to its status.
    Served ServeOne(BulkPipes& pipes);

  private:
    VirtualRecorder& recorder_;
};

} // namespace qdp::sim::usb
