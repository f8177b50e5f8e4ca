#include "firmware/memory_erase.h"

#include "include/QDp_FW_FirstUpdater.h"
#include "platform/platform.h"

#include <algorithm>

namespace qdp {

bool EraseMemory() {
    ::FlashParams params{};
    QDp_GetFlashParams(&params);
    if (params.unitCount == 0 || params.pageSize == 0 || params.pagesPerBlock == 0) {
        return false;
    }
    std::uint32_t page = kPreservedBytes / params.pageSize;
    const std::uint32_t preservedBlocks = page / params.pagesPerBlock;
    const std::uint32_t totalBlocks = std::uint32_t{params.unitCount} * params.blocksPerUnit;
    std::uint32_t remaining = totalBlocks > preservedBlocks ? totalBlocks - preservedBlocks : 0;
    while (remaining > 0) {
        os::WriteText(".");
        const auto blocks =
            static_cast<std::uint8_t>(std::min<std::uint32_t>(kMaxBlocksPerErase, remaining));
        QDp_EraseBlocks(page, blocks); // a failed command is not retried or reported
        remaining -= blocks;
        page += std::uint32_t{blocks} * params.pagesPerBlock;
    }
    os::WriteText("OK\n");
    return true;
}

} // namespace qdp
