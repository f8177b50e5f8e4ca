// The console on Linux: keys from the controlling terminal (/dev/tty, not standard
// input); text to standard output.
//
// From the program's first console use until it ends, the terminal neither echoes
// nor gathers lines, so keys typed ahead of a prompt, or while the recorder is
// written, queue unechoed as they do in a Windows console. Ctrl+C works as it does
// there: while a key is being read it is the key 3; at any other time it interrupts
// the program (unless interrupts are ignored), and the terminal is put back as it
// was before the program ends. Ctrl+\ and Ctrl+Z are plain keys: they must not stop
// a programming run.
#include "platform/linux/escape_sequences.h"
#include "platform/platform.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace qdp::os {
namespace {

// How long the bytes of one escape sequence may lag behind its Esc.
inline constexpr int kSequenceGapMs = 40;

// Real time, whatever clock the program's seam has (the virtual runner's is virtual,
// and an Esc must still settle after 40 real milliseconds).
std::uint64_t NowMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000;
}

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

    // True when a whole key has arrived; reads what is there without waiting.
    bool KeyReady() {
        Collect(0);
        return !codes_.empty();
    }

    // The next code, waiting for it as long as it takes; -1 when the terminal fails.
    int ReadCode() {
        if (codes_.empty()) {
            SetInterruptKey(false); // Ctrl+C typed now is a key
            while (codes_.empty() && !failed_) {
                Collect(unread_.empty() ? -1 : kSequenceGapMs);
            }
            SetInterruptKey(true);
        }
        if (codes_.empty()) {
            return -1;
        }
        const int code = codes_.front();
        codes_.pop_front();
        return code;
    }

    static Terminal& Instance() {
        static Terminal terminal;
        return terminal;
    }

  private:
    // Reads the bytes that are there (waiting up to timeoutMs, -1 for ever, for the
    // first) and decodes every whole key among what is unread.
    void Collect(int timeoutMs) {
        pollfd poll{fd_, POLLIN, 0};
        const int ready = ::poll(&poll, 1, timeoutMs);
        if (ready > 0 && (poll.revents & POLLIN) != 0) {
            std::array<std::uint8_t, 64> bytes{};
            const ssize_t got = ::read(fd_, bytes.data(), bytes.size());
            if (got > 0) {
                if (unread_.empty()) {
                    firstUnreadMs_ = NowMs();
                }
                unread_.insert(unread_.end(), bytes.begin(), bytes.begin() + got);
            } else if (got == 0 || errno != EINTR) {
                failed_ = true;
            }
        } else if (ready > 0 || (ready < 0 && errno != EINTR)) {
            failed_ = true; // hung up or closed
        }
        const bool settled = failed_ || NowMs() - firstUnreadMs_ >= kSequenceGapMs;
        std::vector<int> decoded;
        const std::size_t used = linux_keys::DecodeKeys(unread_, settled, decoded);
        unread_.erase(unread_.begin(), unread_.begin() + static_cast<std::ptrdiff_t>(used));
        codes_.insert(codes_.end(), decoded.begin(), decoded.end());
        if (used > 0 && !unread_.empty()) {
            firstUnreadMs_ = NowMs();
        }
    }

    // No line input, no echo; of the signal keys only Ctrl+C, and only outside reads.
    void EnterKeyMode() {
        termios mode = saved_;
        mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
        mode.c_lflag |= ISIG;
        mode.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        mode.c_cc[VINTR] = 0x03;
        mode.c_cc[VQUIT] = _POSIX_VDISABLE;
        mode.c_cc[VSUSP] = _POSIX_VDISABLE;
        raw_ = ::tcsetattr(fd_, TCSANOW, &mode) == 0;
        if (raw_) {
            keyMode_ = mode;
            std::atexit([] { Instance().Restore(); });
            struct sigaction restoring {};
            restoring.sa_handler = [](int signal) {
                Instance().Restore();
                ::signal(signal, SIG_DFL);
                ::raise(signal);
            };
            for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
                struct sigaction current {};
                ::sigaction(signal, nullptr, &current);
                if (current.sa_handler != SIG_IGN) { // kept ignored, as the shell asked
                    ::sigaction(signal, &restoring, nullptr);
                }
            }
        }
    }

    void SetInterruptKey(bool interrupts) {
        if (!raw_) {
            return;
        }
        termios mode = keyMode_;
        if (!interrupts) {
            mode.c_lflag &= ~static_cast<tcflag_t>(ISIG);
        }
        ::tcsetattr(fd_, TCSANOW, &mode);
    }

    int fd_ = -1;
    bool opened_ = false;
    bool raw_ = false;
    bool failed_ = false;
    termios saved_{};
    termios keyMode_{};
    std::vector<std::uint8_t> unread_; // bytes of a sequence not yet whole
    std::uint64_t firstUnreadMs_ = 0;
    std::deque<int> codes_;
};

} // namespace

int ReadRawKey() {
    Terminal& terminal = Terminal::Instance();
    return terminal.Engage() ? terminal.ReadCode() : -1;
}

bool KeyWaiting() {
    Terminal& terminal = Terminal::Instance();
    return terminal.Engage() && terminal.KeyReady();
}

bool ConsoleAvailable() { return Terminal::Instance().Engage(); }

bool OutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void WriteText(std::string_view text) {
    Terminal::Instance().Engage(); // from the first text on, keys are not echoed
    std::fwrite(text.data(), 1, text.size(), stdout);
    // Shown at once on a terminal, and in a pipe or file as soon as it is written,
    // so that a log taken with tee follows the dialogue.
    std::fflush(stdout);
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
