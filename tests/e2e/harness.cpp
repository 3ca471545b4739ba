#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "boardlayout.h"
#include "dirlist.h"

#ifndef RIGFIXTURE_PATH
#error "RIGFIXTURE_PATH must name the rigfixture program"
#endif
#ifndef E2E_RUNS_DIR
#error "E2E_RUNS_DIR must name the folder of the runs"
#endif

namespace {

// The program under test is the build's own unless these are set: the armhf
// suite runs the same scenarios with the cross-built program under qemu-arm
// (see cmake/armhf-e2e.cmake), in its own runs folder.
const char kProgramEnv[] = "RIG_E2E_PROGRAM";         // --program of rigfixture
const char kEmulatorEnv[] = "RIG_E2E_EMULATOR";       // --emulator
const char kPreloadDirEnv[] = "RIG_E2E_PRELOAD_DIR";  // --preload-dir
const char kRunsDirEnv[] = "RIG_E2E_RUNS_DIR";        // in place of the build's e2e-runs
const char kUserlandEnv[] = "RIG_E2E_USERLAND";       // --userland
const char kStaticEnv[] = "RIG_E2E_STATIC";           // see StaticProgram
const char kMachineEnv[] = "RIG_E2E_MACHINE";         // --machine (imx6ul: the board's twin)
const char kDioKindMark[] = "****Try Test DI";        // a try of the DIO kind begins

const char kLiveLog[] = "rigChkEx.log";
const char kKeptLogPrefix[] = "rigChkEx_";
const char kLogSuffix[] = ".log";
constexpr size_t kDescribeTail = 40;  // log lines shown by Describe
constexpr mode_t kDirMode = 0755;
constexpr int kExecFailed = 127;
constexpr useconds_t kCtrlCPollUs = 50000;  // how often the terminal's hand looks at dio.txt

// Returns the value of the environment variable name; fallback when it is unset or empty.
std::string EnvOr(const char* name, const char* fallback)
{
    const char* v = getenv(name);
    return (v != nullptr && v[0] != '\0') ? v : fallback;
}

// Returns the file's text; empty when it cannot be read.
std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    if (in)
        ss << in.rdbuf();
    return ss.str();
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The operator's Ctrl-C at the terminal: once the file holds the text, SIGINT
// to the process group of the job.
struct CtrlC {
    std::string file;
    std::string text;
};

// Waits for pid, pressing ctrlC (when it names a file) once; returns the wait status.
int WaitPressingCtrlC(pid_t pid, const CtrlC& ctrlC)
{
    int status = 0;
    bool pressed = ctrlC.file.empty();
    for (;;) {
        pid_t got = waitpid(pid, &status, pressed ? 0 : WNOHANG);
        if (got == pid)
            return status;
        if (got < 0 && errno != EINTR)
            throw std::runtime_error("waitpid failed");
        if (!pressed && Slurp(ctrlC.file).find(ctrlC.text) != std::string::npos) {
            kill(-pid, SIGINT);  // the terminal's foreground job
            pressed = true;
        } else if (!pressed) {
            usleep(kCtrlCPollUs);
        }
    }
}

// Returns the exit status of argv run with stdout and stderr into logPath;
// with ctrlC, argv runs as a terminal's foreground job (a process group of its
// own) and gets the Ctrl-C.
int Run(const std::vector<std::string>& argv, const std::string& logPath, const CtrlC& ctrlC = {})
{
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (!ctrlC.file.empty())
            setpgid(0, 0);
        int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        std::vector<char*> av;
        for (const std::string& a : argv)
            av.push_back(const_cast<char*>(a.c_str()));
        av.push_back(nullptr);
        execv(av[0], av.data());
        _exit(kExecFailed);
    }
    if (!ctrlC.file.empty())
        setpgid(pid, pid);  // as the child does: whichever comes first
    int status = WaitPressingCtrlC(pid, ctrlC);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Returns name with every character but letters, digits, '-' and '_' made '_'.
std::string SafeName(const std::string& name)
{
    std::string s = name;
    for (char& c : s) {
        if (!isalnum((unsigned char)c) && c != '-' && c != '_')
            c = '_';
    }
    return s;
}

}  // namespace

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string MessageBody(const std::string& line)
{
    std::string body = line;
    // Head: "<count>=[<name>][<date time>] ".
    size_t eq = body.find("=[");
    size_t close = eq == std::string::npos ? eq : body.find("][", eq);
    size_t end = close == std::string::npos ? close : body.find("] ", close + 2);
    if (eq != std::string::npos && end != std::string::npos &&
        std::all_of(body.begin(), body.begin() + (long)eq, [](char c) { return isdigit((unsigned char)c); }))
        body = body.substr(end + 2);
    // Tail: "\t<file> <function> line=<n>".
    size_t tab = body.rfind('\t');
    if (tab != std::string::npos && body.find(" line=", tab) != std::string::npos)
        body.erase(tab);
    return body;
}

