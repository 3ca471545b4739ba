// The end of a run on simulated boards: the pass and fail patterns on the
// signal outputs, interruption by SIGINT and SIGTERM at different moments,
// the tray notice, the report and the kept log, an unwritable report folder
// and host names that a shell would take apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "endrun_checks.h"
#include "harness.h"

namespace {

using nlohmann::json;

const char kDateTimePattern[] = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
const char kSignalLine[] = "Received signal SIGINT[2]";
const char kLiveLogName[] = "rigChkEx.log";
const char kReportName[] = "rigChkEx.js";

constexpr double kAfterReportS = 3.0;   // the signalling starts this soon after the report
constexpr double kHandlerPauseS = 0.5;  // the interruption's pause before its steps
constexpr double kExitWaitS = 0.5;      // main's wait before it returns
constexpr double kStepS = 0.1;          // one step of the end signalling
constexpr double kTrayDelayS = 2.0;     // the wait before the tray notice
constexpr int kStartCommands = 10;      // shell commands of the start-up and the report
constexpr int kPassStepCommands = 3;    // step 0 of the pass pattern
constexpr int kInFlight = 2;            // commands of a step running when a signal comes

// One command of a documented pattern: its time from the first command.
struct Planned {
    double t;
    std::string text;
};

// Checks that the device lines from index first follow plan: the same texts
// in the same order, none earlier than planned, and each spaced from the one
// before as planned. Each step is a 100 ms sleep plus the shell commands it
// runs, so a spacing may exceed the plan by what starting a command takes in
// this run: that is measured from the commands the plan runs in a row, and
// from the run's other known steps (MeasuredSlownessS); a load or an
// emulator that slows the commands widens the bound with them. Every sleep
// ends late on a loaded machine too, and a spacing of n steps holds n of
// them: it is held to n of this run's mean steps over the whole plan, and
// that mean to one step plus a command. A machine kept busy by other work
// may also hold the program back from a CPU at any one moment: the wait it
// measured for the stretch is allowed on top (CpuWaitS).
void ExpectPlan(const RunResult& r, const std::vector<DioLine>& lines, int first, const std::vector<Planned>& plan)
{
    ASSERT_GE(first, 0);
    ASSERT_GE(lines.size(), first + plan.size()) << "the signalling stopped early";
    ASSERT_GT(plan.back().t, 0);
    double command = MeasuredSlownessS(r);
    for (size_t k = 1; k < plan.size(); ++k) {
        if (plan[k].t == plan[k - 1].t)
            command = std::max(command, lines[first + k].t - lines[first + k - 1].t);
    }
    const double t0 = lines[first].t;
    const double steps = plan.back().t / kStepS;
    const Span whole = {t0, lines[first + plan.size() - 1].t};
    const double meanStep = whole.Seconds() / steps;
    EXPECT_LE(meanStep, kStepS + command + CpuWaitS(r, whole) / steps);
    double tightest = -1;  // the least room any step left under its bound
    std::string tightestStep;
    for (size_t k = 0; k < plan.size(); ++k) {
        const DioLine& got = lines[first + k];
        SCOPED_TRACE("command " + std::to_string(k) + " (" + plan[k].text + " at " + std::to_string(plan[k].t) +
                     " s) seen at " + std::to_string(got.t - t0) + " s; one command takes up to " +
                     std::to_string(command) + " s and a step " + std::to_string(meanStep) + " s in this run");
        ASSERT_EQ(got.text, plan[k].text);
        EXPECT_GE(got.t - t0, plan[k].t - command);
        double want = plan[k].t - (k > 0 ? plan[k - 1].t : 0);
        if (k == 0 || want == 0)
            continue;
        const Span step = {lines[first + k - 1].t, got.t};
        EXPECT_GE(step.Seconds(), want - command);
        const double bound = want / kStepS * meanStep + 2 * command + CpuWaitS(r, step);
        EXPECT_LE(step.Seconds(), bound);
        if (tightest < 0 || bound - step.Seconds() < tightest) {
            tightest = bound - step.Seconds();
            tightestStep = std::to_string(step.Seconds()) + " s of " + std::to_string(bound) + " s";
        }
    }
    testing::Test::RecordProperty("tightest_step", tightestStep);
}

// The pass pattern's commands up to and including 12 s: output 3 off and on
// at once, off at 3, 6, 9 s and on at 2, 5, 8, 11 s (on for good from 11 s),
// output 1 on and off every second, starting with on.
std::vector<Planned> PassPlanTo12s()
{
    std::vector<Planned> plan = {
        {0, "SOFF=3"}, {0, "SON=3"},  {0, "SON=1"},   {1, "SOFF=1"}, {2, "SON=3"},  {2, "SON=1"},
        {3, "SOFF=3"}, {3, "SOFF=1"}, {4, "SON=1"},   {5, "SON=3"},  {5, "SOFF=1"}, {6, "SOFF=3"},
        {6, "SON=1"},  {7, "SOFF=1"}, {8, "SON=3"},   {8, "SON=1"},  {9, "SOFF=3"}, {9, "SOFF=1"},
        {10, "SON=1"}, {11, "SON=3"}, {11, "SOFF=1"}, {12, "SON=1"},
    };
    return plan;
}

// The fail pattern's commands up to 10.2 s: output 3 off, then every 300 ms
// outputs 1 and 2 swap (first 1 off and 2 on), output 3 on at 10 s.
std::vector<Planned> FailPlanTo10s()
{
    constexpr double kSwapS = 0.3;     // outputs 1 and 2 swap at every third 100 ms step
    constexpr double kOut3OnS = 10.0;  // output 3 goes on at step 100
    constexpr int kLastSwap = 34;      // the swap at 10.2 s, the first after output 3 went on
    std::vector<Planned> plan = {{0, "SOFF=3"}};
    for (int swap = 0; swap <= kLastSwap; ++swap) {
        if (swap == kLastSwap)
            plan.push_back({kOut3OnS, "SON=3"});
        bool oneOn = swap % 2 == 1;  // the first swap switches output 1 off and output 2 on
        plan.push_back({kSwapS * swap, oneOn ? "SON=1" : "SOFF=1"});
        plan.push_back({kSwapS * swap, oneOn ? "SOFF=2" : "SON=2"});
    }
    return plan;
}

// Returns the date-time of the banner's "DateTime:" line; empty when none.
std::string LoggedDateTime(const RunResult& r)
{
    int i = r.FindMessagePrefix("DateTime:");
    return i < 0 ? std::string() : r.Messages()[(size_t)i].substr(std::string("DateTime:").size());
}

// Returns the lines of the live log file alone.
std::vector<std::string> LiveLogLines(const RunResult& r)
{
    std::ifstream in(r.outDir + "/NandFlash/tmp/" + kLiveLogName);
    std::stringstream ss;
    ss << in.rdbuf();
    return Lines(ss.str());
}

// Returns the counter of a trace log line ("12=[RtLog]..."); -1 when none.
long LineCounter(const std::string& line)
{
    long n = -1;
    return sscanf(line.c_str(), "%ld=[", &n) == 1 ? n : -1;
}

// Checks the files a completed run leaves: the report, the kept log named
// from host and start time, and a live log that holds only the lines logged
// after the move, numbered on from the kept log.
void ExpectKeptLog(const RunResult& r, const std::string& host, const std::vector<std::string>& afterMove)
{
    const std::string dateTime = LoggedDateTime(r);
    ASSERT_TRUE(std::regex_match(dateTime, std::regex(kDateTimePattern))) << r.Describe();
    const std::string kept = "rigChkEx_" + host + "_" + dateTime + ".log";
    EXPECT_EQ(r.keptLogName, kept);

    std::vector<std::string> live = LiveLogLines(r);
    std::vector<std::string> bodies;
    for (const std::string& l : live)
        bodies.push_back(MessageBody(l));
    EXPECT_EQ(bodies, afterMove) << "lines after the move";

    std::vector<std::string> expected = {kReportName, kept};
    if (!live.empty()) {
        expected.push_back(kLiveLogName);
        size_t keptLines = r.logLines.size() - live.size();
        ASSERT_GT(keptLines, 0u);
        EXPECT_EQ(LineCounter(live.front()), LineCounter(r.logLines[keptLines - 1]) + 1);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(r.tmpFiles, expected);
}

// Checks the one tray notice: type 36876, values 2 and 0, 76 bytes, sent
// after the 2 s start-up wait.
void ExpectTrayNotice(const RunResult& r)
{
    std::vector<std::string> tray = Lines(r.tray);
    ASSERT_EQ(tray.size(), 1u) << r.tray;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(tray[0], m, std::regex(R"(([0-9.]+) type=36876 iParam1=2 iParam2=0 len=76)")))
        << tray[0];
    std::vector<double> start = SignalTimes(r, "start");
    ASSERT_EQ(start.size(), 1u) << r.signals;
    EXPECT_GE(std::stod(m[1]) - start[0], kTrayDelayS - 0.05);
}

TEST(EndRun, PassPatternThenSigterm)
{
    json board = OutputsOnlyBoard("ZR-E2E-PASS");
    board["rs485"] = {"RS485-1", "RS485-2"};
    // The SIGTERM comes once the pattern has passed 12 s: after its commands
    // to then, however long they took.
    board["signals"] = {{{"signal", "TERM"}, {"after_dio_lines", PassPlanTo12s().size()}, {"delay_ms", 500}}};
    RunResult r = RunBoard(board, {"Port=RS485"}, "endrun-pass-sigterm");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_EQ(r.status, 0);
    ExpectTrayNotice(r);

    // The report: exactly the two passing ports, and valid JSON.
    const std::string dateTime = LoggedDateTime(r);
    ASSERT_TRUE(r.hasReport) << r.Describe();
    EXPECT_EQ(r.report, "{\"rigchkEx\":\"testData\",\"DevType\":\"ZR-E2E-PASS\",\"DateTime\":\"" + dateTime +
                            "\" ,\"logDate\":[{\"name\":\"RS485\",\"info\":[{\"name\":\"RS485-1\",\"port\":1},"
                            "{\"name\":\"RS485-2\",\"port\":1}]} ]}");
    json report = ParsedReport(r);
    EXPECT_EQ(report["logDate"][0]["info"].size(), 2u);
    EXPECT_TRUE(r.HasMessage("iTestSta:0"));
    ExpectKeptLog(r, "ZR-E2E-PASS", {kSignalLine});
    EXPECT_EQ(r.FunctionOf(kSignalLine), "sig_handler");

    // The pass pattern, from its first command to 12 s.
    std::vector<DioLine> lines = DioLines(r);
    ASSERT_FALSE(lines.empty()) << r.dioTxt;
    std::vector<double> term = SignalTimes(r, "SIGTERM");
    ASSERT_EQ(term.size(), 1u) << r.signals;
    ExpectPlan(r, lines, 0, PassPlanTo12s());
    if (ScenarioUserland() == "debian" && !TwinMachine()) {
        EXPECT_GE(RunFds(r).commands.size(), lines.size())
            << "each command notes its wait for a CPU, which the bounds allow for";
    }

    // Output 3 stays on from 11 s; output 1 goes on blinking until the signal.
    std::vector<Edge> edges = OutputEdges(r);
    double t0 = lines[0].t;
    double on3 = -1;
    int blinks = 0;
    for (const Edge& e : edges) {
        if (e.t < t0 || e.t > term[0])
            continue;
        if (e.out == 3)
            on3 = e.value == 1 ? e.t : -1;
        if (e.out == 1)
            blinks++;
        EXPECT_NE(e.out, 2) << "output 2 takes no part in the pass pattern";
    }
    ASSERT_GT(on3, 0) << "output 3 is on when the signal comes";
    EXPECT_GE(on3 - t0, 11.0 - MeasuredSlownessS(r));
    EXPECT_GE(blinks, 12);

    // SIGTERM: the message with 2, output 3 on, 1 and 2 off, exit 0.
    EXPECT_EQ(CountMessages(r, kSignalLine), 1) << r.Describe();
    int afterSignal = InterruptionSteps(lines, term[0]);
    ASSERT_GE(afterSignal, 0) << r.dioTxt;
    EXPECT_EQ(Texts(lines, afterSignal, lines.size()), (std::vector<std::string>{"SON=3", "SOFF=1,2"}));
    Span toSteps = {term[0], lines[afterSignal].t};
    EXPECT_GE(toSteps.Seconds(), kHandlerPauseS - 0.05);
    EXPECT_LE(toSteps.Seconds(), LateBoundS(r, toSteps, kHandlerPauseS, kInFlight));
    ExpectFinalOutputs(r, 0, 0, 1);
}

TEST(EndRun, FailPatternThenSecondSigintEndsAtOnce)
{
    // The example run: host H, two RS485 ports, the second deaf.
    json board = OutputsOnlyBoard("H");
    board["rs485"] = {"RS485-1", {{"name", "RS485-2"}, {"faults", {"deaf"}}}};
    // The first SIGINT comes once the pattern has passed 10.2 s: after its
    // commands to then, however long they took.
    board["signals"] = {{{"signal", "INT"}, {"after_dio_lines", FailPlanTo10s().size()}, {"delay_ms", 500}},
                        {{"signal", "INT"}, {"after_prev_ms", 200}}};
    RunResult r = RunBoard(board, {"Port=RS485"}, "endrun-fail-double-sigint");

    // The second SIGINT, in the first one's pause, ends the process by SIGINT.
    ASSERT_EQ(r.exitStatus, "signal 2") << r.Describe();
    EXPECT_EQ(r.status, 128 + 2);
    std::vector<double> ints = SignalTimes(r, "SIGINT");
    std::vector<double> end = SignalTimes(r, "end");
    ASSERT_EQ(ints.size(), 2u) << r.signals;
    ASSERT_EQ(end.size(), 1u) << r.signals;
    // It ends the process once the first one's steps are done, without a wait of its own.
    Span toEnd = {ints[0], end[0]};
    EXPECT_LE(toEnd.Seconds(), EndBoundS(r, toEnd, kHandlerPauseS, kInFlight + 1));

    const std::string dateTime = LoggedDateTime(r);
    ASSERT_TRUE(r.hasReport) << r.Describe();
    EXPECT_EQ(r.report, "{\"rigchkEx\":\"testData\",\"DevType\":\"H\",\"DateTime\":\"" + dateTime +
                            "\" ,\"logDate\":[{\"name\":\"RS485\",\"info\":[{\"name\":\"RS485-1\",\"port\":1},"
                            "{\"name\":\"RS485-2\",\"port\":0}]} ]}");
    json report = ParsedReport(r);
    EXPECT_EQ(report["DevType"], "H");
    EXPECT_EQ(report["logDate"][0]["info"][1]["port"], 0);
    EXPECT_TRUE(r.HasMessage("iTestSta:-1"));
    ExpectKeptLog(r, "H", {kSignalLine});

    // The fail pattern to 10.2 s, then output 3 stays on.
    std::vector<DioLine> lines = DioLines(r);
    ExpectPlan(r, lines, 0, FailPlanTo10s());
    std::vector<Edge> edges = OutputEdges(r);
    ASSERT_FALSE(lines.empty());
    const double t0 = lines[0].t;
    for (const Edge& e : edges) {
        if (e.out == 3 && e.t >= t0 && e.t < ints[0]) {
            EXPECT_EQ(e.value, 1) << "output 3 changes only once, to on, at " << e.t - t0;
        }
    }
    EXPECT_EQ(OutputAt(edges, 3, ints[0]), 1);

    // The first SIGINT's steps ran, the second one's never did.
    EXPECT_EQ(CountMessages(r, kSignalLine), 1) << r.Describe();
    int afterSignal = InterruptionSteps(lines, ints[0]);
    ASSERT_GE(afterSignal, 0) << r.dioTxt;
    EXPECT_EQ(Texts(lines, afterSignal, lines.size()), (std::vector<std::string>{"SON=3", "SOFF=1,2"}));
    ExpectFinalOutputs(r, 0, 0, 1);
}

TEST(EndRun, SigintDuringTheTriesLetsThemFinish)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    json board = BaseBoard();
    board["hostname"] = "ZR-E2E-TRIES";
    board["dio"] = {{"do", 2}, {"di", 4}};
    board.erase("zrdio_conf");  // generated from the channels
    board["signals"] = {{{"signal", "INT"}, {"after_log", "Try Test DIO_NO 1"}, {"delay_ms", 300}}};
    RunResult r = RunBoard(board, {"Port=DIO", "Cnt=2"}, "endrun-sigint-during-tries");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    ExpectTrayNotice(r);

