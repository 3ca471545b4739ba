// End-of-run signalling on the DIO outputs, interruption, and the tray notice.
#ifndef SELFTEST_ENDTIPS_H
#define SELFTEST_ENDTIPS_H

constexpr int kTrayQueueKey = 0x9000;
constexpr int kTrayQueueFlags = 05666;  // IPC_NOWAIT | IPC_CREAT | 0666
constexpr long kTrayMsgType = 36876;    // 0x900C
constexpr int kTrayMsgTextLen = 76;

// The message posted to the tray application.
struct TrayMsg {
    long mtype;
    int iParam1;
    int iParam2;
    char rest[kTrayMsgTextLen - 2 * sizeof(int)];
};

// Posts (iParam1, iParam2) to the tray queue; nothing when qid < 0. Returns 1.
int SendMsgToTray(int qid, int iParam1, int iParam2);
// Shows result 0 (pass) or -1/-2 (fail) on the signal outputs until g_bRun is
// cleared. Returns 0; at once for any other result.
int TestEndTips(int result);
// Records SIGINT or SIGTERM (clears g_bRun) for the interruption thread and
// wakes it; never blocks. Any other number, which only a direct call gives,
// is logged as unknown at once; a negative one is reported on standard error.
void sig_handler(int sig);

// Starts the thread that carries out the interruption steps and leaves
// SIGINT and SIGTERM to it alone. Returns 0; -1, logged under caller, when the
// pipe or the thread cannot be had: WaitInterruptDone then carries the steps
// out itself.
int StartInterruptThread(const char* caller);
// Waits until the interruption steps have finished (at once when no signal
// came): the round in progress and one for a signal that no round has handled
// yet; no round starts after it returns. Without the interruption thread,
// carries out the steps of every recorded signal itself.
void WaitInterruptDone();

#endif