std::vector<std::string> RunResult::Messages() const
{
    std::vector<std::string> bodies;
    for (const std::string& l : logLines)
        bodies.push_back(MessageBody(l));
    return bodies;
}

int RunResult::FindMessage(const std::string& body, int from) const
{
    for (size_t i = (size_t)std::max(from, 0); i < logLines.size(); ++i) {
        if (MessageBody(logLines[i]) == body)
            return (int)i;
    }
    return -1;
}

std::string RunResult::FunctionOf(const std::string& body) const
{
    int i = FindMessage(body);
    if (i < 0)
        return "";
    // Tail: "\t<file> <function> line=<n>".
    const std::string& line = logLines[(size_t)i];
    size_t end = line.rfind(" line=");
    size_t start = end == std::string::npos || end == 0 ? std::string::npos : line.rfind(' ', end - 1);
    return start == std::string::npos ? "" : line.substr(start + 1, end - start - 1);
}

int RunResult::FindMessagePrefix(const std::string& prefix, int from) const
{
    for (size_t i = (size_t)std::max(from, 0); i < logLines.size(); ++i) {
        if (MessageBody(logLines[i]).rfind(prefix, 0) == 0)
            return (int)i;
    }
    return -1;
}

std::vector<std::string> RunResult::ConsoleLines() const
{
    return Lines(console);
}

std::string RunResult::Describe() const
{
    std::string d =
        "run in " + outDir + ": rigfixture status " + std::to_string(status) + ", exit_status \"" + exitStatus + "\"\n";
    size_t first = logLines.size() > kDescribeTail ? logLines.size() - kDescribeTail : 0;
    d += "trace log (last lines):\n";
    for (size_t i = first; i < logLines.size(); ++i)
        d += "  " + logLines[i] + "\n";
    d += "fixture.log:\n" + fixtureLog;
    return d;
}

const char kNoDioIoctlsReason[] =
    "static program: qemu-user answers the DIO driver's ioctls with ENOSYS and a static program "
    "takes no preload library (the dynamic armhf and the native builds run this scenario)";

bool StaticProgram()
{
    return EnvOr(kStaticEnv, "0") == std::string("1");
}

bool TwinMachine()
{
    return EnvOr(kMachineEnv, "host") == std::string("imx6ul");
}

std::string ScenarioUserland()
{
    return EnvOr(kUserlandEnv, "debian");
}

namespace {
// Returns true when the board has a DIO device (a "dio" key whose device is not "missing").
bool HasDioDevice(const nlohmann::json& board)
{
    return board.contains("dio") && board["dio"].is_object() &&
           !(board["dio"].contains("device") && board["dio"]["device"] == "missing");
}
}  // namespace

nlohmann::json BaseBoard()
{
    return {{"hostname", "ZR-E2E-BOARD"}, {"otp", "0x12345678"}, {"zrdio_conf", ""}};
}

