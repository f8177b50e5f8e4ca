// A program run under a pseudo-terminal: keys typed into it, its screen read back.
#pragma once

#include <chrono>
#include <string>
#include <termios.h>
#include <vector>

namespace qdp::test {

// Where the program's standard output goes; its keys always come from the terminal.
enum class StandardOutput { Terminal, Pipe, File };

class PtySession {
  public:
    PtySession(const std::string& program, const std::vector<std::string>& arguments,
               StandardOutput output = StandardOutput::Terminal, const std::string& file = {});
    ~PtySession();
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    void Type(const std::string& keys);
    // Reads output until it holds `text`; false when it did not come in time.
    bool WaitFor(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the program to end; its exit code, or -1 (timeout) / -2 (signal).
    int WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool Running();
    // The signal that ended the program; 0 when it exited.
    int EndingSignal() const;
    void SendSignal(int signal);
    // The terminal's settings as the program left them.
    termios TerminalMode() const;
    // What the terminal showed; with a pipe, what came through the pipe.
    const std::string& Screen() const { return output_; }
    const std::string& Piped() const { return piped_; }

  private:
    void Drain(std::chrono::milliseconds timeout);

    int master_ = -1;
    int pipe_ = -1;
    int pid_ = -1;
    int status_ = -1;
    bool exited_ = false;
    std::string output_;
    std::string piped_;
};

// What a terminal shows for text written by the program: each "\n" as "\r\n".
std::string OnTerminal(const std::string& text);

} // namespace qdp::test
