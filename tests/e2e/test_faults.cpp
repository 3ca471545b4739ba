// Faults around the program on simulated boards: ports and devices that are
// not there, a log folder that is missing or fills up, host and port names a
// shell or a path buffer would trip over, and SIGTERM/SIGINT at every phase
// of a run, alone, in bursts and timed across the shell commands of the end
// signalling. Each scenario checks the outcome, not only that the run ended.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "endrun_checks.h"
#include "harness.h"

#ifndef RIG_BOARDS_DIR
#error "RIG_BOARDS_DIR must name the folder of the shipped boards"
#endif

namespace {

using nlohmann::json;

const char kSignalLine[] = "Received signal SIGINT[2]";
constexpr double kHandlerPauseS = 0.5;  // the interruption's pause before its steps
constexpr double kExitWaitS = 0.5;      // main's wait before it returns
constexpr double kStepS = 0.1;          // one step of the end signalling
constexpr double kStartWaitS = 2.0;     // the program's first wait, before the tray notice
constexpr int kEndCommands = 6;         // the interruption's two, a step's two, the kept log's move, in flight
constexpr int kPathLimitName = 26;      // "/dev/" + name + its zero fill the 32-byte path

// Returns a shipped board description.
json ShippedBoard(const std::string& name)
{
    std::ifstream in(std::string(RIG_BOARDS_DIR) + "/" + name);
    return json::parse(in);
}

// Returns the "Succ Cnt/Error Cnt" summary line of a port, e.g. "RS485-1:Test Succ Cnt 2,Error Cnt 0".
std::string Summary(const std::string& port, int succ, int err)
{
    return port + ":Test Succ Cnt " + std::to_string(succ) + ",Error Cnt " + std::to_string(err);
}

// Returns the DO/DI summary line of a channel for its NO or NC tally.
std::string DioSummary(const std::string& channel, const char* test, int succ, int err)
{
    return channel + ":" + test + " Test Succ Cnt " + std::to_string(succ) + ",Error Cnt " + std::to_string(err);
}

// Returns every port entry of the report, "<kind>/<name>" -> verdict.
std::map<std::string, int> ReportPorts(const json& report)
{
    std::map<std::string, int> ports;
    for (const json& kind : report["logDate"]) {
        for (const json& port : kind["info"])
            ports[kind["name"].get<std::string>() + "/" + port["name"].get<std::string>()] = port["port"].get<int>();
    }
    return ports;
}

// Checks from outside that the program held no port or DIO descriptor after
// any try or at its end.
void ExpectNoDescriptorLeft(const RunResult& r)
{
    DescriptorCheck c = CheckDescriptorsClosed(r);
    EXPECT_EQ(c.problem, "") << r.Describe();
}

// The descriptor check on made-up runs of two tries: the next try's first
// open may be sampled before its try line was read (a busy or emulated board),
// which is no leak, while a descriptor kept over the wait is one, however
// late the read; so is one closed only as the next try began.
TEST(Faults, TheDescriptorCheckFindsADescriptorKeptOverTheWaitAfterATry)
{
    const std::string trace = "# logged after 9.95\n"
                              "10.00 1=[RtLog][x] -----Try Test 1-----\tf line=1\n"
                              "# logged after 11.45\n"
                              "11.50 2=[RtLog][x] RS485-1 done\tf line=2\n"
                              "# logged after 12.55\n"
                              "13.20 3=[RtLog][x] -----Try Test 2-----\tf line=3\n"
                              "14.80 4=[RtLog][x] RS485-1 done\tf line=4\n"
                              "16.00 5=[RtLog][x] RS485-1:Test Succ Cnt 2,Error Cnt 0\tf line=5\n";
    const struct {
        const char* name;
        const char* fds;
        const char* problem;  // what the check must report; empty for none
    } kRuns[] = {
        {"closed in the wait",
         "10.10 open 5 /dev/RS485-1\n11.40 closed 5 /dev/RS485-1\n"
         "13.25 open 5 /dev/RS485-1\n14.70 closed 5 /dev/RS485-1\n15.00 end 0 open\n",
         ""},
        {"try line read late",
         "10.10 open 5 /dev/RS485-1\n11.40 closed 5 /dev/RS485-1\n"
         "12.60 open 5 /dev/RS485-1\n14.70 closed 5 /dev/RS485-1\n15.00 end 0 open\n",
         ""},
        {"kept over the wait",
         "10.10 open 5 /dev/RS485-1\n12.60 open 6 /dev/RS485-1\n"
         "14.70 closed 6 /dev/RS485-1\n14.71 closed 5 /dev/RS485-1\n15.00 end 0 open\n",
         "after a try, descriptor 5 /dev/RS485-1 is open"},
        {"closed as the next try began",
         "10.10 open 5 /dev/RS485-1\n12.58 closed 5 /dev/RS485-1\n"
         "12.60 open 5 /dev/RS485-1\n14.70 closed 5 /dev/RS485-1\n15.00 end 0 open\n",
         "after a try, descriptor 5 /dev/RS485-1 is open"},
    };
    for (const auto& run : kRuns) {
        DescriptorCheck c = CheckDescriptorsClosed(ParseFds(run.fds), ParseTraceLog(trace));
        EXPECT_EQ(c.checkpoints, 2) << run.name;
        if (*run.problem == '\0')
            EXPECT_EQ(c.problem, "") << run.name;
        else
            EXPECT_NE(c.problem.find(run.problem), std::string::npos) << run.name << ": " << c.problem;
    }
}

// Returns the span from the first signal named word to the program's end;
// an empty one (from 0 to -1) when either is missing.
Span SpanToEnd(const RunResult& r, const std::string& word)
{
    std::vector<double> sent = SignalTimes(r, word);
    std::vector<double> end = SignalTimes(r, "end");
    if (sent.empty() || end.size() != 1)
        return {0, -1};
    return {sent[0], end[0]};
}

TEST(Faults, NoPortOpensAndNoDioDeviceEveryRecordFails)
{
    json board = BaseBoard();
    board["rs485"] = {{{"name", "RS485-1"}, {"faults", {"no_open"}}}, {{"name", "RS485-2"}, {"faults", {"no_open"}}}};
    board["rs232"] = {{{"name", "RS232-1"}, {"faults", {"no_open"}}},
                      {{"name", "RS232-2"}, {"faults", {"no_open"}}},
                      {{"name", "RS232-3"}, {"faults", {"no_open"}}}};
    board["dio"] = {{"device", "missing"}};
    board["zrdio_conf"] = "zr_di=1,2,3,4\nzr_do=1,2\n";
    board["timeout_s"] = 90;
    RunResult r = RunBoard(board, {"Port=All", "Cnt=2"}, "faults-nothing-opens");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();

    for (const char* port : {"RS485-1", "RS485-2", "RS232-1", "RS232-2", "RS232-3"})
        EXPECT_TRUE(r.HasMessage(Summary(port, 0, 2))) << port << "\n" << r.Describe();
    for (int ch = 1; ch <= 2; ++ch) {
        EXPECT_TRUE(r.HasMessage(DioSummary("DO-" + std::to_string(ch), "NO", 0, 2))) << r.Describe();
        EXPECT_TRUE(r.HasMessage(DioSummary("DO-" + std::to_string(ch), "NC", 0, 2)));
    }
    for (int ch = 1; ch <= 4; ++ch) {
        EXPECT_TRUE(r.HasMessage(DioSummary("DI-" + std::to_string(ch), "NO", 0, 2)));
        EXPECT_TRUE(r.HasMessage(DioSummary("DI-" + std::to_string(ch), "NC", 0, 2)));
    }
    EXPECT_TRUE(r.HasMessage("iTestSta:-1"));
    std::map<std::string, int> ports = ReportPorts(ParsedReport(r));
    EXPECT_EQ(ports.size(), 11u) << r.report;
    for (const auto& p : ports)
        EXPECT_EQ(p.second, 0) << p.first;

    // Without the device the signalling's commands fail at once: the SIGINT
    // ends the run after the handler's pause, nothing hangs.
    EXPECT_EQ(CountMessages(r, kSignalLine), 1);
    Span toEnd = SpanToEnd(r, "SIGINT");
    EXPECT_GE(toEnd.Seconds(), kHandlerPauseS);
    EXPECT_LE(toEnd.Seconds(), EndBoundS(r, toEnd, kHandlerPauseS + kStepS + kExitWaitS, kEndCommands)) << r.signals;
    ExpectNoDescriptorLeft(r);
}

TEST(Faults, NoSerialDeviceAtAllLeavesOnlyTheDio)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    json board = BaseBoard();
    board["rs485"] = {{{"name", "RS485-1"}, {"faults", {"missing"}}}};
    board["rs232"] = {{{"name", "RS232-1"}, {"faults", {"missing"}}}, {{"name", "RS232-2"}, {"faults", {"missing"}}}};
    board["dio"] = {{"do", 2}, {"di", 4}};
    board.erase("zrdio_conf");  // the configuration of the dio counts
    RunResult r = RunBoard(board, {"Port=All"}, "faults-no-serial-device");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_TRUE(r.HasMessage("@:RS485 Cnt:0"));
    EXPECT_TRUE(r.HasMessage("@:RS232 Cnt:0"));
    EXPECT_EQ(r.FindMessagePrefix("RS485-1:"), -1);
    EXPECT_EQ(r.FindMessagePrefix("RS232-"), -1);
    // Kinds without ports cannot fail the run; the DIO passes.
    EXPECT_TRUE(r.HasMessage("iTestSta:0")) << r.Describe();
    std::map<std::string, int> ports = ReportPorts(ParsedReport(r));
    EXPECT_EQ(ports.size(), 6u) << r.report;
    ExpectNoDescriptorLeft(r);
}

