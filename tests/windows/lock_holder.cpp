// Holds the instance lock as another recorder application would: a named mutex
// "VornakHS_", for the given number of seconds.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const HANDLE mutex = ::CreateMutexA(nullptr, TRUE, "VornakHS_");
    if (mutex == nullptr) {
        std::puts("cannot create the mutex");
        return 1;
    }
    std::puts("holding VornakHS_");
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(argc > 1 ? std::atoi(argv[1]) : 30) * 1000);
    ::CloseHandle(mutex);
    return 0;
}
