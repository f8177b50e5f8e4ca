// The images are RCDATA resources of the program's own executable.
#include "platform/platform.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace qdp::os {

void ProgramPath(const char* argv0, std::span<char> out) {
    if (out.empty()) {
        return;
    }
    const DWORD size = static_cast<DWORD>(out.size());
    const DWORD length = ::GetModuleFileNameA(nullptr, out.data(), size);
    if (length > 0 && length < size) {
        return;
    }
    const std::size_t copied = std::min(std::strlen(argv0), out.size() - 1);
    std::memcpy(out.data(), argv0, copied);
    out[copied] = '\0';
}

bool ReadImageResource(const char* modulePath, const char* name, std::span<std::uint8_t> dest) {
    const HMODULE module = ::LoadLibraryA(modulePath);
    if (module == nullptr) {
        return false;
    }
    bool copied = false;
    if (const HRSRC resource = ::FindResourceA(module, name, RT_RCDATA)) {
        const HGLOBAL loaded = ::LoadResource(module, resource);
        const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
        if (bytes != nullptr && ::SizeofResource(module, resource) >= dest.size()) {
            std::memcpy(dest.data(), bytes, dest.size());
            copied = true;
        }
    }
    ::FreeLibrary(module);
    return copied;
}

} // namespace qdp::os