TEST(Faults, MissingLogFolderDropsTheLogAndSignalsFailure)
{
    json board = ShippedBoard("default.json");
    board["nandflash_tmp"] = "missing";
    board["signals"] = {{{"signal", "TERM"}, {"after_dio_lines", 3}}};  // after the fail pattern's first step
    board["timeout_s"] = 60;
    RunResult r = RunBoard(board, {"Port=RS485"}, "faults-missing-log-folder");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    struct stat st;
    EXPECT_NE(stat((r.outDir + "/NandFlash/tmp").c_str(), &st), 0) << "nothing made the folder";
    EXPECT_TRUE(r.logLines.empty());
    EXPECT_FALSE(r.hasReport);

    // The report could not be opened: the fail pattern although both ports passed.
    std::vector<DioLine> lines = DioLines(r);
    ASSERT_GE(lines.size(), 3u) << r.dioTxt;
    EXPECT_EQ(Texts(lines, 0, 3), (std::vector<std::string>{"SOFF=3", "SOFF=1", "SON=2"}));
    Span toEnd = SpanToEnd(r, "SIGTERM");
    EXPECT_GE(toEnd.Seconds(), kHandlerPauseS);
    EXPECT_LE(toEnd.Seconds(), EndBoundS(r, toEnd, 2 * kHandlerPauseS + kStepS + kExitWaitS, kEndCommands))
        << r.signals;
    ExpectFinalOutputs(r, 0, 0, 1);
}

