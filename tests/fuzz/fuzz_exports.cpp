// The exported functions called with arbitrary arguments, each with a buffer of
// exactly the size its documentation asks for, against a recorder of arbitrary
// geometry that sometimes fails or alters its replies.
#include "include/QDp_FW_FirstUpdater.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/support/test_support.h"
#include "transport/transport_state.h"

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using qdp::fuzz::FuzzInput;
using namespace qdp;

constexpr std::size_t kLargestBuffer = 1 << 20;

std::vector<std::uint8_t> Buffer(FuzzInput& in, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& byte : bytes) {
        byte = in.Empty() ? 0 : in.Byte();
        if (in.Empty()) {
            break;
        }
    }
    return bytes;
}

void Call(FuzzInput& in) {
    const ::FlashParams params = qdp::Transport.FlashParams;
    switch (in.Below(12)) {
    case 0: {
        std::array<char*, 9> devices{};
        QDp_FreeDevices(devices.data(), QDp_GetDevices(devices.data()));
        break;
    }
    case 1: {
        char* name = nullptr;
        std::string named;
        for (std::uint32_t length = in.Below(24); length > 0; --length) {
            named += static_cast<char>(in.Byte() | 1);
        }
        if (in.Byte() & 1) {
            name = named.data();
            QDp_IsConnected(&name);
        } else if (QDp_IsConnected(&name) != 0) {
            std::free(name);
        }
        break;
    }
    case 2: {
        ::FlashParams out;
        QDp_GetFlashParams(&out);
        QDp_GetSectorSize();
        break;
    }
    case 3:
    case 4: {
        const std::uint32_t first = in.Long();
        const std::uint16_t count = static_cast<std::uint16_t>(in.Below(600));
        const std::size_t size = std::size_t{count} * params.pageSize;
        if (size <= kLargestBuffer) {
            std::vector<std::uint8_t> buffer = Buffer(in, size);
            if (in.Byte() & 1) {
                QDp_ReadPages(first, buffer.data(), count);
            } else {
                QDp_WritePages(first, buffer.data(), count);
            }
        }
        break;
    }
    case 5: {
        const std::uint32_t first = in.Word();
        const std::uint16_t count = static_cast<std::uint16_t>(in.Below(5000));
        const std::uint16_t offset = in.Word(), partSize = in.Word(), step = in.Word();
        const std::size_t size = std::size_t{count} * partSize;
        if (size <= kLargestBuffer) {
            std::vector<std::uint8_t> buffer(size);
            QDp_ReadPartsOfPages(first, count, offset, partSize, step, buffer.data());
        }
        break;
    }
    case 6: {
        const std::uint32_t first = in.Long();
        QDp_EraseBlocks(first, in.Byte());
        break;
    }
    case 7:
    case 8: {
        const std::uint8_t length = in.Byte();
        std::vector<std::uint8_t> buffer = Buffer(in, length);
        if (in.Byte() & 1) {
            QDp_SendI2C(buffer.data(), length);
        } else {
            QDp_ReceiveI2C(buffer.data(), length);
        }
        break;
    }
    case 9:
    case 10: {
        const std::uint8_t outLength = in.Byte(), inLength = in.Byte();
        std::vector<std::uint8_t> out = Buffer(in, outLength);
        std::vector<std::uint8_t> reply(inLength);
        const unsigned shape = in.Byte();
        void* replyTo = shape & 1 ? nullptr : (shape & 2 ? out.data() : reply.data());
        const std::uint8_t replyLength = shape & 2 ? std::min(inLength, outLength) : inLength;
        QDp_SendReceiveI2C(shape & 4 ? nullptr : out.data(), outLength, replyTo, replyLength);
        break;
    }
    default: {
        std::array<std::uint8_t, 16> cdb{};
        for (std::uint8_t& byte : cdb) {
            byte = in.Byte();
        }
        const std::uint32_t length = in.Below(70000);
        std::vector<std::uint8_t> buffer = Buffer(in, length);
        Execute_SCSI_Cmd(static_cast<int32_t>(in.Word()), cdb.data(),
                         length == 0 ? nullptr : buffer.data(), length);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    test::ResetProcess();
    sim::VirtualHost& host = test::Host();
    const sim::Geometry geometry = fuzz::FuzzedGeometry(in);
    host.AttachRecorder(static_cast<int>(in.Below(10)), geometry);
    if (in.Byte() & 1) {
        host.AttachOtherDisk(static_cast<int>(in.Below(10)));
    }
    host.AddFault(fuzz::Decided(in, sim::FaultAction::FailCommand, 245));
    host.AddFault(fuzz::Decided(in, sim::FaultAction::AlterReply, 245));
    for (int calls = 0; calls < 16 && !in.Empty(); ++calls) {
        Call(in);
    }
    return 0;
}
