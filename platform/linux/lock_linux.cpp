// The instance lock on Linux: a socket bound to the name in the abstract namespace.
// Only one socket can hold a name, and the kernel drops it when the process ends.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qdp::os {

InstanceLock CreateInstanceLock(const char* name) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return {LockOutcome::Failed, -1};
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::min(std::strlen(name), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name, length); // sun_path[0] stays 0: abstract
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0) {
        return {LockOutcome::Created, fd};
    }
    if (errno == EADDRINUSE) {
        return {LockOutcome::AlreadyExists, fd};
    }
    ::close(fd);
    return {LockOutcome::Failed, -1};
}

void CloseInstanceLock(std::intptr_t handle) {
    if (handle >= 0) {
        ::close(static_cast<int>(handle));
    }
}

} // namespace qdp::os