// Returns the lines of a file in the run's NandFlash/tmp.
std::string TmpFileText(const RunResult& r, const std::string& name)
{
    std::ifstream in(r.outDir + "/NandFlash/tmp/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(Faults, FullLogMediumKeepsWhatWasWrittenAndTheRunGoesOn)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    constexpr int kMediumKb = 8;  // full during the third try of the default board
    json board = ShippedBoard("default.json");
    board["nandflash_tmp_kb"] = kMediumKb;
    // The log line the default stop waits for never makes it onto the medium:
    // the stop follows the pass pattern's first step instead.
    board["signals"] = {{{"signal", "INT"}, {"after_dio_lines", 3}}};
    board["timeout_s"] = 90;
    RunResult r = RunBoard(board, {"Port=All", "Cnt=3"}, "faults-full-log-medium");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();

    // The kept log: whole lines counted on from 0, then at most one line cut
    // off where the medium was full.
    ASSERT_FALSE(r.keptLogName.empty()) << r.Describe();
    std::string text = TmpFileText(r, r.keptLogName);
    EXPECT_LE(text.size(), (size_t)kMediumKb * 1024);
    EXPECT_GT(text.size(), (size_t)kMediumKb * 1024 / 2) << "the log filled the medium";
    std::vector<std::string> lines = Lines(text);
    ASSERT_GT(lines.size(), 20u);
    const std::regex whole(R"(^(\d+)=\[RtLog\]\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] .*\t\S+ \S+ line=\d+$)");
    bool cut = !text.empty() && text.back() != '\n';
    for (size_t i = 0; i + (cut ? 1 : 0) < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, whole)) << "line " << i << ": " << lines[i];
        EXPECT_EQ(std::stoul(m[1]), i);
    }
    if (cut) {
        EXPECT_EQ(lines.back().rfind(std::to_string(lines.size() - 1) + "=[RtLog][", 0), 0u) << lines.back();
    }

    // Every try ran to its end although its lines were lost: the pass pattern.
    std::vector<DioLine> dio = DioLines(r);
    ASSERT_GE(dio.size(), 3u) << r.dioTxt;
    EXPECT_EQ(Texts(dio, 0, 3), (std::vector<std::string>{"SOFF=3", "SON=3", "SON=1"}));
    // What the report could still put on the medium is the start of a report.
    const std::string head = "{\"rigchkEx\":\"testData\"";
    std::string report = TmpFileText(r, "rigChkEx.js");
    EXPECT_EQ(report.substr(0, head.size()), head.substr(0, report.size()));
    ExpectFinalOutputs(r, 0, 0, 1);
}

