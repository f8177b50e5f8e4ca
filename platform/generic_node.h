// Linux's SCSI generic nodes by the names the updater gives drives: /dev/sgN is
// "\\.\PHYSICALDRIVEN". Shared by the Linux backend and the virtual recorder's,
// which names drives as Linux does.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>
#include <string_view>

namespace qdp::os {

// The device path of a /dev/sgN name; false for any other name, and for N past 9,
// which a device path cannot hold.
inline bool DevicePathOfGenericNode(std::string_view name, std::span<char> out) {
    constexpr std::string_view kGenericNode = "/dev/sg";
    if (name.size() != kGenericNode.size() + 1 || !name.starts_with(kGenericNode) ||
        name.back() < '0' || name.back() > '9') {
        return false;
    }
    const int length = std::snprintf(out.data(), out.size(), "\\\\.\\PHYSICALDRIVE%c", name.back());
    return length > 0 && static_cast<std::size_t>(length) < out.size();
}

} // namespace qdp::os
