#include "transport/discovery.h"

#include "include/QDp_FW_FirstUpdater.h"
#include "transport/device_state.h"
#include "transport/scsi_executor.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qdp {

DevicePathText DevicePath = kInitialDevicePath;
::FlashParams FlashParams{};
std::uint32_t SectorSize = kInitialSectorSize;

bool CheckInquiry() {
    // Cleared every time: a short reply must not be completed by an earlier one.
    std::array<std::uint8_t, kInquiryReplySize> reply{};
    if (Execute(kDataIn, StandardBlock(kOpInquiry), reply.data(), kInquiryReplySize) == 0) {
        return false;
    }
    return std::equal(ExpectedInquiry.begin(), ExpectedInquiry.end(), reply.begin());
}

bool LoadDeviceParams() {
    if (Execute(kDataIn, VendorBlock(kVendorReadFlashParams), &FlashParams, sizeof FlashParams) ==
        0) {
        return false;
    }
    std::array<std::uint8_t, kReadCapacityReplySize> capacity{};
    if (Execute(kDataIn, StandardBlock(kOpReadCapacity10), capacity.data(),
                kReadCapacityReplySize) == 0) {
        return false;
    }
    SectorSize = GetBigEndian32(&capacity[4]);
    return true;
}

namespace {

bool ProbeCurrentDevice() { return CheckInquiry() && LoadDeviceParams(); }

void SelectDrive(int drive) { DevicePath[kDriveDigitIndex] = static_cast<char>('0' + drive); }

} // namespace
} // namespace qdp

extern "C" int32_t QDp_GetDevices(char** devices) {
    if (devices == nullptr) {
        return 0;
    }
    int32_t count = 0;
    for (int drive = 0; drive < qdp::kProbedDrives; ++drive) {
        qdp::SelectDrive(drive);
        if (!qdp::ProbeCurrentDevice()) {
            continue;
        }
        char* entry = new (std::nothrow) char[qdp::kDevicePathSize];
        if (entry == nullptr) {
            break;
        }
        std::memcpy(entry, qdp::DevicePath.data(), qdp::kDevicePathSize);
        devices[count++] = entry;
    }
    return count;
}

extern "C" int32_t QDp_IsConnected(char** deviceName) {
    if (deviceName == nullptr) {
        return 0;
    }
    if (*deviceName != nullptr) {
        const std::size_t length = strnlen(*deviceName, qdp::kDevicePathSize);
        if (length >= qdp::kDevicePathSize) {
            return 0; // would not fit DevicePath
        }
        std::memcpy(qdp::DevicePath.data(), *deviceName, length + 1);
        return qdp::ProbeCurrentDevice() ? 1 : 0;
    }
    for (int drive = 0; drive < qdp::kProbedDrives; ++drive) {
        qdp::SelectDrive(drive);
        if (qdp::ProbeCurrentDevice()) {
            const std::size_t size = std::strlen(qdp::DevicePath.data()) + 1;
            if (auto* copy = static_cast<char*>(std::malloc(size))) {
                std::memcpy(copy, qdp::DevicePath.data(), size);
                *deviceName = copy;
            }
            return 1;
        }
    }
    return 0;
}