TEST(Faults, HostNameWithBlanksQuotesAndBackquotesRunsNothing)
{
    const std::string host = "ZR A7 'T100' `touch pwned`;touch pwned2";
    json board = OutputsOnlyBoard(host);
    RunResult r = RunBoard(board, {"Port=RS485"}, "faults-hostname-blanks");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    ASSERT_TRUE(r.HasMessage("hostname:" + host)) << r.Describe();
    EXPECT_EQ(ParsedReport(r)["DevType"], host);
    EXPECT_EQ(r.keptLogName.rfind("rigChkEx_" + host + "_", 0), 0u) << r.keptLogName;
    struct stat st;
    for (const char* f : {"/home/pwned", "/home/pwned2", "/NandFlash/tmp/pwned", "/NandFlash/tmp/pwned2"}) {
        EXPECT_NE(stat((r.outDir + f).c_str(), &st), 0) << f;
    }
}

TEST(Faults, PortNamesAtThePathLimitOpenAndBeyondItFailToOpen)
{
    const std::string at1 = "RS232-1" + std::string(kPathLimitName - 7, 'a');
    const std::string at2 = "RS232-2" + std::string(kPathLimitName - 7, 'a');
    const std::string over1 = "RS232-3" + std::string(kPathLimitName - 6, 'b');
    const std::string over2 = "RS232-4" + std::string(kPathLimitName - 6, 'b');
    json board = BaseBoard();
    board["rs232"] = {at1, at2, over1, over2};
    RunResult r = RunBoard(board, {"Port=RS232", "Cnt=2"}, "faults-port-name-limit");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    ASSERT_TRUE(r.HasMessage("@:RS232 Cnt:4")) << r.Describe();
    EXPECT_TRUE(r.HasMessage(Summary(at1, 2, 0))) << r.Describe();
    EXPECT_TRUE(r.HasMessage(Summary(at2, 2, 0)));
    EXPECT_TRUE(r.HasMessage(Summary(over1, 0, 2)));
    EXPECT_TRUE(r.HasMessage(Summary(over2, 0, 2)));
    // The message shows the path as far as it fits.
    EXPECT_GE(r.FindMessagePrefix("open Port:/dev/" + over1.substr(0, kPathLimitName)), 0) << r.Describe();
    std::map<std::string, int> ports = ReportPorts(ParsedReport(r));
    EXPECT_EQ(ports["RS232/" + at1], 1);
    EXPECT_EQ(ports["RS232/" + over2], 0);
    EXPECT_TRUE(r.HasMessage("iTestSta:-1"));
    ExpectNoDescriptorLeft(r);
}

