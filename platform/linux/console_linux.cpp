// The console on Linux: keys from the controlling terminal (/dev/tty, not standard
// input); text to standard output.
//
// The terminal's input is held in key mode (no line input, no echo, no signal keys)
// from the program's first console use until it ends, not only while a key is read:
// a terminal echoes and turns Ctrl+C into a signal as the key arrives, so keys typed
// ahead of a prompt, or while the recorder is written, would otherwise be echoed
// into the progress line or end the program. Keys queue unechoed, as they do in a
// Windows console.
#include "platform/linux/escape_sequences.h"
#include "platform/platform.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace qdp::os {
namespace {

// How long the bytes of one escape sequence may lag behind its Esc.
inline constexpr int kSequenceGapMs = 40;
inline constexpr std::size_t kLongestSequence = 16;

class Terminal {
  public:
    // Opens the terminal and puts it in key mode, once; false without a terminal.
    bool Engage() {
        if (!opened_) {
            opened_ = true;
            fd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (fd_ >= 0 && ::tcgetattr(fd_, &saved_) != 0) {
                ::close(fd_);
                fd_ = -1;
            }
            if (fd_ >= 0) {
                EnterKeyMode();
            }
        }
        return fd_ >= 0;
    }

    // Puts the terminal back as it was; safe in a signal handler.
    void Restore() const {
        if (raw_) {
            ::tcsetattr(fd_, TCSANOW, &saved_);
        }
    }

    bool Pending() const { return pendingCode_ >= 0 || !unread_.empty(); }

    bool InputWaiting(int timeoutMs) {
        pollfd poll{fd_, POLLIN, 0};
        return ::poll(&poll, 1, timeoutMs) > 0 && (poll.revents & POLLIN) != 0;
    }

    int ReadCode() {
        if (pendingCode_ >= 0) {
            return std::exchange(pendingCode_, -1);
        }
        for (;;) {
            const int byte = NextByte(-1);
            if (byte < 0) {
                return -1;
            }
            if (byte != linux_keys::kEscape) {
                return byte;
            }
            std::array<std::uint8_t, kLongestSequence> sequence{linux_keys::kEscape};
            std::size_t length = 1;
            while (length < sequence.size() &&
                   !linux_keys::SequenceComplete({sequence.data(), length})) {
                const int next = NextByte(kSequenceGapMs);
                if (next < 0) {
                    break;
                }
                sequence[length++] = static_cast<std::uint8_t>(next);
            }
            const auto decoded = linux_keys::DecodeSequence({sequence.data(), length});
            for (std::size_t i = length; i > decoded.consumed; --i) {
                unread_.push_front(sequence[i - 1]);
            }
            if (decoded.kind == linux_keys::Decoded::Kind::Escape) {
                return linux_keys::kEscape;
            }
            if (decoded.kind == linux_keys::Decoded::Kind::Special) {
                pendingCode_ = decoded.code;
                return 0;
            }
            // An unknown sequence yields no key: wait for the next one.
        }
    }

    static Terminal& Instance() {
        static Terminal terminal;
        return terminal;
    }

  private:
    // The next input byte; with a timeout, -1 when none came in time.
    int NextByte(int timeoutMs) {
        if (!unread_.empty()) {
            const int byte = unread_.front();
            unread_.pop_front();
            return byte;
        }
        if (timeoutMs >= 0 && !InputWaiting(timeoutMs)) {
            return -1;
        }
        std::uint8_t byte = 0;
        for (;;) {
            const ssize_t got = ::read(fd_, &byte, 1);
            if (got == 1) {
                return byte;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return -1;
        }
    }

    // No line input, no echo, no signal keys; output processing stays as it was.
    void EnterKeyMode() {
        termios mode = saved_;
        mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
        mode.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        raw_ = ::tcsetattr(fd_, TCSANOW, &mode) == 0;
        if (raw_) {
            std::atexit([] { Instance().Restore(); });
            struct sigaction restoring {};
            restoring.sa_handler = [](int signal) {
                Instance().Restore();
                ::signal(signal, SIG_DFL);
                ::raise(signal);
            };
            for (const int signal : {SIGTERM, SIGHUP, SIGQUIT}) {
                ::sigaction(signal, &restoring, nullptr);
            }
        }
    }

    int fd_ = -1;
    bool opened_ = false;
    bool raw_ = false;
    termios saved_{};
    int pendingCode_ = -1;
    std::deque<std::uint8_t> unread_;
};

} // namespace

int ReadRawKey() {
    Terminal& terminal = Terminal::Instance();
    return terminal.Engage() ? terminal.ReadCode() : -1;
}

bool KeyWaiting() {
    Terminal& terminal = Terminal::Instance();
    return terminal.Engage() && (terminal.Pending() || terminal.InputWaiting(0));
}

void WriteText(std::string_view text) {
    Terminal::Instance().Engage(); // from the first text on, keys are not echoed
    std::fwrite(text.data(), 1, text.size(), stdout);
    static const bool console = ::isatty(STDOUT_FILENO) != 0;
    if (console) {
        std::fflush(stdout);
    }
}

void IgnoreInterrupt(bool ignore) {
    static struct sigaction previous {};
    if (ignore) {
        struct sigaction ignoring {};
        ignoring.sa_handler = SIG_IGN;
        ::sigaction(SIGINT, &ignoring, &previous);
    } else {
        ::sigaction(SIGINT, &previous, nullptr);
    }
}

} // namespace qdp::os