    // Handled while the first try ran; both tries done, summary and report.
    int handled = r.FindMessage(kSignalLine);
    ASSERT_GE(handled, 0) << r.Describe();
    EXPECT_GT(handled, r.FindMessage("****Try Test DIO_NO 1*****"));
    EXPECT_LT(handled, r.FindMessage("-----Try Test 2-----"));
    EXPECT_GE(r.FindMessage("****Try Test DIO_NC 2*****"), 0) << r.Describe();
    EXPECT_TRUE(r.HasMessage("DO-1:NO Test Succ Cnt 2,Error Cnt 0"));
    EXPECT_TRUE(r.HasMessage("DI-4:NC Test Succ Cnt 2,Error Cnt 0"));
    EXPECT_GT(r.FindMessage("iTestSta:0"), handled);
    json report = ParsedReport(r);
    ASSERT_EQ(report["logDate"].size(), 2u) << r.report;
    EXPECT_EQ(report["logDate"][0]["info"].size(), 2u);
    EXPECT_EQ(report["logDate"][1]["info"].size(), 4u);
    for (const json& group : report["logDate"]) {
        for (const json& port : group["info"]) {
            EXPECT_EQ(port["port"], 1) << port.dump();
        }
    }
    ExpectKeptLog(r, "ZR-E2E-TRIES", {});

