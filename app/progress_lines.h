// What the operator sees while several recorders are updated at once. Each recorder's
// worker shows the text a single update shows (the steps, their dots, "OK", what went
// wrong); on a terminal each recorder has one line, redrawn in place; in a pipe or a
// file, each step's start and end is a line of its own.
#pragma once

#include "firmware/console_text.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace qdp {

class ProgressLines {
  public:
    // `names` says which recorder each line is; `write` shows text.
    ProgressLines(std::vector<std::string> names, bool terminal,
                  std::function<void(std::string_view)> write);

    // Where recorder `index`'s worker shows its text.
    TextSink& Sink(std::size_t index) { return *lines_[index]; }
    // The recorder's last word.
    void Finish(std::size_t index, const std::string& outcome);

  private:
    struct Line : TextSink {
        ProgressLines* owner = nullptr;
        std::size_t index = 0;
        std::string name;
        std::string step;     // the line being written, without its dots
        std::size_t dots = 0; // of that line
        std::string shown;    // the last whole line, as a step and its end
        bool announced = false;
        void Show(std::string_view text) override;
    };

    std::string StateOf(const Line& line) const;
    void Changed(const Line& line);

    std::mutex mutex_;
    std::vector<std::unique_ptr<Line>> lines_;
    bool terminal_;
    std::function<void(std::string_view)> write_;
};

} // namespace qdp
