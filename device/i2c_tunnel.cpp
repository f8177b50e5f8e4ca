// I2C transfers to the recorder's controller, carried by vendor commands. The
// storage device picks the I2C peer itself; the command holds only the length.
#include "device/i2c_tunnel.h"

#include "include/QDp_FW_FirstUpdater.h"
#include "transport/command_block.h"
#include "transport/scsi_executor.h"

namespace qdp {
namespace {

std::int32_t Transfer(std::uint8_t subCode, std::uint8_t direction, void* buffer,
                      std::uint8_t length) {
    if (length > kMaxI2CTransfer || (buffer == nullptr && length != 0)) {
        return 0;
    }
    CommandBlock block = VendorBlock(subCode);
    block[kI2CLengthAt] = length;
    return Execute(direction, block, buffer, length);
}

} // namespace
} // namespace qdp

extern "C" int32_t QDp_SendI2C(const void* buffer, uint8_t length) {
    // The pass-through takes one buffer for both directions; this one is only read.
    return qdp::Transfer(qdp::kVendorI2CSend, qdp::kDataOut, const_cast<void*>(buffer), length);
}

extern "C" int32_t QDp_ReceiveI2C(void* buffer, uint8_t length) {
    return qdp::Transfer(qdp::kVendorI2CReceive, qdp::kDataIn, buffer, length);
}

extern "C" uint8_t QDp_SendReceiveI2C(const void* outBuffer, uint8_t outLength, void* inBuffer,
                                      uint8_t inLength) {
    if ((outBuffer == nullptr && outLength != 0) || (inBuffer == nullptr && inLength != 0)) {
        return 0; // a transfer without its buffer: refused before anything is sent
    }
    bool result = true;
    if (outLength != 0) {
        result = QDp_SendI2C(outBuffer, outLength) != 0;
    }
    if (result && inLength != 0) {
        result = QDp_ReceiveI2C(inBuffer, inLength) != 0;
    }
    return result ? 1 : 0;
}