    // The interruption's commands during the try; after the report the pass
    // pattern's first step alone, then the 100 ms step and main's 500 ms wait.
    std::vector<DioLine> lines = DioLines(r);
    EXPECT_EQ(Texts(lines, 0, lines.size()),
              (std::vector<std::string>{"SON=3", "SOFF=1,2", "SOFF=3", "SON=3", "SON=1"}));
    ASSERT_EQ(lines.size(), 5u);
    Span step = {lines[2].t, lines[4].t};
    EXPECT_LT(step.Seconds(), LateBoundS(r, step, 0, kPassStepCommands - 1)) << "one step, no sleep within";
    std::vector<double> end = SignalTimes(r, "end");
    ASSERT_EQ(end.size(), 1u);
    Span toEnd = {lines[4].t, end[0]};
    EXPECT_GE(toEnd.Seconds(), kStepS + kExitWaitS - 0.05);
    EXPECT_LE(toEnd.Seconds(), EndBoundS(r, toEnd, kStepS + kExitWaitS, 1));
    ExpectFinalOutputs(r, 1, 0, 1);
}

TEST(EndRun, SignalsKeepTheFixedWaits)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    // Two SIGTERMs (SIGTERM stays handled): one in the 2 s wait before the
    // tray notice, one while the DO-to-DI test lets its outputs settle. Neither
    // may shorten the wait it falls into.
    json board = BaseBoard();
    board.erase("zrdio_conf");
    board["dio"] = {{"do", 2}, {"di", 4}};
    board["signals"] = {{{"signal", "TERM"}, {"after_log", "signal 15"}, {"delay_ms", 500}},
                        {{"signal", "TERM"}, {"after_log", "Try Test DIO_NO 1"}, {"delay_ms", 300}}};
    RunResult r = RunBoard(board, {"Port=DIO"}, "endrun-signals-keep-waits");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_EQ(CountMessages(r, kSignalLine), 2) << r.Describe();
    ExpectTrayNotice(r);

    // The NO test switches both DOs on, then reads them back after 1 s.
    std::regex on(R"(^([0-9.]+) ioctl .* ZRDIO_DO_ON arg=0x02 .*)");
    std::regex readBack(R"(^([0-9.]+) ioctl .* ZRDIO_RD_DO arg=0x01 .*)");
    double switched = -1;
    double readAt = -1;
    std::smatch m;
    for (const std::string& l : Lines(r.dioTxt)) {
        if (switched < 0 && std::regex_match(l, m, on))
            switched = std::stod(m[1]);
        else if (switched >= 0 && readAt < 0 && std::regex_match(l, m, readBack))
            readAt = std::stod(m[1]);
    }
    ASSERT_GT(switched, 0) << r.dioTxt;
    ASSERT_GT(readAt, 0) << r.dioTxt;
    EXPECT_GE(readAt - switched, 1.0 - 0.05) << "the settling wait was cut short";
    EXPECT_TRUE(r.HasMessage("DO-1:NO Test Succ Cnt 1,Error Cnt 0")) << r.Describe();
}

