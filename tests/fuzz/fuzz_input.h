// Reads a fuzzer's input as a stream of small decisions; past its end every
// decision is 0, which means "as a sound recorder and operator would".
#pragma once

#include "sim/virtual_host.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace qdp::fuzz {

class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

    std::uint8_t Byte() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
    std::uint16_t Word() {
        const std::uint8_t low = Byte();
        return static_cast<std::uint16_t>(low | Byte() << 8);
    }
    std::uint32_t Long() {
        const std::uint16_t low = Word();
        return low | std::uint32_t{Word()} << 16;
    }
    std::uint32_t Below(std::uint32_t bound) { return bound == 0 ? 0 : Word() % bound; }
    bool Empty() const { return at_ >= bytes_.size(); }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// A flash geometry, zero fields and odd sizes included.
inline sim::Geometry FuzzedGeometry(FuzzInput& in) {
    sim::Geometry geometry;
    geometry.unitCount = static_cast<std::uint8_t>(in.Below(4));
    geometry.blocksPerUnit = static_cast<std::uint16_t>(in.Word() % 5000);
    geometry.pagesPerBlock = in.Byte();
    geometry.pageSize = static_cast<std::uint16_t>(in.Word() % 9000);
    geometry.sectorSize = in.Byte() & 1 ? 512 : in.Word();
    return geometry;
}

// A fault that hits a command when the input's next byte reaches `threshold`. An
// altered reply has one byte flipped and, when the input says so, is cut short.
inline sim::Fault Decided(FuzzInput& in, sim::FaultAction action, std::uint8_t threshold) {
    sim::Fault fault{[&in, threshold](const sim::CommandView&) { return in.Byte() >= threshold; },
                     action, -1};
    if (action == sim::FaultAction::AlterReply) {
        fault.alter = [&in](std::span<std::uint8_t> reply, std::size_t& moved) {
            if (!reply.empty()) {
                reply[in.Below(static_cast<std::uint32_t>(reply.size()))] ^= in.Byte();
            }
            if (in.Byte() >= 128) {
                moved = in.Below(static_cast<std::uint32_t>(moved) + 1);
            }
        };
    }
    return fault;
}

} // namespace qdp::fuzz
