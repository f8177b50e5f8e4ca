// Text for the operator: shown on the console and kept in the command log. The
// updater's dialogue and the progress of programming and erasing all go through it.
#pragma once

#include <string_view>

namespace qdp {

void ShowText(std::string_view text);

// Where one thread's text goes instead of the console: a recorder's line when several
// are updated at once. The command log keeps it all the same.
class TextSink {
  public:
    virtual ~TextSink() = default;
    virtual void Show(std::string_view text) = 0;
};
// Sends the calling thread's text to `sink` (null: to the console again).
void SetTextSink(TextSink* sink);
// The sink of a run whose standard output holds a JSON document alone: standard error.
TextSink& StandardErrorSink();
// The document a run was asked for (JSON), on standard output whatever the sink.
void ShowDocument(std::string_view text);

} // namespace qdp
