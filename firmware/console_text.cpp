#include "firmware/console_text.h"

#include "platform/platform.h"
#include "transport/command_log.h"

namespace qdp {
namespace {

thread_local TextSink* Sink = nullptr;

} // namespace

void SetTextSink(TextSink* sink) { Sink = sink; }

void ShowText(std::string_view text) {
    if (Sink != nullptr) {
        Sink->Show(text);
    } else {
        os::WriteText(text);
    }
    LogConsoleText(text);
}

} // namespace qdp
