// A program run under a pseudo-terminal: keys typed into it, its screen read back.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace qdp::test {

class PtySession {
  public:
    PtySession(const std::string& program, const std::vector<std::string>& arguments);
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
    const std::string& Screen() const { return output_; }

  private:
    void Drain(std::chrono::milliseconds timeout);

    int master_ = -1;
    int pid_ = -1;
    int status_ = -1;
    bool exited_ = false;
    std::string output_;
};

// What a terminal shows for text written by the program: each "\n" as "\r\n".
std::string OnTerminal(const std::string& text);

} // namespace qdp::test
