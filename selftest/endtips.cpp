// End-of-run signalling, the interruption by SIGINT/SIGTERM, and the tray notice.
#include "endtips.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <condition_variable>

#include "portinfo.h"
#include "shell.h"
#include "zrLog.h"

static_assert(offsetof(TrayMsg, iParam1) == sizeof(long), "the text follows the type");
static_assert(sizeof(TrayMsg) - offsetof(TrayMsg, iParam1) >= kTrayMsgTextLen, "76 bytes of text");

namespace {
const char kDioDevice[] = "/dev/zrdio";
constexpr size_t kCmdBufSize = 256;
constexpr useconds_t kStepUs = 100000;       // one step of the end signalling
constexpr useconds_t kSignalDelayUs = 500000;  // pause before the interruption's steps
constexpr int kOutBlink = 1;                 // signal outputs
constexpr int kOutFail = 2;
constexpr int kOutRun = 3;
constexpr int kPassBlinkSteps = 10;    // output 1 toggles once a second
constexpr int kPassPeriodSteps = 30;   // output 3's pattern repeats every 3 s ...
constexpr int kPassOffLastStep = 90;   // ... switching off up to 9 s
constexpr int kPassOnOffset = 20;      // ... and on 2 s into each period
constexpr int kPassOnLastStep = 120;
constexpr int kFailBlinkSteps = 3;     // outputs 1 and 2 alternate every 300 ms
constexpr int kFailRunOnStep = 100;    // output 3 on after 10 s

// The signal handler only records the signal and writes one byte per signal
// into this pipe; the interruption thread reads it and does the rest.
constexpr size_t kSigPipeChunk = 256;  // recorded signals taken from the pipe at once
int g_sigPipe[2] = {-1, -1};
std::mutex g_doneMutex;
std::condition_variable g_doneCond;
int g_signalsDone = 0;                // signals whose steps have finished
std::atomic<int> g_signalsRaised{0};  // signals the handler has recorded
std::atomic<int> g_sigintsRaised{0};  // of which SIGINT
std::atomic<int> g_firstSignal{0};    // the first signal recorded; 0 before
bool g_threadRunning = false;         // the interruption thread took over
const char kHandlerName[] = "sig_handler";  // the steps are the handler's, wherever they run

// Writes "sig_handler param err. [sig]" to standard error with no stdio.
void WriteParamError(int sig)
{
    char text[64];
    char digits[16];
    int nd = 0;
    long v = sig;
    bool neg = v < 0;
    if (neg)
        v = -v;
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
// the process. sigintsBefore counts the SIGINTs recorded before this one: when
// this is a SIGINT and a further one came, the process ends at once.
void HandleSignal(int sig, int sigintsBefore)
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
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    RTLOG_AS(kHandlerName, "Received signal SIGINT[%d]", SIGINT);
    char cmd[kCmdBufSize];
    RunShellf(cmd, sizeof(cmd), "echo SON=%d > %s", kOutRun, kDioDevice);
    RunShellf(cmd, sizeof(cmd), "echo SOFF=1,2 > %s", kDioDevice);
    signal(SIGINT, SIG_DFL);
    if (sig == SIGINT && g_sigintsRaised > sigintsBefore + 1)
        raise(SIGINT);
}

// Adds count recorded signals to those whose steps are done.
void MarkDone(int count)
{
    {
        std::lock_guard<std::mutex> lock(g_doneMutex);
        g_signalsDone += count;
    }
    g_doneCond.notify_all();
}

// Reads signal numbers from the pipe and handles them in order. Like a signal
// that stays blocked while its own handler runs, the same signal recorded
// again and again while one is handled is handled once more, not once per
// delivery: a burst of SIGTERMs costs two rounds of the steps, not a hundred.
void* InterruptThread(void*)
{
    unsigned char pending[kSigPipeChunk];
    int sigintsRead = 0;  // SIGINTs taken from the pipe before this chunk
    for (;;) {
        ssize_t n = read(g_sigPipe[0], pending, sizeof(pending));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return nullptr;
        bool seen[NSIG] = {};
        for (ssize_t i = 0; i < n; ++i) {
            int sig = pending[i];
            if (sig < NSIG && !seen[sig]) {
                seen[sig] = true;
                HandleSignal(sig, sigintsRead);
            }
        }
        for (ssize_t i = 0; i < n; ++i)
            sigintsRead += pending[i] == SIGINT;
        MarkDone((int)n);
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
    if (sig == SIGINT || sig == SIGTERM)
        g_bRun = 0;
    if (sig == SIGINT)
        g_sigintsRaised++;
    int none = 0;
    g_firstSignal.compare_exchange_strong(none, sig);
    g_signalsRaised++;
    int saved = errno;
    unsigned char byte = (unsigned char)sig;
    if (g_sigPipe[1] >= 0) {
        ssize_t ignored = write(g_sigPipe[1], &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

int StartInterruptThread(const char* caller)
{
    // Close-on-exec: the shell commands never hold the pipe.
    if (pipe2(g_sigPipe, O_CLOEXEC) < 0) {
        RTLOG_AS(caller, "Err interrupt pipe:%s, signals handled at the end!!!", strerror(errno));
        g_sigPipe[0] = g_sigPipe[1] = -1;
        return -1;
    }
    pthread_t thread;
    int err = pthread_create(&thread, nullptr, InterruptThread, nullptr);
    if (err != 0) {
        RTLOG_AS(caller, "Err interrupt thread:%s, signals handled at the end!!!", strerror(err));
        close(g_sigPipe[0]);
        close(g_sigPipe[1]);
        g_sigPipe[0] = g_sigPipe[1] = -1;
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
        // No thread took the signals: their steps run here, once, for the
        // first one recorded, as the thread would have carried them out.
        int raised = g_signalsRaised;
        if (raised > g_signalsDone) {
            HandleSignal(g_firstSignal, 0);
            MarkDone(raised - g_signalsDone);
        }
        return;
    }
    std::unique_lock<std::mutex> lock(g_doneMutex);
    g_doneCond.wait(lock, [] { return g_signalsDone >= g_signalsRaised; });
}