TEST(EndRun, InventoryFailureReportAndFailPattern)
{
    json board = OutputsOnlyBoard("H");
    board["zrdio_conf"] = nullptr;
    RunResult r = RunBoard(board, {"Port=RS485"}, "endrun-inventory-failure");
    ASSERT_EQ(r.exitStatus, "exit 255") << r.Describe();
    EXPECT_EQ(r.status, 255);
    ExpectTrayNotice(r);

    const std::string dateTime = LoggedDateTime(r);
    EXPECT_EQ(r.report,
              "{\"rigchkEx\":\"testData\",\"DevType\":\"H\",\"DateTime\":\"" + dateTime + "\" ,\"logDate\":[]}");
    json report = ParsedReport(r);
    EXPECT_EQ(report["DateTime"], dateTime);
    EXPECT_TRUE(report["logDate"].is_array() && report["logDate"].empty());
    int failed = r.FindMessage("Err Get Port Info!!!");
    ASSERT_GE(failed, 0) << r.Describe();
    EXPECT_GT(r.FindMessagePrefix("write /NandFlash/tmp/rigChkEx.js ok:"), failed);
    ExpectKeptLog(r, "H", {kSignalLine});

    // The fail pattern (-2), then SIGINT: final state and exit 255.
    std::vector<DioLine> lines = DioLines(r);
    EXPECT_EQ(Texts(lines, 0, 3), (std::vector<std::string>{"SOFF=3", "SOFF=1", "SON=2"}));
    std::vector<double> ints = SignalTimes(r, "SIGINT");
    ASSERT_EQ(ints.size(), 1u) << r.signals;
    int afterSignal = InterruptionSteps(lines, ints[0]);
    ASSERT_GE(afterSignal, 0) << r.dioTxt;
    EXPECT_EQ(Texts(lines, afterSignal, lines.size()), (std::vector<std::string>{"SON=3", "SOFF=1,2"}));
    EXPECT_GE(lines[afterSignal].t - ints[0], kHandlerPauseS - 0.05);
    ExpectFinalOutputs(r, 0, 0, 1);
}

