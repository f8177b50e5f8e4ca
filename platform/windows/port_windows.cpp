// The USB port of a physical drive: the disk's device number, matched over the disk
// interfaces that SetupAPI lists, gives its device node; the node's location paths,
// or its parents', name the port (PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)), which stays
// the same when the disk restarts and comes back under another number.
#include "platform/platform.h"

#include <windows.h>

// The property keys and the disk interface's GUID are defined here, not only declared.
#include <initguid.h>

#include <cfgmgr32.h>
#include <devpkey.h>
#include <setupapi.h>
#include <winioctl.h>

#include <array>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <vector>

// The disk interface class, GUID_DEVINTERFACE_DISK.
DEFINE_GUID(kDiskInterface, 0x53f56307L, 0xb6bf, 0x11d0, 0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb,
            0x8b);

namespace qdp::os {
namespace {

std::optional<STORAGE_DEVICE_NUMBER> DeviceNumber(const wchar_t* path) {
    const HANDLE device = ::CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    const BOOL got = ::DeviceIoControl(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                       sizeof number, &returned, nullptr);
    ::CloseHandle(device);
    return got != 0 ? std::optional(number) : std::nullopt;
}

// The device node of the disk interface with that number; 0 for none.
DEVINST DiskNode(const STORAGE_DEVICE_NUMBER& wanted) {
    const HDEVINFO disks = ::SetupDiGetClassDevsW(&kDiskInterface, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (disks == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DEVINST found = 0;
    // ("interface" is a word the Windows headers take for themselves.)
    SP_DEVICE_INTERFACE_DATA disk{};
    disk.cbSize = sizeof disk;
    for (DWORD i = 0;
         found == 0 && ::SetupDiEnumDeviceInterfaces(disks, nullptr, &kDiskInterface, i, &disk);
         ++i) {
        DWORD size = 0;
        ::SetupDiGetDeviceInterfaceDetailW(disks, &disk, nullptr, 0, &size, nullptr);
        std::vector<std::uint8_t> storage(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA node{};
        node.cbSize = sizeof node;
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ||
            ::SetupDiGetDeviceInterfaceDetailW(disks, &disk, detail, size, nullptr, &node) == 0) {
            continue;
        }
        const auto number = DeviceNumber(detail->DevicePath);
        if (number && number->DeviceType == wanted.DeviceType &&
            number->DeviceNumber == wanted.DeviceNumber) {
            found = node.DevInst;
        }
    }
    ::SetupDiDestroyDeviceInfoList(disks);
    return found;
}

// The first of a node's location paths that passes through USB.
bool UsbLocation(DEVINST node, std::span<char> out) {
    DEVPROPTYPE type = 0;
    std::array<wchar_t, 1024> paths{};
    ULONG size = sizeof paths;
    if (::CM_Get_DevNode_PropertyW(node, &DEVPKEY_Device_LocationPaths, &type,
                                   reinterpret_cast<PBYTE>(paths.data()), &size, 0) != CR_SUCCESS ||
        type != DEVPROP_TYPE_STRING_LIST) {
        return false;
    }
    for (const wchar_t* path = paths.data(); *path != L'\0'; path += std::wcslen(path) + 1) {
        if (std::wcsstr(path, L"USB(") != nullptr) {
            const int length = std::snprintf(out.data(), out.size(), "%ls", path);
            return length > 0 && static_cast<std::size_t>(length) < out.size();
        }
    }
    return false;
}

} // namespace

bool DrivePort(const char* devicePath, std::span<char> out) {
    std::array<wchar_t, 64> path{};
    std::swprintf(path.data(), path.size(), L"%hs", devicePath);
    const auto number = DeviceNumber(path.data());
    DEVINST node = number ? DiskNode(*number) : 0;
    // From the disk up: the USB device that holds it names the port.
    for (int depth = 0; node != 0 && depth < 8; ++depth) {
        if (UsbLocation(node, out)) {
            return true;
        }
        DEVINST parent = 0;
        node = ::CM_Get_Parent(&parent, node, 0) == CR_SUCCESS ? parent : 0;
    }
    return false;
}

} // namespace qdp::os
