// The seam's instance lock, served by the virtual host: a lock is held elsewhere
// only under the exact name the host was given.
#include "platform/platform.h"
#include "sim/virtual_host.h"

namespace qdp::os {

InstanceLock CreateInstanceLock(const char* name) {
    sim::VirtualHost& host = sim::VirtualHost::Instance();
    host.locksTaken.emplace_back(name);
    const bool held = host.locksHeldElsewhere.contains(name);
    return {held ? LockOutcome::AlreadyExists : LockOutcome::Created, 1};
}

void CloseInstanceLock(std::intptr_t) { ++sim::VirtualHost::Instance().lockCloses; }

} // namespace qdp::os
