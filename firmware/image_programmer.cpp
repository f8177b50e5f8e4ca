#include "firmware/image_programmer.h"

#include "controller/controller_commands.h"
#include "firmware/console_text.h"
#include "platform/platform.h"

#include <algorithm>
#include <iterator>

namespace qdp {
namespace {

// The page written last. The firmware's is the page of its status record, which
// makes it a firmware the boot loader starts. An installer's is the page of its
// mark: one cut short (the recorder unplugged) must not start at the next power-up
// and install a boot-loader section that it does not yet carry whole.
std::uint32_t LastPage(const ImageBuffer& image) {
    const bool installer = std::equal(std::begin(kInstallerMark), std::end(kInstallerMark),
                                      image.begin() + kInstallerMarkAt);
    return installer ? kInstallerMarkAt / kControllerPageSize : kProgramPages - 1;
}

} // namespace

bool ProgramImage(const ImageBuffer& image) {
    bool result = true;
    const std::uint32_t last = LastPage(image);
    for (std::uint32_t step = 0; step < kProgramPages; ++step) {
        const std::uint32_t page =
            step == kProgramPages - 1 ? last : (step < last ? step : step + 1);
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
