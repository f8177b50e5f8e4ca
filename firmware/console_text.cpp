#include "firmware/console_text.h"

#include "platform/platform.h"
#include "transport/command_log.h"

#include <cstdio>

namespace qdp {
namespace {

thread_local TextSink* Sink = nullptr;

} // namespace

void SetTextSink(TextSink* sink) { Sink = sink; }

TextSink& StandardErrorSink() {
    struct StandardError : TextSink {
        void Show(std::string_view text) override {
            std::fwrite(text.data(), 1, text.size(), stderr);
        }
    };
    static StandardError sink;
    return sink;
}

void ShowDocument(std::string_view text) {
    os::WriteText(text);
    LogConsoleText(text);
}

void ShowText(std::string_view text) {
    if (Sink != nullptr) {
        Sink->Show(text);
    } else {
        os::WriteText(text);
    }
    LogConsoleText(text);
}

} // namespace qdp