RunResult RunBoard(const nlohmann::json& board, const std::vector<std::string>& args, const std::string& name,
                   const std::string& ctrlCAfterDio)
{
    const std::string runsDir = EnvOr(kRunsDirEnv, E2E_RUNS_DIR);
    const std::string dir = runsDir + "/" + SafeName(name);
    bool fresh = Run({"/bin/rm", "-rf", dir}, "/dev/null") == 0;
    fresh = fresh && (mkdir(runsDir.c_str(), kDirMode) == 0 || errno == EEXIST);
    fresh = fresh && mkdir(dir.c_str(), kDirMode) == 0;
    if (!fresh)
        throw std::runtime_error("cannot make a fresh " + dir);
    const std::string boardPath = dir + "/input-board.json";
    std::ofstream(boardPath) << board.dump(2) << "\n";

    RunResult r;
    r.outDir = dir + "/out";
    std::vector<std::string> argv = {RIGFIXTURE_PATH, "--quiet", "--board", boardPath, "--out", r.outDir};
    for (const auto& opt : {std::make_pair(kProgramEnv, "--program"), std::make_pair(kEmulatorEnv, "--emulator"),
                            std::make_pair(kPreloadDirEnv, "--preload-dir"), std::make_pair(kUserlandEnv, "--userland"),
                            std::make_pair(kMachineEnv, "--machine")}) {
        std::string value = EnvOr(opt.first, "");
        if (!value.empty())
            argv.insert(argv.end(), {opt.second, value});
    }
    argv.push_back("--");
    argv.insert(argv.end(), args.begin(), args.end());
    CtrlC ctrlC;
    if (!ctrlCAfterDio.empty())
        ctrlC = {r.outDir + "/dio.txt", ctrlCAfterDio};
    r.status = Run(argv, dir + "/rigfixture.txt", ctrlC);

    r.exitStatus = Slurp(r.outDir + "/exit_status");
    while (!r.exitStatus.empty() && r.exitStatus.back() == '\n')
        r.exitStatus.pop_back();
    r.console = Slurp(r.outDir + "/console.txt");
    const std::string tmp = r.outDir + "/NandFlash/tmp";
    r.tmpFiles = ListDirNames(tmp);
    for (const std::string& f : r.tmpFiles) {
        if (f.rfind(kKeptLogPrefix, 0) == 0 && f.size() > strlen(kLogSuffix) &&
            f.compare(f.size() - strlen(kLogSuffix), std::string::npos, kLogSuffix) == 0) {
            r.keptLogName = f;
            for (const std::string& l : Lines(Slurp(tmp + "/" + f)))
                r.logLines.push_back(l);
        }
    }
    for (const std::string& l : Lines(Slurp(tmp + "/" + kLiveLog)))
        r.logLines.push_back(l);
    r.hasReport = Exists(tmp + "/rigChkEx.js");
    r.report = Slurp(tmp + "/rigChkEx.js");
    r.capture = Slurp(r.outDir + "/capture.txt");
    r.dioTxt = Slurp(r.outDir + "/dio.txt");
    r.dioVcd = Slurp(r.outDir + "/dio.vcd");
    r.tray = Slurp(r.outDir + "/tray.txt");
    r.signals = Slurp(r.outDir + "/signals.txt");
    r.fixtureLog = Slurp(r.outDir + "/fixture.log") + Slurp(dir + "/rigfixture.txt");
    r.zrAppSU = Slurp(r.outDir + "/zrAppSU.txt");
    if (StaticProgram() && HasDioDevice(board) && r.FindMessagePrefix(kDioKindMark) >= 0)
        throw std::runtime_error("run " + name +
                                 " tested the DIO device, whose ioctls a static program under "
                                 "qemu-user cannot reach: start the scenario with SKIP_WITHOUT_DIO_IOCTLS()");
    return r;
}

namespace {
constexpr double kAfterTryS = 1.0;  // the program's wait after every try
const char kTryLinePrefix[] = "-----Try Test ";
const char kSummaryMark[] = "Test Succ Cnt ";
}  // namespace

std::vector<TimedLine> ParseTimedLines(const std::string& text)
{
    std::vector<TimedLine> out;
    for (const std::string& l : Lines(text)) {
        if (l.empty() || l[0] == '#')
            continue;
        size_t blank = l.find(' ');
        char* end = nullptr;
        double t = strtod(l.c_str(), &end);
        if (blank == std::string::npos || end != l.c_str() + blank)
            continue;
        out.push_back({t, l.substr(blank + 1)});
    }
    return out;
}

std::vector<TimedLine> ParseTraceLog(const std::string& text)
{
    std::vector<TimedLine> out;
    double after = -std::numeric_limits<double>::infinity();
    double readAt = after;
    const std::string head = std::string("# ") + kTraceLoggedAfter;
    for (const std::string& l : Lines(text)) {
        if (l.rfind(head, 0) == 0) {
            after = strtod(l.c_str() + head.size(), nullptr);
            continue;
        }
        for (TimedLine& line : ParseTimedLines(l)) {
            if (line.t > readAt && readAt > after)
                after = readAt;  // no head: the batch before was the last look
            readAt = line.t;
            line.after = after;
            out.push_back(line);
        }
    }
    return out;
}

std::vector<TimedLine> TraceLogTimes(const RunResult& r)
{
    return ParseTraceLog(Slurp(r.outDir + "/tracelog.txt"));
}

