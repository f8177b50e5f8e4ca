#include "firmware/memory_erase.h"

#include "firmware/console_text.h"
#include "include/QDp_FW_FirstUpdater.h"

#include <algorithm>
#include <cstdint>

namespace qdp {

bool EraseMemory() {
    ::FlashParams params{};
    QDp_GetFlashParams(&params);
    if (params.unitCount == 0 || params.pageSize == 0 || params.pagesPerBlock == 0) {
        return false;
    }
    // Page numbers are 32-bit; a page counter that wrapped would erase the start of
    // the flash, so the erase ends at the last page a command can address.
    std::uint64_t page = kPreservedBytes / params.pageSize;
    const std::uint32_t preservedBlocks = static_cast<std::uint32_t>(page) / params.pagesPerBlock;
    const std::uint32_t totalBlocks = std::uint32_t{params.unitCount} * params.blocksPerUnit;
    std::uint32_t remaining = totalBlocks > preservedBlocks ? totalBlocks - preservedBlocks : 0;
    while (remaining > 0 && page <= UINT32_MAX) {
        ShowText(".");
        const auto blocks =
            static_cast<std::uint8_t>(std::min<std::uint32_t>(kMaxBlocksPerErase, remaining));
        // A failed erase is neither retried nor reported: the next blocks still go.
        static_cast<void>(QDp_EraseBlocks(static_cast<std::uint32_t>(page), blocks));
        remaining -= blocks;
        page += std::uint64_t{blocks} * params.pagesPerBlock;
    }
    ShowText("OK\n");
    return true;
}

} // namespace qdp
