// Helpers shared by the tests that run the updater against the virtual recorder.
// Expected values are written out in the tests themselves, in the recorder's terms;
// only the versions offered come from the images built into the program, so that a
// maintainer's own image keeps the suite meaningful.
#pragma once

#include "sim/virtual_host.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qdp::test {

using CommandBlock = sim::CommandBlock;

// Puts the virtual host and every process-wide variable of the updater back to
// their state at program start.
void ResetProcess();

sim::VirtualHost& Host();

// What the firmware image built into the program offers.
struct Offered {
    std::uint16_t firmware;
    std::uint16_t bootLoader;
    std::string identification; // the boot loader's seven bytes
};
const Offered& OfferedByTheImage();
// "2.5" for 0x0205.
std::string VersionText(std::uint16_t version);
// True when the images built in are the committed resources/*.bin.
bool CommittedImagesBuiltIn();

// A recorder as shipped with the offered boot loader's code and identification, the
// given boot-loader version (the offered one unless given) and firmware 2.4.
sim::VirtualRecorder& AttachStandardRecorder(int drive, int bootLoader = -1,
                                             std::uint16_t firmware = 0x0204);

// A recorder on drive 0, identified and selected; the trace starts empty.
sim::VirtualRecorder& Identify(sim::Geometry geometry = {});

CommandBlock Block(std::initializer_list<std::uint8_t> leading);

// The commands of the trace, optionally only those of one opcode/sub-code.
std::vector<sim::CommandRecord> Commands(std::uint8_t opcode, int subCode = -1);

// The controller frames sent (I2C sends) in trace order.
std::vector<std::vector<std::uint8_t>> ControllerFrames();

// `words` as main receives them: the program's name inserted first, then a null; the
// pointers are into `words`.
std::vector<char*> Argv(std::vector<std::string>& words);
// Runs the updater with `words` after its name; returns its exit code.
int RunWords(std::vector<std::string> words);

// Source-tree files (committed images and descriptions).
std::vector<std::uint8_t> ReadSourceFile(const std::string& relativePath);

// The trace as text, one line per command and per pause, as the golden trace holds it.
std::string TraceText();

} // namespace qdp::test
