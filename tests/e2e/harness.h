// End-to-end runs of the program on a simulated board: RunBoard runs rigfixture
// once and gathers everything the run left behind.
#pragma once

#include <limits>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct RunResult {
    int status = -1;                    // rigfixture's exit status (the program's)
    std::string exitStatus;             // exit_status without its line feed: "exit 0", "signal 9", "timeout"
    std::string console;                // console.txt
    std::vector<std::string> logLines;  // the kept trace log's lines, then the live log's
    std::string keptLogName;            // name of the kept log in NandFlash/tmp; empty: none
    bool hasReport = false;
    std::string report;                 // NandFlash/tmp/rigChkEx.js
    std::vector<std::string> tmpFiles;  // names left in NandFlash/tmp, sorted
    std::string capture, dioTxt, dioVcd, tray, signals, fixtureLog, zrAppSU;
    std::string outDir;  // the run's output folder

    // Returns the message bodies of the trace log lines, in order.
    std::vector<std::string> Messages() const;
    // Returns the index of the first message equal to body at or after from; -1 when none.
    int FindMessage(const std::string& body, int from = 0) const;
    // Returns the index of the first message starting with prefix at or after from; -1 when none.
    int FindMessagePrefix(const std::string& prefix, int from = 0) const;
    // Returns true when a message equals body.
    bool HasMessage(const std::string& body) const { return FindMessage(body) >= 0; }
    // Returns the function field of the first line whose message is body; "" when none.
    std::string FunctionOf(const std::string& body) const;
    // Returns the console's lines.
    std::vector<std::string> ConsoleLines() const;
    // Returns a short account of the run for a failing test's message.
    std::string Describe() const;
};

// Returns true when the program under test is statically linked
// (RIG_E2E_STATIC=1, set by the static armhf suite). Such a program cannot take
// the preload library that carries the DIO driver's ioctls to the stand-in,
// and qemu-user answers ioctl numbers it does not know with ENOSYS without
// asking the kernel, so no scenario that runs the DIO tests on a board with a
// DIO device can pass under emulation; those run with the dynamic armhf build
// and the native builds.
bool StaticProgram();

// Why a scenario is skipped for a static program.
extern const char kNoDioIoctlsReason[];

// Skips the current scenario when the program under test is static (first
// statement of a TEST whose runs test the DIO device).
#define SKIP_WITHOUT_DIO_IOCTLS()                                                                                      \
    if (!StaticProgram()) {                                                                                            \
    } else                                                                                                             \
        GTEST_SKIP() << kNoDioIoctlsReason

// Returns true when the scenarios run on the board's twin (RIG_E2E_MACHINE=imx6ul).
bool TwinMachine();

// Returns the shell userland the scenarios run in: RIG_E2E_USERLAND ("debian"
// or "busybox"), "debian" when unset.
std::string ScenarioUserland();

// Returns the message of one trace log line: without the "N=[RtLog][date time] "
// head and the "\t<file> <function> line=<n>" tail; the line itself when it
// has neither.
std::string MessageBody(const std::string& line);

// Returns the lines of a text, without line feeds.
std::vector<std::string> Lines(const std::string& text);

// Returns a board to start from: host name, OTP and an empty /etc/zrdio.conf,
// no serial ports, no DIO device.
nlohmann::json BaseBoard();

// Returns the result of running the program with args (its whole command line)
// on board, in the folder e2e-runs/<name> of the build (emptied first), in
// the board's userland or the one RIG_E2E_USERLAND names (debian or busybox).
// Throws when a static program ran the DIO tests on a board with a DIO device
// (the scenario lacks SKIP_WITHOUT_DIO_IOCTLS). With ctrlCAfterDio, rigfixture
// runs as a terminal's foreground job and the operator presses Ctrl-C once
// its dio.txt holds that text.
RunResult RunBoard(const nlohmann::json& board, const std::vector<std::string>& args, const std::string& name,
                   const std::string& ctrlCAfterDio = "");

// One line of a fixture file written as "<time> <text>".
struct TimedLine {
    double t = 0;      // fixture seconds
    std::string text;  // the rest of the line
    // In tracelog.txt, the last time the fixture looked and the line was not
    // there whole yet, so that it was written within (after, t]; -inf when unknown.
    double after = -std::numeric_limits<double>::infinity();
};

// Returns the timed lines of a text; comment lines (starting with '#') are left out.
std::vector<TimedLine> ParseTimedLines(const std::string& text);

// Returns the lines of a tracelog.txt text, each with the time the fixture
// read it and the last time it looked before ("# logged after <time>" heads a
// batch read together; without one, the batch before was the last look).
std::vector<TimedLine> ParseTraceLog(const std::string& text);

// Returns the trace log lines of the run as ParseTraceLog reads its tracelog.txt.
std::vector<TimedLine> TraceLogTimes(const RunResult& r);

// One change of the program's descriptors on a serial port or the DIO device (fds.txt).
struct FdEvent {
    double t = 0;
    bool open = false;  // opened; false: closed
    int fd = -1;
    std::string path;  // e.g. "/dev/RS485-1", "/dev/zrdio"
};

// The program's threads' wait for a CPU so far, as fds.txt notes it.
struct CpuWait {
    double t = 0;
    double s = 0;  // seconds, all threads together
};

// One process of the program's shell commands, as it noted its end (fds.txt):
// when it ran and its whole wait for a CPU.
struct CommandCpuWait {
    double from = 0;
    double to = 0;
    double s = 0;
};

struct FdLog {
    std::vector<FdEvent> events;
    std::vector<CpuWait> waits;  // in the order written, each at least the last
    std::vector<CommandCpuWait> commands;
    bool ended = false;                 // the last line is an "end" line
    int endOpen = -1;                   // descriptors the end line names as still open
    std::map<int, std::string> endFds;  // ... and their paths
    std::string endLine;                // the end line as written
    double exitAt = -1;                 // when the program's exit began, as it noted; -1 without a note
};

// Returns the descriptor changes of an fds.txt text.
FdLog ParseFds(const std::string& text);

// Returns the descriptor changes of the run (fds.txt of its output folder).
FdLog RunFds(const RunResult& r);

// What CheckDescriptorsClosed found.
struct DescriptorCheck {
    std::string problem;  // empty when every check passed
    int opens = 0;        // descriptors the program opened over the run
    int checkpoints = 0;  // moments checked in the waits after the tries
    int inherited = 0;    // descriptors the program held before its first log line
};

// Checks, from outside, that no try leaves a descriptor open: when the fixture
// last looked before each "-----Try Test N-----" line with N >= 2 and the
// first summary line were written (the program is then in its wait after a
// try), no serial or DIO descriptor is open, every descriptor opened was
// closed, and fds.txt
// ends with "end 0 open". Descriptors the program already held before it
// logged its first line were inherited at its start, not opened by a test
// (the fixture names a /dev/null descriptor after a not_tty port, whose /dev
// entry is /dev/null): they are left out, and the end line may name them.
DescriptorCheck CheckDescriptorsClosed(const RunResult& r);
// The same check on a run's parsed fds.txt and tracelog.txt.
DescriptorCheck CheckDescriptorsClosed(const FdLog& fds, const std::vector<TimedLine>& trace);
