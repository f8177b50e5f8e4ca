#include "platform/platform.h"

#include <windows.h>

namespace qdp::os {

InstanceLock CreateInstanceLock(const char* name) {
    const HANDLE mutex = ::CreateMutexA(nullptr, TRUE, name);
    const DWORD error = ::GetLastError();
    if (mutex == nullptr) {
        return {LockOutcome::Failed, 0};
    }
    const auto handle = reinterpret_cast<std::intptr_t>(mutex);
    return {error == ERROR_ALREADY_EXISTS ? LockOutcome::AlreadyExists : LockOutcome::Created,
            handle};
}

void CloseInstanceLock(std::intptr_t handle) {
    if (handle != 0) {
        ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
}

} // namespace qdp::os
