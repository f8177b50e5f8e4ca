#pragma once

#include "firmware/image_store.h"

namespace qdp {

inline constexpr std::uint8_t kProgramPiece = 32;
inline constexpr std::uint32_t kPauseAfterWriteMs = 50;

// Writes the program area of an image page by page: one page erase, then 32-byte
// writes each followed by a pause; one "." per page. A failure is recorded and the
// run goes on; true only when every command succeeded. Pages go in increasing
// order, except that an installer's marked page goes last.
[[nodiscard]] bool ProgramImage(const ImageBuffer& image);

} // namespace qdp
