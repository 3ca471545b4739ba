// Shell command lines without system()'s process-wide SIGINT/SIGQUIT ignoring,
// and the output of listing commands.
#include "shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "zrLog.h"

extern char** environ;

int RunShell(const char* cmd)
{
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    char* argv[] = {shell, dashC, const_cast<char*>(cmd), nullptr};
    // The command starts with no signal blocked, whichever thread runs it.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid;
    int rc = posix_spawn(&pid, shell, nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
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

int ReadShellLines(const char* cmd, size_t lineSize, const std::function<void(const char*)>& onLine)
{
    FILE* fp = popen(cmd, "r");
    if (fp == nullptr) {
        RTLOG("popen %s error!", cmd);
        return -1;
    }
    std::vector<char> line(lineSize);
    for (;;) {
        memset(line.data(), 0, line.size());
        if (fgets(line.data(), (int)line.size(), fp) == nullptr)
            break;
        onLine(line.data());
    }
    pclose(fp);
    return 0;
}
