#include "tests/console/pty_session.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qdp::test {

PtySession::PtySession(const std::string& program, const std::vector<std::string>& arguments,
                       StandardOutput output, const std::string& file) {
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    int pipeEnds[2] = {-1, -1};
    if (output == StandardOutput::Pipe && ::pipe(pipeEnds) != 0) {
        return;
    }
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
        if (output == StandardOutput::Pipe) {
            ::dup2(pipeEnds[1], STDOUT_FILENO);
        } else if (output == StandardOutput::File) {
            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, STDOUT_FILENO);
        }
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (output == StandardOutput::Pipe) {
        ::close(pipeEnds[1]);
        pipe_ = pipeEnds[0];
    }
}

PtySession::~PtySession() {
    if (!exited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
    if (master_ >= 0) {
        ::close(master_);
    }
    if (pipe_ >= 0) {
        ::close(pipe_);
    }
}

void PtySession::Type(const std::string& keys) {
    [[maybe_unused]] const ssize_t written = ::write(master_, keys.data(), keys.size());
}

void PtySession::Drain(std::chrono::milliseconds timeout) {
    pollfd polls[2] = {{master_, POLLIN, 0}, {pipe_, POLLIN, 0}};
    if (::poll(polls, pipe_ >= 0 ? 2 : 1, static_cast<int>(timeout.count())) <= 0) {
        return;
    }
    char buffer[4096];
    if ((polls[0].revents & POLLIN) != 0) {
        const ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got > 0) {
            output_.append(buffer, static_cast<std::size_t>(got));
        }
    }
    if (pipe_ >= 0 && (polls[1].revents & POLLIN) != 0) {
        const ssize_t got = ::read(pipe_, buffer, sizeof buffer);
        if (got > 0) {
            piped_.append(buffer, static_cast<std::size_t>(got));
        }
    }
}

bool PtySession::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    const std::string& seen = pipe_ >= 0 ? piped_ : output_;
    while (seen.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        Drain(std::chrono::milliseconds(20));
    }
    return true;
}

bool PtySession::Running() {
    if (!exited_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) {
        exited_ = true;
    }
    return !exited_;
}

int PtySession::WaitExit(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= end) {
            return -1;
        }
        Drain(std::chrono::milliseconds(20));
    }
    Drain(std::chrono::milliseconds(50)); // what was written just before the end
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -2;
}

int PtySession::EndingSignal() const {
    return exited_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

void PtySession::SendSignal(int signal) { ::kill(pid_, signal); }

termios PtySession::TerminalMode() const {
    termios mode{};
    ::tcgetattr(master_, &mode); // the master reports the terminal's own settings
    return mode;
}

std::string OnTerminal(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        if (c == '\n') {
            shown += '\r';
        }
        shown += c;
    }
    return shown;
}

} // namespace qdp::test