TEST(FaultSignals, SigtermBeforeTheHandlerEndsTheProcessAtOnce)
{
    json board = ShippedBoard("default.json");
    board["signals"] = {{{"signal", "TERM"}, {"after_start_ms", 0}}};
    RunResult r = RunBoard(board, {"Port=All"}, "faults-sigterm-before-handler");
    EXPECT_EQ(r.exitStatus, "signal 15") << r.Describe();
    EXPECT_FALSE(r.HasMessage("signal 2"));
    EXPECT_FALSE(r.hasReport);
    EXPECT_EQ(r.zrAppSU.rfind("zrAppSU was still running", 0), 0u) << r.zrAppSU;
    // Ended by the signal, not after its first wait as a program that had caught it.
    EXPECT_LT(SpanToEnd(r, "SIGTERM").Seconds(), kStartWaitS);
}

// A signal (or a burst) sent while the run is in one phase.
struct Phase {
    const char* name;
    const char* afterLog;  // the log line that starts the phase
    int delayMs;
    int count;  // signals sent back to back
};

// The default board, Port=All Cnt=2: every port passes both tries.
const Phase kPhases[] = {
    {"StartupSleep", "signal 15", 500, 1},
    {"Rs485Test", "Try Test RS485 1", 100, 1},
    {"Rs232Test", "Try Test RS232 1", 400, 1},
    {"DioNoTest", "Try Test DIO_NO 1", 300, 1},
    {"DioNcTest", "Try Test DIO_NC 2", 300, 1},
    {"BurstInStartupSleep", "signal 15", 500, 100},
    {"BurstInRs485Test", "Try Test RS485 2", 100, 100},
};

// Names the phase in test messages.
void PrintTo(const Phase& ph, std::ostream* os)
{
    *os << ph.name;
}

class FaultSignalPhase : public testing::TestWithParam<Phase> {};

