// Helpers shared by the tests that run the updater against the virtual recorder.
#pragma once

#include "sim/virtual_host.h"
#include "transport/command_block.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qdp::test {

// Puts the virtual host and every process-wide variable of the updater back to
// their state at program start.
void ResetProcess();

sim::VirtualHost& Host();

// A recorder as shipped with the firmware image's boot loader: version and
// identification of the image, and the given firmware.
sim::VirtualRecorder& AttachStandardRecorder(int drive, std::uint16_t bootLoader = 0x0103,
                                             std::uint16_t firmware = 0x0204);

// A recorder on drive 0, identified and selected; the trace starts empty.
sim::VirtualRecorder& Identify(sim::Geometry geometry = {});

CommandBlock Block(std::initializer_list<std::uint8_t> leading);

// The commands of the trace, optionally only those of one opcode/sub-code.
std::vector<sim::CommandRecord> Commands(std::uint8_t opcode, int subCode = -1);

// The controller frames sent (I2C sends) in trace order.
std::vector<std::vector<std::uint8_t>> ControllerFrames();

// Source-tree files (committed images and descriptions).
std::vector<std::uint8_t> ReadSourceFile(const std::string& relativePath);

} // namespace qdp::test
