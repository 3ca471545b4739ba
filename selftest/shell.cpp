// Shell command lines without system()'s process-wide SIGINT/SIGQUIT ignoring,
// and the output of listing commands, read as popen() would give it.
#include "shell.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "zrLog.h"

extern char** environ;

namespace {
char kShell[] = "/bin/sh";
char kDashC[] = "-c";

// Starts "/bin/sh -c cmd" with no signal blocked, whichever thread starts it,
// and with the default action for SIGINT, SIGTERM and SIGPIPE; its standard
// output goes to outFd unless that is -1. Returns the child's pid; -1 on failure.
pid_t StartCommand(const char* cmd, int outFd)
{
    char* argv[] = {kShell, kDashC, const_cast<char*>(cmd), nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &stopSignals);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    pid_t pid;
    int rc = posix_spawn(&pid, kShell, &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

// Waits for the command pid. Returns its wait status; -1 on failure.
int WaitCommand(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}
}  // namespace

int RunShell(const char* cmd)
{
    pid_t pid = StartCommand(cmd, -1);
    return pid < 0 ? -1 : WaitCommand(pid);
}

int RunShellf(char* buf, size_t size, const char* fmt, ...)
{
    memset(buf, 0, size);
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, size, fmt, args);
    va_end(args);
    return RunShell(buf);
}

int ReadShellLines(const char* cmd, size_t lineSize, const std::function<void(const char*)>& onLine, const char* caller)
{
    int fds[2];
    pid_t pid = -1;
    // Close-on-exec: the command gets the write end as its output only.
    if (pipe2(fds, O_CLOEXEC) == 0) {
        pid = StartCommand(cmd, fds[1]);
        close(fds[1]);
        if (pid < 0)
            close(fds[0]);
    }
    FILE* fp = pid < 0 ? nullptr : fdopen(fds[0], "r");
    if (fp == nullptr) {
        if (pid >= 0) {
            close(fds[0]);
            WaitCommand(pid);
        }
        RTLOG_AS(caller, "popen %s error!", cmd);
        return -1;
    }
    std::vector<char> line(lineSize);
    for (;;) {
        memset(line.data(), 0, line.size());
        if (fgets(line.data(), (int)line.size(), fp) == nullptr)
            break;
        onLine(line.data());
    }
    fclose(fp);
    WaitCommand(pid);
    return 0;
}