TEST_P(FaultSignalPhase, TriesFinishAndTheSignallingRunsOneStep)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    const Phase& ph = GetParam();
    json board = ShippedBoard("default.json");
    board["signals"] = {
        {{"signal", "TERM"}, {"after_log", ph.afterLog}, {"delay_ms", ph.delayMs}, {"count", ph.count}}};
    board["timeout_s"] = 90;
    RunResult r = RunBoard(board, {"Port=All", "Cnt=2"}, std::string("faults-phase-") + ph.name);
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();

    // The interruption's steps ran (a burst at most twice, as a signal that
    // stays blocked while its handler runs), and no try was cut short.
    int handled = CountMessages(r, kSignalLine);
    EXPECT_GE(handled, 1);
    EXPECT_LE(handled, ph.count > 1 ? 2 : 1);
    for (const char* port : {"RS485-1", "RS485-2", "RS232-1", "RS232-2"})
        EXPECT_TRUE(r.HasMessage(Summary(port, 2, 0))) << port << "\n" << r.Describe();
    for (const char* ch : {"DO-1", "DO-2", "DI-1", "DI-4"}) {
        EXPECT_TRUE(r.HasMessage(DioSummary(ch, "NO", 2, 0))) << ch;
        EXPECT_TRUE(r.HasMessage(DioSummary(ch, "NC", 2, 0))) << ch;
    }
    EXPECT_TRUE(r.HasMessage("iTestSta:0"));
    ExpectNoDescriptorLeft(r);

    // After the report: the pass pattern's first step alone, then the end.
    // A line's stamp is when the fixture read it, which may be long after the
    // program wrote it: the result line was written after the lines read
    // before it, so the pattern's first step is the first device line since.
    std::vector<DioLine> lines = DioLines(r);
    std::vector<TimedLine> log = TraceLogTimes(r);
    double resultAt = -1;
    for (const TimedLine& l : log) {
        if (MessageBody(l.text) == "iTestSta:0")
            resultAt = l.t;
    }
    ASSERT_GE(resultAt, 0) << r.Describe();
    double writtenAfter = -1;
    for (const TimedLine& l : log) {
        if (l.t < resultAt)
            writtenAfter = l.t;
    }
    // The interruption's own step (SON=3, then SOFF=1,2) ran before the tries
    // went on, however late the fixture read the lines logged since.
    int first = FirstLineFrom(lines, writtenAfter);
    ASSERT_GE(first, 0) << r.dioTxt;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i - 1].text == "SON=3" && lines[i].text == "SOFF=1,2")
            first = std::max(first, (int)i + 1);
    }
    ASSERT_LT(first, (int)lines.size()) << "no step after the interruption's\n" << r.dioTxt;
    EXPECT_EQ(Texts(lines, (size_t)first, lines.size()), (std::vector<std::string>{"SOFF=3", "SON=3", "SON=1"}));
    std::vector<double> end = SignalTimes(r, "end");
    ASSERT_EQ(end.size(), 1u);
    Span afterFirst = {lines[(size_t)first].t, end[0]};
    EXPECT_LE(afterFirst.Seconds(), EndBoundS(r, afterFirst, kStepS + kExitWaitS, kEndCommands));
    ExpectFinalOutputs(r, 1, 0, 1);
    // ... and the verdict says so, not that output 1 blinked.
    std::stringstream verdict;
    verdict << std::ifstream(r.outDir + "/verdict.txt").rdbuf();
    EXPECT_NE(verdict.str().find("\nend pattern: one step of the pass pattern, then stopped ("), std::string::npos)
        << verdict.str();
}

INSTANTIATE_TEST_SUITE_P(Phases, FaultSignalPhase, testing::ValuesIn(kPhases),
                         [](const testing::TestParamInfo<Phase>& p) { return std::string(p.param.name); });

TEST(FaultSignals, BurstDuringTheEndSignallingEndsTheRunPromptly)
{
    json board = ShippedBoard("default.json");
    board["signals"] = {{{"signal", "TERM"}, {"after_log", "iTestSta:"}, {"delay_ms", 1500}, {"count", 100}}};
    board["timeout_s"] = 60;
    RunResult r = RunBoard(board, {"Port=RS485"}, "faults-burst-end-signalling");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    int handled = CountMessages(r, kSignalLine);
    EXPECT_GE(handled, 1);
    EXPECT_LE(handled, 2);
    // At most two rounds of the interruption's steps, then main's wait.
    Span toEnd = SpanToEnd(r, "SIGTERM");
    EXPECT_LE(toEnd.Seconds(), EndBoundS(r, toEnd, 2 * kHandlerPauseS + kStepS + kExitWaitS, 2 * kEndCommands))
        << r.signals;
    ExpectFinalOutputs(r, 0, 0, 1);
}

