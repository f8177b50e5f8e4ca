#pragma once

#include "firmware/image_store.h"

#include <span>

namespace qdp {

inline constexpr std::uint8_t kProgramPiece = 32;
inline constexpr std::uint32_t kPauseAfterWriteMs = 50;

// Writes the program area of an image page by page: one page erase, then 32-byte
// writes each followed by a pause; one "." per page. A failure is recorded and the
// run goes on; true only when every command succeeded.
//
// The piece that makes the recorder start the program (its commit: the firmware's
// status record, an installer's mark) is the run's last write: pages go in increasing
// order, except that an installer's marked page goes last, and the commit's piece
// goes after the rest of its page. Once anything failed, the commit goes out with its
// marking bytes erased (0xFF), so that no torn program is ever marked to start.
//
// With `verify`, the whole program area is read back and compared before the commit
// (a difference fails the run), and the commit itself after it; a commit read back
// wrong has its page erased again.
[[nodiscard]] bool ProgramImage(const ImageBuffer& image, bool verify = false);

// Reads controller memory from `first` back and compares it with `expected`; the first
// difference, or a failed read, is named in the command log.
[[nodiscard]] bool VerifyMemory(std::uint32_t first, std::span<const std::uint8_t> expected);

} // namespace qdp
