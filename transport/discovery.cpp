#include "transport/discovery.h"

#include "include/QDp_FW_FirstUpdater.h"
#include "transport/scsi_executor.h"
#include "transport/transport_state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qdp {

bool CheckInquiry() {
    // The compared bytes are cleared every time: a short reply must not be completed by
    // an earlier one. The rest is only written by the device.
    std::array<std::uint8_t, kInquiryReplySize> reply;
    std::fill_n(reply.begin(), ExpectedInquiry.size(), std::uint8_t{0});
    if (Execute(kDataIn, StandardBlock(kOpInquiry), reply.data(), kInquiryReplySize) == 0) {
        return false;
    }
    return std::equal(ExpectedInquiry.begin(), ExpectedInquiry.end(), reply.begin());
}

bool LoadDeviceParams() {
    if (Execute(kDataIn, VendorBlock(kVendorReadFlashParams), &Transport.FlashParams,
                sizeof Transport.FlashParams) == 0) {
        return false;
    }
    std::array<std::uint8_t, kReadCapacityReplySize> capacity{};
    if (Execute(kDataIn, StandardBlock(kOpReadCapacity10), capacity.data(),
                kReadCapacityReplySize) == 0) {
        return false;
    }
    Transport.SectorSize = GetBigEndian32(&capacity[4]);
    return true;
}

namespace {

bool ProbeCurrentDevice() { return CheckInquiry() && LoadDeviceParams(); }

void SelectDrive(int drive) {
    Transport.DevicePath[kDriveDigitIndex] = static_cast<char>('0' + drive);
}

// The current device and its caches, put back when a listing ends: listing probes
// every drive but selects none of them.
class KeepCurrentDevice {
  public:
    KeepCurrentDevice()
        : path_(Transport.DevicePath), params_(Transport.FlashParams),
          sectorSize_(Transport.SectorSize) {}
    ~KeepCurrentDevice() {
        Transport.DevicePath = path_;
        Transport.FlashParams = params_;
        Transport.SectorSize = sectorSize_;
    }
    KeepCurrentDevice(const KeepCurrentDevice&) = delete;
    KeepCurrentDevice& operator=(const KeepCurrentDevice&) = delete;

  private:
    DevicePathText path_;
    ::FlashParams params_;
    std::uint32_t sectorSize_;
};

} // namespace
} // namespace qdp

extern "C" int32_t QDp_GetDevices(char** devices) {
    if (devices == nullptr) {
        return 0;
    }
    const qdp::KeepCurrentDevice keep;
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
        std::memcpy(entry, qdp::Transport.DevicePath.data(), qdp::kDevicePathSize);
        devices[count++] = entry;
    }
    return count;
}

extern "C" void QDp_FreeDevices(char** devices, int32_t count) {
    if (devices == nullptr) {
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        delete[] devices[i];
        devices[i] = nullptr;
    }
}

extern "C" int32_t QDp_IsConnected(char** deviceName) {
    if (deviceName == nullptr) {
        return 0;
    }
    qdp::DevicePathText& path = qdp::Transport.DevicePath;
    if (*deviceName != nullptr) {
        const std::size_t length = strnlen(*deviceName, qdp::kDevicePathSize);
        if (length >= qdp::kDevicePathSize) {
            return 0; // would not fit DevicePath
        }
        std::memcpy(path.data(), *deviceName, length + 1);
        return qdp::ProbeCurrentDevice() ? 1 : 0;
    }
    for (int drive = 0; drive < qdp::kProbedDrives; ++drive) {
        qdp::SelectDrive(drive);
        if (qdp::ProbeCurrentDevice()) {
            const std::size_t size = std::strlen(path.data()) + 1;
            if (auto* copy = static_cast<char*>(std::malloc(size))) {
                std::memcpy(copy, path.data(), size);
                *deviceName = copy;
            }
            return 1;
        }
    }
    return 0;
}
