#include "firmware/console_text.h"

#include "platform/platform.h"
#include "transport/command_log.h"

namespace qdp {

void ShowText(std::string_view text) {
    os::WriteText(text);
    LogConsoleText(text);
}

} // namespace qdp
