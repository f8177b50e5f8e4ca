#include "platform/platform.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace qdp::os {
namespace {

TEST(LinuxConsole, WithoutATerminalThereIsNoKeyToRead) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid(); // no controlling terminal any more
        const bool none = ReadRawKey() == -1 && !KeyWaiting();
        ::_exit(none ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(LinuxConsole, TheInterruptIsIgnoredOnlyWhileAsked) {
    struct sigaction before {};
    ::sigaction(SIGINT, nullptr, &before);
    IgnoreInterrupt(true);
    struct sigaction during {};
    ::sigaction(SIGINT, nullptr, &during);
    EXPECT_EQ(during.sa_handler, SIG_IGN);
    ::raise(SIGINT); // would end the test program otherwise
    IgnoreInterrupt(false);
    struct sigaction after {};
    ::sigaction(SIGINT, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

} // namespace
} // namespace qdp::os
