// End-of-run signalling, the interruption by SIGINT/SIGTERM, and the tray notice.
#include "endtips.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "portinfo.h"
#include "shell.h"
#include "zrLog.h"

static_assert(offsetof(TrayMsg, iParam1) == sizeof(long), "the text follows the type");
static_assert(sizeof(TrayMsg) - offsetof(TrayMsg, iParam1) >= kTrayMsgTextLen, "76 bytes of text");

namespace {
const char kDioDevice[] = "/dev/zrdio";
constexpr size_t kCmdBufSize = 256;
constexpr useconds_t kStepUs = 100000;         // one step of the end signalling
constexpr useconds_t kSignalDelayUs = 500000;  // pause before the interruption's steps
constexpr int kOutBlink = 1;                   // signal outputs
constexpr int kOutFail = 2;
constexpr int kOutRun = 3;
constexpr int kPassBlinkSteps = 10;   // output 1 toggles once a second
constexpr int kPassPeriodSteps = 30;  // output 3's pattern repeats every 3 s ...
constexpr int kPassOffLastStep = 90;  // ... switching off up to 9 s
constexpr int kPassOnOffset = 20;     // ... and on 2 s into each period
constexpr int kPassOnLastStep = 120;
constexpr int kFailBlinkSteps = 3;   // outputs 1 and 2 alternate every 300 ms
constexpr int kFailRunOnStep = 100;  // output 3 on after 10 s

// The signal handler only records the signal, one pending flag per signal
// number, and wakes the interruption thread with one byte on a pipe that never
// blocks it; the thread takes the flags in rounds and does the rest. A signal
// recorded again while its round runs is pending once, as a signal that stays
// blocked while its own handler runs: a flood costs one more round, not one
// per delivery.
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the handler's records need no lock");
constexpr size_t kWakeChunk = 64;  // wake-up bytes taken from the pipe at once
int g_sigPipe[2] = {-1, -1};
std::atomic<bool> g_pending[NSIG];    // recorded and not yet taken by a round
std::atomic<int> g_sigintsRaised{0};  // SIGINTs recorded
std::mutex g_roundMutex;              // guards the four below
std::condition_variable g_roundCond;
bool g_handled[NSIG] = {};                  // signals a finished round has handled
bool g_roundRunning = false;                // a round has taken its flags and not finished
bool g_mainWaiting = false;                 // main is ready to end, in WaitInterruptDone
bool g_closed = false;                      // no round starts any more
bool g_threadRunning = false;               // the interruption thread took over
const char kHandlerName[] = "sig_handler";  // the steps are the handler's, wherever they run
// One writer of the signal outputs at a time: a step of the end signalling
// that began before an interruption ends before the interruption's commands,
// however late the machine lets it finish.
std::mutex g_outputsMutex;

// Writes "sig_handler param err. [sig]" to standard error with no stdio.
void WriteParamError(int sig)
{
    char text[64];
    char digits[16];
    int nd = 0;
    bool neg = sig < 0;
    // In unsigned arithmetic, so that INT_MIN has its magnitude on every int width.
    unsigned int v = neg ? 0u - (unsigned int)sig : (unsigned int)sig;
    do {
        digits[nd++] = (char)('0' + v % 10);
        v /= 10;
    } while (v > 0 && nd < (int)sizeof(digits));
    const char head[] = "sig_handler param err. [";
    size_t n = 0;
    memcpy(text, head, sizeof(head) - 1);
    n = sizeof(head) - 1;
    if (neg)
        text[n++] = '-';
    while (nd > 0)
        text[n++] = digits[--nd];
    text[n++] = ']';
    text[n++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, text, n);
    (void)ignored;
}

// Carries out the steps of one interruption: pause, log, outputs to their
// final state, and SIGINT's default action back so that a second Ctrl-C ends
// the process; when that second SIGINT came while the steps ran, it ends the
// process now. Any other signal number is only logged.
void HandleSignal(int sig)
{
    if (sig != SIGINT && sig != SIGTERM) {
        RTLOG_AS(kHandlerName, "Received signal unknow[%d]", sig);
        return;
    }
    // The pause runs its full time even when a further signal interrupts it.
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += (long)kSignalDelayUs * 1000;
    until.tv_sec += until.tv_nsec / 1000000000;
    until.tv_nsec %= 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {}
    RTLOG_AS(kHandlerName, "Received signal SIGINT[%d]", SIGINT);
    {
        std::lock_guard<std::mutex> outputs(g_outputsMutex);
        char cmd[kCmdBufSize];
        RunShellf(cmd, sizeof(cmd), "echo SON=%d > %s", kOutRun, kDioDevice);
        RunShellf(cmd, sizeof(cmd), "echo SOFF=1,2 > %s", kDioDevice);
    }
    signal(SIGINT, SIG_DFL);
    if (sig == SIGINT && g_sigintsRaised > 1)
        raise(SIGINT);
}

// Takes every pending signal and carries out its steps, in the order of the
// signal numbers; marks each one in handled.
void RunRound(bool (&handled)[NSIG])
{
    for (int sig = 0; sig < NSIG; ++sig) {
        if (g_pending[sig].exchange(false)) {
            HandleSignal(sig);
            handled[sig] = true;
        }
    }
}

// Returns true when main may end (call with g_roundMutex held): it waits, no
// round runs, and every pending signal was handled by an earlier round.
bool EndDue()
{
    if (!g_mainWaiting || g_roundRunning)
        return false;
    for (int sig = 0; sig < NSIG; ++sig) {
        if (g_pending[sig] && !g_handled[sig])
            return false;
    }
    return true;
}

// Closes both ends of the signal pipe, of which either may be open.
void ClosePipe()
{
    for (int& fd : g_sigPipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

// Runs a round of the steps for each wake-up, until main is ready to end and
// nothing new is pending; a round that would only repeat handled signals then
// no longer starts, so a flood ends with the round in progress and at most one
// more.
void* InterruptThread(void*)
{
    char wake[kWakeChunk];
    for (;;) {
        ssize_t n = read(g_sigPipe[0], wake, sizeof(wake));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return nullptr;
        {
            std::lock_guard<std::mutex> lock(g_roundMutex);
            if (g_closed || EndDue()) {
                g_closed = true;
                g_roundCond.notify_all();
                return nullptr;
            }
            g_roundRunning = true;
        }
        bool handled[NSIG] = {};
        RunRound(handled);
        {
            std::lock_guard<std::mutex> lock(g_roundMutex);
            for (int sig = 0; sig < NSIG; ++sig)
                g_handled[sig] = g_handled[sig] || handled[sig];
            g_roundRunning = false;
        }
        g_roundCond.notify_all();
    }
}
}  // namespace

int SendMsgToTray(int qid, int iParam1, int iParam2)
{
    static TrayMsg msg;
    if (qid >= 0) {
        msg.mtype = kTrayMsgType;
        msg.iParam1 = iParam1;
        msg.iParam2 = iParam2;
        msgsnd(qid, &msg, kTrayMsgTextLen, IPC_NOWAIT);
    }
    return 1;
}

int TestEndTips(int result)
{
    if (result != 0 && result != -1 && result != -2)
        return 0;
    char cmd[kCmdBufSize];
    bool toggle = true;
    int i = 0;
    do {
        std::unique_lock<std::mutex> outputs(g_outputsMutex);
        if (i > 0 && g_bRun == 0)
            break;  // interrupted while this step waited for the outputs: the first step always runs
        if (result == 0) {
            if (i <= kPassOffLastStep && i % kPassPeriodSteps == 0)
                RunShellf(cmd, sizeof(cmd), "echo SOFF=%d > %s", kOutRun, kDioDevice);
            if (i <= kPassOnLastStep && i % (kPassPeriodSteps * (i / kPassPeriodSteps) + kPassOnOffset) == 0)
                RunShellf(cmd, sizeof(cmd), "echo SON=%d > %s", kOutRun, kDioDevice);
            if (i % kPassBlinkSteps == 0) {
                RunShellf(cmd, sizeof(cmd), "echo %s=%d > %s", toggle ? "SON" : "SOFF", kOutBlink, kDioDevice);
                toggle = !toggle;
            }
        } else {
            if (i == 0)
                RunShellf(cmd, sizeof(cmd), "echo SOFF=%d > %s", kOutRun, kDioDevice);
            if (i == kFailRunOnStep)
                RunShellf(cmd, sizeof(cmd), "echo SON=%d > %s", kOutRun, kDioDevice);
            if (i % kFailBlinkSteps == 0) {
                toggle = !toggle;
                RunShellf(cmd, sizeof(cmd), "echo %s=%d > %s", toggle ? "SON" : "SOFF", kOutBlink, kDioDevice);
                RunShellf(cmd, sizeof(cmd), "echo %s=%d > %s", toggle ? "SOFF" : "SON", kOutFail, kDioDevice);
            }
        }
        i++;
        outputs.unlock();
        usleep(kStepUs);
    } while (g_bRun != 0);
    return 0;
}

void sig_handler(int sig)
{
    if (sig < 0) {
        WriteParamError(sig);
        return;
    }
    if (sig != SIGINT && sig != SIGTERM) {
        // Installed for SIGINT and SIGTERM only: any other number is a plain
        // call, not a delivery, so its message is logged here, in call order.
        HandleSignal(sig);
        return;
    }
    if (sig == SIGINT)
        g_sigintsRaised++;
    // Pending before the stop: main, once it sees g_bRun cleared, may go
    // straight to WaitInterruptDone, which must find this signal still to
    // handle, however long this thread is held between the two stores.
    bool wasPending = g_pending[sig].exchange(true);
    g_bRun = 0;
    if (wasPending)
        return;  // its wake-up is on its way
    int saved = errno;
    const char byte = 1;
    if (g_sigPipe[1] >= 0) {
        // Non-blocking: a full pipe already holds a wake-up.
        ssize_t ignored = write(g_sigPipe[1], &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

int StartInterruptThread(const char* caller)
{
    // Close-on-exec: the shell commands never hold the pipe. The handler's
    // end never blocks; the thread's end waits for a wake-up.
    if (pipe2(g_sigPipe, O_CLOEXEC) < 0 || fcntl(g_sigPipe[1], F_SETFL, O_NONBLOCK) < 0) {
        RTLOG_AS(caller, "Err interrupt pipe:%s, signals handled at the end!!!", strerror(errno));
        ClosePipe();
        return -1;
    }
    pthread_t thread;
    int err = pthread_create(&thread, nullptr, InterruptThread, nullptr);
    if (err != 0) {
        RTLOG_AS(caller, "Err interrupt thread:%s, signals handled at the end!!!", strerror(err));
        ClosePipe();
        return -1;
    }
    pthread_detach(thread);
    g_threadRunning = true;
    // From now on SIGINT and SIGTERM reach only the interruption thread, so
    // that no fixed wait of the main flow is ever cut short by a signal.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return 0;
}

void WaitInterruptDone()
{
    if (!g_threadRunning) {
        // No thread took the signals: their steps run here, in one round, as
        // the thread would have carried them out.
        bool handled[NSIG] = {};
        RunRound(handled);
        return;
    }
    std::unique_lock<std::mutex> lock(g_roundMutex);
    g_mainWaiting = true;
    g_roundCond.wait(lock, [] { return g_closed || EndDue(); });
    g_closed = true;
}
