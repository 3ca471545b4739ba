// Shell commands: an operator's Ctrl-C that comes while a command runs still
// reaches the program's handler (system() would ignore it in the caller), and
// commands start with no signal blocked and none of the program's pipes. The
// interruption's steps when its thread cannot be had; other numbers logged.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "endtips.h"
#include "portinfo.h"
#include "shell.h"
#include "zrLog.h"

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

constexpr int kChildSkip = 77;             // the child could not set up its sandbox
constexpr unsigned int kChildGuardS = 20;  // a child that hangs is ended by SIGALRM

// Runs check in a child process (so the interruption's process-wide state is
// its own) that has a private /dev, where the DIO commands land in a plain
// file, and a trace log in a fresh folder. Returns the child's exit status
// (check's result), kChildSkip without the sandbox, -1 when it ended abnormally.
int InSandboxChild(const std::function<int(const std::string& logPath)>& check)
{
    char tmpl[] = "/tmp/test_shell.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return -1;
    const std::string logPath = std::string(tmpl) + "/rigChkEx.log";
    pid_t pid = fork();
    if (pid == 0) {
        alarm(kChildGuardS);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0)
            _exit(kChildSkip);
        filename = logPath.c_str();
        _exit(check(logPath));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::string cleanup = std::string("rm -rf ") + tmpl;
    RunShell(cleanup.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Returns whether the text holds a line with message and function fn.
bool HasLine(const std::string& text, const std::string& message, const std::string& fn)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find("] " + message + "\t") != std::string::npos &&
            line.find(" " + fn + " line=") != std::string::npos)
            return true;
    return false;
}

TEST(Interruption, CommandsStartUnblockedAndNeverHoldTheSignalPipe)
{
    int status = InSandboxChild([](const std::string&) {
        std::vector<int> before;
        for (int fd = 0; fd < 256; ++fd)
            before.push_back(fcntl(fd, F_GETFD));
        if (StartInterruptThread("main") != 0)
            return 1;
        int fresh = 0;
        for (int fd = 0; fd < 256; ++fd) {
            int flags = fcntl(fd, F_GETFD);
            if (before[(size_t)fd] < 0 && flags >= 0 && ++fresh && !(flags & FD_CLOEXEC))
                return 2;  // a descriptor the shell commands would inherit
        }
        if (fresh != 2)
            return 3;
        // SIGINT and SIGTERM are blocked here now; a command must not inherit that.
        std::string blocked;
        ReadShellLines(
            "grep SigBlk /proc/self/status", 256, [&](const char* line) { blocked = line; }, "main");
        return blocked == "SigBlk:\t0000000000000000\n" ? 0 : 4;
    });
    if (status == kChildSkip)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(0, status);
}

TEST(Interruption, WithoutItsThreadASignalStillEndsTheRunWithTheSameSteps)
{
    int status = InSandboxChild([](const std::string& logPath) {
        // Every descriptor but one in use: the log still opens, the pipe cannot.
        rlimit old;
        getrlimit(RLIMIT_NOFILE, &old);
        rlimit low = old;
        low.rlim_cur = 64;
        setrlimit(RLIMIT_NOFILE, &low);
        std::vector<int> filler;
        for (int fd; (fd = open("/proc/self/status", O_RDONLY)) >= 0;)
            filler.push_back(fd);
        close(filler.back());
        filler.pop_back();
        int started = StartInterruptThread("main");
        for (int fd : filler)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &old);
        if (started != -1)
            return 1;

        signal(SIGINT, sig_handler);
        signal(SIGTERM, sig_handler);
        raise(SIGTERM);
        if (g_bRun != 0)
            return 2;
        WaitInterruptDone();  // carries the steps out: it returns, nothing hangs

        const std::string log = Slurp(logPath);
        if (!HasLine(log, "Err interrupt pipe:Too many open files, signals handled at the end!!!", "main"))
            return 3;
        if (!HasLine(log, "Received signal SIGINT[2]", "sig_handler"))
            return 4;
        if (Slurp("/dev/zrdio") != "SOFF=1,2\n")
            return 5;  // the last of the two output commands
        struct sigaction now;
        sigaction(SIGINT, nullptr, &now);
        return now.sa_handler == SIG_DFL ? 0 : 6;
    });
    if (status == kChildSkip)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(0, status);
}

TEST(Interruption, AnyOtherNumberIsLoggedAsUnknownAndEndsNothing)
{
    int status = InSandboxChild([](const std::string& logPath) {
        if (StartInterruptThread("main") != 0)
            return 1;
        // SIGHUP and the last real-time signal are real signals' numbers; 65
        // and 300 are no signal's number, 256 and 257 were once cut to a byte;
        // repeated and mixed numbers are each logged, in the order of the calls.
        const std::vector<int> numbers = {SIGHUP, SIGRTMAX, 65, 256, 257, 300, 10, 10, 70, 70, 12, 3};
        for (int sig : numbers)
            sig_handler(sig);
        // A negative number goes to standard error, INT_MIN with its own digits.
        const std::string errPath = logPath + ".stderr";
        int saved = dup(STDERR_FILENO);
        int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(errFd, STDERR_FILENO);
        sig_handler(-1);
        sig_handler(INT_MIN);
        dup2(saved, STDERR_FILENO);
        close(errFd);
        WaitInterruptDone();
        const std::string log = Slurp(logPath);
        std::vector<int> logged;
        const std::string unknown = "] Received signal unknow[";
        std::istringstream in(log);
        for (std::string line; std::getline(in, line);) {
            size_t at = line.find(unknown);
            if (at != std::string::npos && line.find(" sig_handler line=") != std::string::npos)
                logged.push_back(atoi(line.c_str() + at + unknown.size()));
        }
        if (logged != numbers)
            return 2;
        if (Slurp(errPath) != "sig_handler param err. [-1]\nsig_handler param err. [-2147483648]\n")
            return 5;
        if (HasLine(log, "Received signal SIGINT[2]", "sig_handler") || access("/dev/zrdio", F_OK) == 0)
            return 3;  // the interruption's steps are SIGINT's and SIGTERM's only
        return g_bRun == 1 ? 0 : 4;
    });
    if (status == kChildSkip)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(0, status);
}

}  // namespace
