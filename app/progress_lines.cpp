#include "app/progress_lines.h"

#include <cstdio>
#include <utility>

namespace qdp {
namespace {

// Pages a programming run writes: one dot each.
constexpr std::size_t kProgramDots = 53;
// A terminal line longer than this would wrap, and the lines below would move.
constexpr std::size_t kTerminalWidth = 79;

// "Replacing firmware" and the words that ended it: "Replacing firmware: OK".
std::string Ended(const std::string& step) {
    const std::size_t dots = step.find('.');
    if (dots == std::string::npos) {
        return step;
    }
    const std::size_t end = step.find_first_not_of('.', dots);
    return step.substr(0, dots) + (end == std::string::npos ? "" : ": " + step.substr(end));
}

} // namespace

ProgressLines::ProgressLines(std::vector<std::string> names, bool terminal,
                             std::function<void(std::string_view)> write)
    : terminal_(terminal), write_(std::move(write)) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto line = std::make_unique<Line>();
        line->owner = this;
        line->index = i;
        line->name = std::move(names[i]);
        line->shown = "waiting";
        lines_.push_back(std::move(line));
    }
    if (terminal_) { // the lines, written once, then redrawn in place
        std::string text;
        for (const auto& line : lines_) {
            text += (line->name + "  " + line->shown).substr(0, kTerminalWidth) + "\n";
        }
        write_(text);
    }
}

void ProgressLines::Line::Show(std::string_view text) {
    const std::lock_guard<std::mutex> lock(owner->mutex_);
    for (const char c : text) {
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            if (!step.empty()) {
                shown = Ended(step);
                if (!owner->terminal_) {
                    owner->write_(name + ": " + shown + "\n");
                }
            }
            step.clear();
            dots = 0;
            announced = false;
        } else {
            dots += c == '.' ? 1 : 0;
            step += c;
            // A step is announced with its first dot: its title is whole then.
            if (c == '.' && !announced && !owner->terminal_) {
                owner->write_(name + ": " + step.substr(0, step.find('.')) + "\n");
            }
            announced = announced || c == '.';
        }
        owner->Changed(*this);
    }
}

std::string ProgressLines::StateOf(const Line& line) const {
    if (line.step.empty()) {
        return line.shown;
    }
    const std::string title = line.step.substr(0, line.step.find('.'));
    if (line.dots == 0 || title.empty()) {
        return Ended(line.step);
    }
    // Built by appending: GCC 12 warns (-Wrestrict) about a character pointer added to a
    // temporary string.
    std::string state = title;
    state.append(" ").append(std::to_string(line.dots));
    if (title.starts_with("Replacing")) {
        state.append("/").append(std::to_string(kProgramDots));
    }
    if (line.step.back() != '.') {
        state.append(" ").append(Ended(line.step).substr(title.size() + 2));
    }
    return state;
}

void ProgressLines::Changed(const Line& line) {
    if (!terminal_) {
        return;
    }
    // Up to the recorder's line, rewrite it, and back down below the last line.
    const std::size_t up = lines_.size() - line.index;
    char move[32];
    std::snprintf(move, sizeof move, "\x1b[%uA\r\x1b[2K", static_cast<unsigned>(up));
    std::string text = move;
    text += (line.name + "  " + StateOf(line)).substr(0, kTerminalWidth);
    std::snprintf(move, sizeof move, "\r\x1b[%uB\r", static_cast<unsigned>(up));
    write_(text + move);
}

void ProgressLines::Finish(std::size_t index, const std::string& outcome) {
    Line& line = *lines_[index];
    if (!line.step.empty()) {
        line.Show("\n"); // what was shown last, whole
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    line.shown = outcome;
    if (terminal_) {
        Changed(line);
    } else {
        write_(line.name + ": " + outcome + "\n");
    }
}

} // namespace qdp
