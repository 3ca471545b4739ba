#include "endrun_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>

using nlohmann::json;

namespace {

constexpr double kTrayWaitS = 2.0;      // the program's wait before the tray notice
constexpr double kHandlerPauseS = 0.5;  // the interruption's pause before its commands
constexpr double kStampS = 1e-6;        // the resolution of the fixture's time stamps
constexpr double kFixturePollS = 0.06;  // board-init sees the end and the logs every 50 ms

// Returns true when lines b follows a in one step of the program, with no wait
// between them. A step of the end signalling that switches output 3 switches
// output 1 next (the DI switching test uses output 3 alone).
bool InARow(const std::string& a, const std::string& b)
{
    bool out3 = a == "SON=3" || a == "SOFF=3";
    bool out1 = b == "SON=1" || b == "SOFF=1";
    return (a == "SON=1" && b == "SOFF=2") || (a == "SOFF=1" && b == "SON=2") || (a == "SON=3" && b == "SOFF=1,2") ||
           (out3 && out1);
}

// Returns the time of the tray notice; -1 when none.
double TrayTime(const RunResult& r)
{
    std::vector<std::string> tray = Lines(r.tray);
    return tray.empty() ? -1 : atof(tray[0].c_str());
}

}  // namespace

// Returns the lines written to the device, in order.
std::vector<DioLine> DioLines(const RunResult& r)
{
    std::vector<DioLine> out;
    std::regex re(R"re(^([0-9.]+) line "([^"]*)"$)re");
    std::smatch m;
    for (const std::string& l : Lines(r.dioTxt)) {
        if (std::regex_match(l, m, re))
            out.push_back({std::stod(m[1]), m[2]});
    }
    return out;
}

// Returns the changes of the signal outputs, the power-on state included.
std::vector<Edge> OutputEdges(const RunResult& r)
{
    std::vector<Edge> out;
    std::regex re(R"(^([0-9.]+) change OUT([123])=([01])$)");
    std::smatch m;
    for (const std::string& l : Lines(r.dioTxt)) {
        if (std::regex_match(l, m, re))
            out.push_back({std::stod(m[1]), std::stoi(m[2]), std::stoi(m[3])});
    }
    return out;
}

// Returns the state of output out after every change up to time t.
int OutputAt(const std::vector<Edge>& edges, int out, double t)
{
    int v = -1;
    for (const Edge& e : edges) {
        if (e.out == out && e.t <= t)
            v = e.value;
    }
    return v;
}

// Returns the times of the signals.txt lines whose second word is word
// ("start", "SIGINT", "SIGTERM", "end"), in order.
std::vector<double> SignalTimes(const RunResult& r, const std::string& word)
{
    std::vector<double> out;
    for (const std::string& l : Lines(r.signals)) {
        std::istringstream in(l);
        double t = 0;
        std::string w;
        if (in >> t >> w && w == word)
            out.push_back(t);
    }
    return out;
}

// Returns the first device line at or after time t; -1 when none.
int FirstLineFrom(const std::vector<DioLine>& lines, double t)
{
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].t >= t)
            return (int)i;
    }
    return -1;
}

// Returns the index of the interruption's first command ("SON=3") after a
// signal at time t. A step of the end signalling that was running when the
// signal came may finish its (at most two) commands first. -1 when none.
int InterruptionSteps(const std::vector<DioLine>& lines, double t)
{
    constexpr int kInFlight = 2;
    int first = FirstLineFrom(lines, t);
    for (int i = first; i >= 0 && i < (int)lines.size() && i <= first + kInFlight; ++i) {
        if (lines[(size_t)i].text == "SON=3")
            return i;
    }
    return -1;
}

// Returns the texts of lines [from, to).
std::vector<std::string> Texts(const std::vector<DioLine>& lines, size_t from, size_t to)
{
    std::vector<std::string> out;
    for (size_t i = from; i < to && i < lines.size(); ++i)
        out.push_back(lines[i].text);
    return out;
}

