#include "controller/controller_commands.h"

#include "device/i2c_tunnel.h"
#include "include/QDp_FW_FirstUpdater.h"

#include <array>
#include <cstring>

namespace qdp {
namespace {

// Frames are built in, and replies received into, one buffer per call.
using WorkBuffer = std::array<std::uint8_t, kMaxI2CTransfer>;

void PutFrameHead(WorkBuffer& work, std::uint8_t command, std::uint16_t address) {
    work[0] = command;
    work[1] = static_cast<std::uint8_t>(address);
    work[2] = static_cast<std::uint8_t>(address >> 8);
}

bool Exchange(WorkBuffer& work, std::uint8_t outLength, std::uint8_t inLength) {
    return QDp_SendReceiveI2C(work.data(), outLength, work.data(), inLength) != 0;
}

} // namespace

bool Ctrl_ReadMemory(std::uint16_t address, std::uint8_t count, std::uint8_t* destination) {
    if (count > kMaxMemoryRead) {
        return false;
    }
    WorkBuffer work{};
    PutFrameHead(work, kFrameMemoryRead, address);
    work[3] = count;
    if (!Exchange(work, kAddressedFrameHeader, count)) {
        return false;
    }
    if (count > 0) {
        std::memcpy(destination, work.data(), count);
    }
    return true;
}

bool Ctrl_WriteMemory(std::uint16_t address, std::uint8_t count, const std::uint8_t* source) {
    if (count > kMaxMemoryWrite) {
        return false;
    }
    WorkBuffer work{};
    PutFrameHead(work, kFrameMemoryWrite, address);
    work[3] = count;
    if (count > 0) {
        std::memcpy(&work[kAddressedFrameHeader], source, count);
    }
    // The reply echoes the data; it is not compared.
    return Exchange(work, static_cast<std::uint8_t>(kAddressedFrameHeader + count), count);
}

bool Ctrl_ErasePage(std::uint16_t address) {
    WorkBuffer work{};
    PutFrameHead(work, kFramePageErase, address);
    return Exchange(work, kPageEraseFrameSize, kPageEraseReplySize);
}

bool Ctrl_Restart() {
    const std::array<std::uint8_t, kRestartFrameSize> frame = {kFrameRestart, kRestartFrameFiller};
    return QDp_SendReceiveI2C(frame.data(), kRestartFrameSize, nullptr, 0) != 0;
}

bool Ctrl_ReadBootLoaderRecord(BootLoaderRecord* record) {
    if (!Ctrl_ReadMemory(kBootLoaderRecordAddress, sizeof *record,
                         reinterpret_cast<std::uint8_t*>(record))) {
        return false;
    }
    record->version = SwapBytes16(record->version);
    return true;
}

bool Ctrl_ReadFirmwareStatus(FirmwareStatusRecord* record) {
    if (!Ctrl_ReadMemory(kFirmwareStatusAddress, sizeof *record,
                         reinterpret_cast<std::uint8_t*>(record))) {
        return false;
    }
    return std::memcmp(record->marker, kFirmwareMarker, sizeof kFirmwareMarker) == 0;
}

} // namespace qdp
