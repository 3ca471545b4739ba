// Shell command lines run by the self-test (rm, killall, ls, echo to the DIO
// device) and the output of listing commands.
#ifndef SELFTEST_SHELL_H
#define SELFTEST_SHELL_H

#include <cstddef>
#include <functional>

// Runs cmd with /bin/sh -c and waits for it. Unlike system(), the caller's
// SIGINT and SIGQUIT stay as they are while the command runs, so an operator's
// Ctrl-C is never lost. The command starts with no signal blocked and with
// SIGINT, SIGTERM and SIGPIPE at their default action. Returns the shell's
// wait status; -1 when it could not be started.
int RunShell(const char* cmd);

// Composes a command line in buf (zeroed first, cut to fit) and runs it.
// Returns as RunShell.
int RunShellf(char* buf, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Runs cmd as RunShell does, for reading, and hands every output line (at most lineSize - 1
// characters, in a zeroed buffer) to onLine. Returns 0; -1, after logging
// "popen <cmd> error!" under caller, when the command cannot be started.
int ReadShellLines(const char* cmd, size_t lineSize, const std::function<void(const char*)>& onLine,
                   const char* caller);

#endif
