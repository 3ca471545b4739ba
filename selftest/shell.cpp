// Shell command lines without system()'s process-wide SIGINT/SIGQUIT ignoring.
#include "shell.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

int RunShell(const char* cmd)
{
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    char* argv[] = {shell, dashC, const_cast<char*>(cmd), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, shell, nullptr, nullptr, argv, environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return status;
}
