// Shell commands: an operator's Ctrl-C that comes while a command runs still
// reaches the program's handler (system() would ignore it in the caller).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "shell.h"

namespace {

std::atomic<int> g_interrupts{0};

void CountInterrupt(int)
{
    g_interrupts++;
}

TEST(RunShell, SigintDuringACommandReachesTheHandlerAndTheCommandFinishes)
{
    struct sigaction sa = {};
    sa.sa_handler = CountInterrupt;
    sigemptyset(&sa.sa_mask);
    struct sigaction old;
    ASSERT_EQ(sigaction(SIGINT, &sa, &old), 0);
    g_interrupts = 0;

    // The signal goes to this process only, 100 ms into a 400 ms command.
    std::thread sender([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(getpid(), SIGINT);
    });
    auto start = std::chrono::steady_clock::now();
    int status = RunShell("sleep 0.4; exit 3");
    auto took = std::chrono::steady_clock::now() - start;
    sender.join();
    sigaction(SIGINT, &old, nullptr);

    EXPECT_EQ(g_interrupts, 1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3) << "the command ran to its end";
    EXPECT_GE(took, std::chrono::milliseconds(400));
}

TEST(RunShell, ComposedLineIsCutToItsBufferAndStillRuns)
{
    char buf[16];
    int status = RunShellf(buf, sizeof(buf), "exit %d; echo %s", 7, "a long tail that is cut");
    EXPECT_EQ(std::string(buf), "exit 7; echo a ");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

} // namespace