TEST(EndRun, UnwritableReportFolderSignalsFailure)
{
    json board = OutputsOnlyBoard("ZR-E2E-RO");
    board["nandflash_tmp"] = "readonly";
    // No log line can tell the fixture when to stop the run: stop it once the
    // fail pattern has run ten of its swaps, however long the start took.
    constexpr int kLinesBeforeSignal = 21;  // output 3 off, then ten swaps of outputs 1 and 2
    board["signals"] = {{{"signal", "TERM"}, {"after_dio_lines", kLinesBeforeSignal}}};
    RunResult r = RunBoard(board, {"Port=RS485"}, "endrun-readonly-report");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_TRUE(r.tmpFiles.empty()) << "nothing can be written there";
    EXPECT_FALSE(r.hasReport);
    std::vector<std::string> console = r.ConsoleLines();
    ASSERT_FALSE(console.empty());
    EXPECT_EQ(console[0], "rigchkEx parameter");

    // The report's open failed: the fail pattern, although nothing failed.
    std::vector<DioLine> lines = DioLines(r);
    std::vector<double> term = SignalTimes(r, "SIGTERM");
    std::vector<double> start = SignalTimes(r, "start");
    ASSERT_EQ(term.size(), 1u);
    ASSERT_EQ(start.size(), 1u);
    ASSERT_GE(lines.size(), 3u) << r.dioTxt;
    EXPECT_EQ(Texts(lines, 0, 3), (std::vector<std::string>{"SOFF=3", "SOFF=1", "SON=2"}));
    Span toPattern = {start[0], lines[0].t};
    EXPECT_LE(toPattern.Seconds(), LateBoundS(r, toPattern, 2 * kTrayDelayS + kAfterReportS, kStartCommands));
    int afterSignal = FirstLineFrom(lines, term[0]);
    ASSERT_GE(afterSignal, 6) << "the fail pattern ran for a while before the signal";
    std::vector<Planned> fail = FailPlanTo10s();
    for (int k = 0; k < afterSignal && k < (int)fail.size(); ++k)
        EXPECT_EQ(lines[(size_t)k].text, fail[(size_t)k].text) << "command " << k;
    // A step already running when the signal came finishes its commands.
    while (afterSignal < (int)lines.size() && lines[(size_t)afterSignal].text != "SOFF=3")
        afterSignal++;
    EXPECT_LE(afterSignal - FirstLineFrom(lines, term[0]), 2);

    // The signal ends the failure signalling; the run's own result (0: no port
    // failed) shows one step, then the interruption's steps after their pause.
    EXPECT_EQ(Texts(lines, (size_t)afterSignal, lines.size()),
              (std::vector<std::string>{"SOFF=3", "SON=3", "SON=1", "SON=3", "SOFF=1,2"}));
    ASSERT_EQ(lines.size(), (size_t)afterSignal + 5);
    Span toStep = {term[0], lines[(size_t)afterSignal].t};
    EXPECT_LE(toStep.Seconds(), LateBoundS(r, toStep, kStepS, kInFlight + 1));
    EXPECT_GE(lines[(size_t)afterSignal + 3].t - term[0], kHandlerPauseS - 0.05);
    ExpectFinalOutputs(r, 0, 0, 1);
}

