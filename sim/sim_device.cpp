// The seam's drives and clock, served by the virtual host.
#include "platform/platform.h"
#include "sim/virtual_host.h"

namespace qdp::os {

DriveHandle OpenDrive(const char* devicePath) {
    return sim::VirtualHost::Instance().Open(devicePath);
}

bool PassThrough(DriveHandle drive, const ScsiCommand& command) {
    return sim::VirtualHost::Instance().Execute(drive, command.direction, command.cdb, command.data,
                                                command.length);
}

void CloseDrive(DriveHandle drive) { sim::VirtualHost::Instance().Close(drive); }

void SleepMs(std::uint32_t milliseconds) { sim::VirtualHost::Instance().Sleep(milliseconds); }

std::uint64_t SteadyMs() { return sim::VirtualHost::Instance().NowMs(); }

} // namespace qdp::os
