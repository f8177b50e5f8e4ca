// Text for the operator: shown on the console and kept in the command log. The
// updater's dialogue and the progress of programming and erasing all go through it.
#pragma once

#include <string_view>

namespace qdp {

void ShowText(std::string_view text);

} // namespace qdp