TEST(EndRun, HostNameWithQuoteAndCommandIsNotRun)
{
    // No '/' in it, so it can be part of the kept log's name; were it run by a
    // shell, it would leave NandFlash/tmp/pwned.
    const std::string host = "ZR\"$(cd ..;cd ..;cd NandFlash;cd tmp;touch pwned)";
    json board = OutputsOnlyBoard(host);
    RunResult r = RunBoard(board, {"Port=RS485"}, "endrun-hostname-quote");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    ASSERT_TRUE(r.HasMessage("hostname:" + host)) << "the sandbox did not take the host name\n" << r.Describe();

    json report = ParsedReport(r);
    EXPECT_EQ(report["DevType"], host);
    EXPECT_EQ(report["DateTime"], LoggedDateTime(r));
    ExpectKeptLog(r, host, {kSignalLine});
    EXPECT_EQ(std::count(r.tmpFiles.begin(), r.tmpFiles.end(), "pwned"), 0);

    // SIGINT alone during the end signalling: outputs in their final state, exit 0.
    EXPECT_EQ(CountMessages(r, kSignalLine), 1);
    ExpectFinalOutputs(r, 0, 0, 1);
}

TEST(EndRun, HostNameWithSlashKeepsTheLiveLog)
{
    // A '/' cannot be in a file name: the log stays where it is, nothing runs.
    const std::string host = "ZR\"$(touch /NandFlash/tmp/pwned)`touch /NandFlash/tmp/pwned2`";
    json board = OutputsOnlyBoard(host);
    RunResult r = RunBoard(board, {"Port=RS485"}, "endrun-hostname-slash");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    ASSERT_TRUE(r.HasMessage("hostname:" + host)) << "the sandbox did not take the host name\n" << r.Describe();
    json report = ParsedReport(r);
    EXPECT_EQ(report["DevType"], host);
    EXPECT_EQ(r.tmpFiles, (std::vector<std::string>{kReportName, kLiveLogName}));
    EXPECT_TRUE(r.HasMessage("iTestSta:0"));
    EXPECT_TRUE(r.HasMessage(kSignalLine));
}

}  // namespace
