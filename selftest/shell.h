// Shell command lines run by the self-test (rm, killall, echo to the DIO device).
#ifndef SELFTEST_SHELL_H
#define SELFTEST_SHELL_H

// Runs cmd with /bin/sh -c and waits for it. Unlike system(), the caller's
// SIGINT and SIGQUIT stay as they are while the command runs, so an operator's
// Ctrl-C is never lost. Returns the shell's wait status; -1 when it could not
// be started.
int RunShell(const char* cmd);

#endif