// Returns the report parsed as JSON; fails the test when it does not parse.
json ParsedReport(const RunResult& r)
{
    json j = json::parse(r.report, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "the report is not valid JSON: " << r.report;
    return j;
}

// Checks the state the outputs are left in at the end of the run.
void ExpectFinalOutputs(const RunResult& r, int out1, int out2, int out3)
{
    std::vector<Edge> edges = OutputEdges(r);
    const double end = 1e9;
    EXPECT_EQ(OutputAt(edges, 1, end), out1) << r.dioTxt;
    EXPECT_EQ(OutputAt(edges, 2, end), out2);
    EXPECT_EQ(OutputAt(edges, 3, end), out3);
}

// A board with a DIO device for the signal outputs and no channels.
json OutputsOnlyBoard(const std::string& host)
{
    json board = BaseBoard();
    board["hostname"] = host;
    board["dio"] = {{"do", 0}, {"di", 0}};
    return board;
}

// Returns the number of lines whose message is body.
int CountMessages(const RunResult& r, const std::string& body)
{
    std::vector<std::string> m = r.Messages();
    return (int)std::count(m.begin(), m.end(), body);
}

// Returns how slow this run was, measured from its own files.
double MeasuredSlownessS(const RunResult& r)
{
    double slow = kStampS;
    std::vector<DioLine> lines = DioLines(r);
    for (size_t i = 1; i < lines.size(); ++i) {
        if (InARow(lines[i - 1].text, lines[i].text))
            slow = std::max(slow, lines[i].t - lines[i - 1].t);
    }
    std::vector<double> start = SignalTimes(r, "start");
    double tray = TrayTime(r);
    if (start.size() == 1 && tray > 0)
        slow = std::max(slow, tray - start[0] - kTrayWaitS);
    std::vector<double> sent = SignalTimes(r, "SIGINT");
    std::vector<double> term = SignalTimes(r, "SIGTERM");
    sent.insert(sent.end(), term.begin(), term.end());
    for (double t : sent) {
        int first = InterruptionSteps(lines, t);
        if (first >= 0)
            slow = std::max(slow, lines[(size_t)first].t - t - kHandlerPauseS);
    }
    return slow;
}

// Returns the wait for a CPU of the program and its commands within span, as fds.txt's lines tell.
double CpuWaitS(const RunResult& r, Span span)
{
    // The last line at or before the start holds at most the wait up to it;
    // the first at or after the end, at least the wait up to the end.
    FdLog fds = RunFds(r);
    double before = 0;
    double after = fds.waits.empty() ? 0 : fds.waits.back().s;
    for (const CpuWait& w : fds.waits) {
        if (w.t <= span.from)
            before = w.s;
        if (w.t >= span.to) {
            after = w.s;
            break;
        }
    }
    // A command that ran within the span, if only in part, held it back by
    // at most its whole wait.
    double commands = 0;
    for (const CommandCpuWait& c : fds.commands) {
        if (c.from <= span.to && c.to >= span.from)
            commands += c.s;
    }
    return std::max(0.0, after - before) + commands;
}

// Returns the latest a span may end: a wait, steps, and the program's wait for a CPU.
double LateBoundS(const RunResult& r, Span span, double wantS, int commands)
{
    return wantS + (commands + 1) * MeasuredSlownessS(r) + kFixturePollS + CpuWaitS(r, span);
}

// Returns the time from the start of the program's exit to its end; 0 without a note.
double ExitCheckS(const RunResult& r)
{
    FdLog fds = RunFds(r);
    std::vector<double> end = SignalTimes(r, "end");
    if (fds.exitAt < 0 || end.size() != 1)
        return 0;
    return std::max(0.0, end[0] - fds.exitAt);
}

// Returns LateBoundS plus the run's leak check at exit.
double EndBoundS(const RunResult& r, Span span, double wantS, int commands)
{
    return LateBoundS(r, span, wantS, commands) + ExitCheckS(r);
}
