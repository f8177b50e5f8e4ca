// The whole updater, from its entry point, against a recorder whose every answer the
// input decides: the status of each command, altered and short replies, when it
// leaves and comes back, its versions and geometry, and the operator's keys.
#include "app/updater.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/support/test_support.h"

#include <cstdlib>
#include <string>

namespace {

using qdp::fuzz::FuzzInput;
using namespace qdp;

constexpr char kKeys[] = {'Y', 'y', 'L', 'l', 'n', '\r', 3, 27};

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    test::ResetProcess();
    sim::VirtualHost& host = test::Host();
    host.failedOpenCostUs = 1000; // a recorder that never returns: fewer polls of its drive

    const int recorderDrive = static_cast<int>(in.Below(9));
    unsigned otherDisks = 0;
    for (int drive = 0; drive < 9; ++drive) {
        if (drive != recorderDrive && (in.Byte() & 3) == 1) {
            host.AttachOtherDisk(drive);
            otherDisks |= 1u << drive;
        }
    }
    sim::VirtualRecorder& recorder = host.AttachRecorder(recorderDrive, fuzz::FuzzedGeometry(in));
    const auto bootLoader = static_cast<std::uint16_t>(0x0100 + in.Below(6));
    recorder.SetBootLoader(bootLoader, in.Byte() < 224 ? test::OfferedByTheImage().identification
                                                       : std::string("QDP+BLX"));
    const std::uint16_t firmware = in.Word();
    recorder.SetFirmware(firmware, in.Byte() < 192 ? "FWOK" : "FWNO");

    host.restart.kind = static_cast<sim::RestartBehaviour::Kind>(in.Below(3));
    host.restart.awayMs = in.Word() * 4u;
    host.restart.awayOpens = in.Byte() & 7;
    const int returnDrive = in.Byte() < 240 ? -1 : static_cast<int>(in.Below(9));
    host.restart.returnDrive =
        returnDrive >= 0 && (otherDisks >> returnDrive & 1) == 0 ? returnDrive : -1;

    for (std::uint32_t keys = in.Below(6); keys > 0; --keys) {
        const std::uint8_t key = in.Byte();
        if (key >= 248) {
            host.TypeSpecial(key & 0x7F);
        } else {
            host.Type(std::string(1, kKeys[key % sizeof kKeys]));
        }
    }
    host.Type("\x1b"); // so that a device wait always ends

    // The input decides the fate of each command until it runs out.
    host.AddFault(fuzz::Decided(in, sim::FaultAction::FailCommand, 240));
    host.AddFault(fuzz::Decided(in, sim::FaultAction::Vanish, 250));
    host.AddFault(fuzz::Decided(in, sim::FaultAction::AlterReply, 240));

    std::string program = "QDp_FW_FirstUpdater";
    std::string diag = "diag";
    char* argv[] = {program.data(), diag.data(), nullptr};
    const int exitCode = UpdaterMain(in.Byte() & 1 ? 2 : 1, argv);

    Check(exitCode == 0 || exitCode == 2);
    for (const sim::CommandRecord& record : host.Trace()) {
        // Other disks only ever receive INQUIRY.
        Check((otherDisks >> record.drive & 1) == 0 || record.block[0] == 0x12);
    }
    if (host.console.find("Current firmware version: unavailable.") != std::string::npos) {
        Check(test::Commands(0xC8, 0x0A).empty());
    }
    return 0;
}