TEST(FaultSignals, FloodAfterTheResultGivesAtMostTwoRoundsAndAPromptEnd)
{
    // 400 bursts of 1000 SIGTERMs, 5 ms apart, for as long as the program runs.
    constexpr int kBurst = 1000;
    json board = ShippedBoard("default.json");
    board["signals"] = {{{"signal", "TERM"},
                         {"after_log", "iTestSta:"},
                         {"delay_ms", 1000},
                         {"count", kBurst},
                         {"every_ms", 5},
                         {"for_ms", 2000}}};
    board["timeout_s"] = 60;
    RunResult r = RunBoard(board, {"Port=RS485"}, "faults-flood-end-signalling");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    std::vector<double> bursts = SignalTimes(r, "SIGTERM");
    ASSERT_GE(bursts.size(), 2u) << "the flood went on while the steps ran\n" << r.signals;

    // The round in progress and at most one more: its log line and its two commands.
    int handled = CountMessages(r, kSignalLine);
    EXPECT_GE(handled, 1);
    EXPECT_LE(handled, 2);
    int rounds = 0;
    for (const DioLine& l : DioLines(r))
        rounds += l.t >= bursts[0] && l.text == "SOFF=1,2";
    EXPECT_EQ(rounds, handled) << r.dioTxt;
    Span toEnd = SpanToEnd(r, "SIGTERM");
    EXPECT_LE(toEnd.Seconds(), EndBoundS(r, toEnd, 2 * kHandlerPauseS + kStepS + kExitWaitS, 2 * kEndCommands))
        << r.signals;
    ExpectFinalOutputs(r, 0, 0, 1);
}

// Offsets of a SIGINT into the fail pattern, whose steps run two shell
// commands every 300 ms: together they fall all across the commands and the
// sleeps between them.
class FaultSigintAcrossCommands : public testing::TestWithParam<int> {};

TEST_P(FaultSigintAcrossCommands, IsNeverLost)
{
    constexpr int kFirstMs = 1000;
    constexpr int kSpacingMs = 37;  // not a divisor of the 100 ms step
    json board = BaseBoard();
    board["rs485"] = {"RS485-1", {{"name", "RS485-2"}, {"faults", {"deaf"}}}};
    board["dio"] = {{"do", 0}, {"di", 0}};
    board["signals"] = {
        {{"signal", "INT"}, {"after_log", "iTestSta:"}, {"delay_ms", kFirstMs + kSpacingMs * GetParam()}}};
    // A lost Ctrl-C runs into the time limit: the default one, which grows with
    // what a busy machine held the run back, not a fixed one it can miss.
    RunResult r = RunBoard(board, {"Port=RS485"}, "faults-sigint-across-" + std::to_string(GetParam()));
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_EQ(CountMessages(r, kSignalLine), 1);
    Span toEnd = SpanToEnd(r, "SIGINT");
    EXPECT_GE(toEnd.Seconds(), kHandlerPauseS);
    EXPECT_LE(toEnd.Seconds(), EndBoundS(r, toEnd, kHandlerPauseS + kStepS + kExitWaitS, kEndCommands)) << r.signals;
    ExpectFinalOutputs(r, 0, 0, 1);
}

INSTANTIATE_TEST_SUITE_P(Offsets, FaultSigintAcrossCommands, testing::Range(0, 8));

// The operator's Ctrl-C at rigfixture's terminal once the signal outputs show
// the tries: it reaches board-init and the program (on the twin as well, over
// its fixture link) but not the simulators, so the tries pass and the run
// ends as after any SIGINT instead of blinking until its time limit.
TEST(FaultSignals, CtrlCAtTheTerminalReachesTheProgramAlone)
{
    json board = BaseBoard();
    board["rs485"] = {"RS485-1", "RS485-2"};
    board["dio"] = {{"do", 0}, {"di", 0}};
    RunResult r = RunBoard(board, {"Port=RS485", "Cnt=2"}, "faults-ctrl-c-at-the-terminal", "line \"");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_EQ(CountMessages(r, kSignalLine), 1);
    EXPECT_NE(r.fixtureLog.find("board-init got signal 2 from outside"), std::string::npos) << r.fixtureLog;
    for (const char* port : {"RS485-1", "RS485-2"})
        EXPECT_TRUE(r.HasMessage(Summary(port, 2, 0))) << port << "\n" << r.Describe();
}

}  // namespace