FdLog ParseFds(const std::string& text)
{
    FdLog log;
    for (const TimedLine& l : ParseTimedLines(text)) {
        std::istringstream in(l.text);
        std::string what;
        in >> what;
        log.ended = false;
        if (what == "end") {
            log.ended = true;
            log.endLine = l.text;
            in >> log.endOpen >> what;
            int fd = -1;
            std::string path;
            while (in >> fd >> path)
                log.endFds[fd] = path;
            continue;
        }
        if (what == "exit") {
            log.exitAt = l.t;
            continue;
        }
        CommandCpuWait c;
        std::string waitWord;
        if (what == "command" && in >> c.from >> waitWord >> c.s && waitWord == "wait") {
            c.to = l.t;
            log.commands.push_back(c);
            continue;
        }
        CpuWait w;
        if (what == "wait" && in >> w.s) {
            w.t = l.t;
            log.waits.push_back(w);
            continue;
        }
        FdEvent e;
        e.t = l.t;
        e.open = what == "open";
        if ((e.open || what == "closed") && in >> e.fd >> e.path)
            log.events.push_back(e);
    }
    return log;
}

FdLog RunFds(const RunResult& r)
{
    return ParseFds(Slurp(r.outDir + "/fds.txt"));
}

DescriptorCheck CheckDescriptorsClosed(const RunResult& r)
{
    return CheckDescriptorsClosed(RunFds(r), TraceLogTimes(r));
}

DescriptorCheck CheckDescriptorsClosed(const FdLog& fds, const std::vector<TimedLine>& trace)
{
    DescriptorCheck c;
    // The fixture's last look before a try line was written falls in the
    // wait after the try, unless it did not look for as long as the wait
    // lasts; the moment is then the latest before the next try's first open.
    auto firstOpenAfter = [&](double t) {
        for (const FdEvent& e : fds.events)
            if (e.open && e.t > t)
                return e.t;
        return std::numeric_limits<double>::infinity();
    };
    std::vector<double> moments;
    for (const TimedLine& l : trace) {
        std::string body = MessageBody(l.text);
        bool summary = body.find(kSummaryMark) != std::string::npos;
        if (summary || (body.rfind(kTryLinePrefix, 0) == 0 && atoi(body.c_str() + strlen(kTryLinePrefix)) >= 2))
            moments.push_back(l.t - l.after < kAfterTryS ? l.after
                                                         : std::min(l.t, std::nextafter(firstOpenAfter(l.after), 0.0)));
        if (summary)
            break;
    }
    c.checkpoints = (int)moments.size();
    if (moments.empty()) {
        c.problem = "no summary line in tracelog.txt";
        return c;
    }
    // Replays the changes up to each moment; what is open then was left open by a try.
    std::map<int, std::string> open;
    size_t next = 0;
    auto replayTo = [&](double t) {
        for (; next < fds.events.size() && fds.events[next].t <= t; ++next) {
            const FdEvent& e = fds.events[next];
            if (e.open) {
                open[e.fd] = e.path;
                ++c.opens;
            } else {
                open.erase(e.fd);
            }
        }
    };
    replayTo(trace.front().t);
    const std::map<int, std::string> inherited = open;
    c.inherited = (int)inherited.size();
    c.opens = 0;
    auto ownOpen = [&]() {
        std::map<int, std::string> own;
        for (const auto& fd : open)
            if (inherited.count(fd.first) == 0 || inherited.at(fd.first) != fd.second)
                own.insert(fd);
        return own;
    };
    for (double m : moments) {
        replayTo(m);
        for (const auto& fd : ownOpen())
            c.problem += "at " + std::to_string(m) + " s, after a try, descriptor " + std::to_string(fd.first) + " " +
                         fd.second + " is open\n";
    }
    replayTo(1e30);
    for (const auto& fd : ownOpen())
        c.problem += "descriptor " + std::to_string(fd.first) + " " + fd.second + " was never closed\n";
    bool endOk = fds.ended && fds.endOpen == (int)fds.endFds.size();
    for (const auto& fd : fds.endFds)
        endOk = endOk && inherited.count(fd.first) != 0 && inherited.at(fd.first) == fd.second;
    if (!endOk)
        c.problem +=
            "fds.txt does not end with \"end 0 open\" (or inherited descriptors only): \"" + fds.endLine + "\"\n";
    return c;
}
