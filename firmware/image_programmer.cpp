#include "firmware/image_programmer.h"

#include "controller/controller_commands.h"
#include "firmware/console_text.h"
#include "platform/platform.h"

namespace qdp {

bool ProgramImage(const ImageBuffer& image) {
    bool result = true;
    for (std::uint32_t page = 0; page < kProgramPages; ++page) {
        const std::uint32_t base = page * kControllerPageSize;
        if (!Ctrl_ErasePage(static_cast<std::uint16_t>(base))) {
            result = false;
        }
        for (std::uint32_t offset = 0; offset < kControllerPageSize; offset += kProgramPiece) {
            const std::uint32_t address = base + offset;
            if (!Ctrl_WriteMemory(static_cast<std::uint16_t>(address), kProgramPiece,
                                  &image[address])) {
                result = false;
            }
            os::SleepMs(kPauseAfterWriteMs);
        }
        ShowText(".");
    }
    return result;
}

} // namespace qdp
