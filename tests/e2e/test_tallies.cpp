// Tallies over several tries with mixed injected faults: the summary lines,
// the report's verdicts and the overall result must be what the scenario
// model works out from the board, port by port; and no try may leave a
// serial or DIO descriptor open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "expected_tallies.h"
#include "harness.h"

namespace {

using nlohmann::json;

const char kSummaryMark[] = "Test Succ Cnt ";

std::string Joined(const std::vector<std::string>& v)
{
    std::string s;
    for (const std::string& x : v)
        s += "  " + x + "\n";
    return s;
}

std::string Joined(const std::vector<ReportEntry>& v)
{
    std::string s;
    for (const ReportEntry& e : v)
        s += "  " + e.group + " " + e.name + " " + std::to_string(e.port) + "\n";
    return s;
}

// Returns a port entry with faults.
json Port(const std::string& name, const std::vector<json>& faults)
{
    return {{"name", name}, {"faults", json(faults)}};
}

json DropRx(const std::vector<int>& frames)
{
    return {{"drop_rx", frames}};
}

// Returns the run's summary messages, in order.
std::vector<std::string> LoggedSummary(const RunResult& r)
{
    std::vector<std::string> out;
    for (const std::string& m : r.Messages())
        if (m.find(kSummaryMark) != std::string::npos)
            out.push_back(m);
    return out;
}

int LoggedTestSta(const RunResult& r)
{
    int i = r.FindMessagePrefix("iTestSta:");
    return i < 0 ? 99 : std::stoi(r.Messages()[(size_t)i].substr(strlen("iTestSta:")));
}

std::string Slurped(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Returns the model's tallies of a port as the verdict block lists a failed
// one: "S/T" (successes/tries), "NO S/T NC S/T" for a DO or DI channel.
std::string ModelTallies(const ExpectedRun& e, const std::string& name)
{
    auto text = [](const ExpectedTally& t) { return std::to_string(t.succ) + "/" + std::to_string(t.succ + t.err); };
    for (const auto* list : {&e.rs485, &e.rs232})
        for (const ExpectedPort& p : *list)
            if (p.name == name)
                return text(p.tally);
    for (const auto* list : {&e.dos, &e.dis})
        for (const ExpectedPort& p : *list)
            if (p.name == name)
                return "NO " + text(p.tally) + " NC " + text(p.ncTally);
    return "?";
}

// Checks the verdict block the run left (verdict.txt) against the model: PASS
// exactly when the model's result is a pass, every port the model fails
// listed with its tallies, and the end pattern of the result on a board with
// a DIO device; and that --quiet gave the verdict line and the failed ports
// with the output folder still the last line it printed.
void ExpectVerdict(const RunResult& r, const nlohmann::json& board, const ExpectedRun& e)
{
    std::vector<std::string> lines = Lines(Slurped(r.outDir + "/verdict.txt"));
    ASSERT_FALSE(lines.empty()) << r.outDir;
    std::vector<std::string> failed;
    size_t reported = 0;
    for (const ReportEntry& p : ExpectedReport(e)) {
        reported++;
        if (p.port == 0)
            failed.push_back("  " + p.name + " " + ModelTallies(e, p.name));
    }
    if (e.testSta == 0)
        EXPECT_EQ(lines[0].rfind("VERDICT: PASS", 0), 0u) << lines[0];
    else
        EXPECT_EQ(lines[0], "VERDICT: FAIL (" + std::to_string(failed.size()) + " of the " + std::to_string(reported) +
                                " ports failed)");
    std::vector<std::string> listed;
    for (const std::string& l : lines)
        if (l.rfind("  ", 0) == 0 && l.rfind("  (", 0) != 0)
            listed.push_back(l);
    EXPECT_EQ(listed, failed) << "verdict:\n" << Joined(lines) << "model:\n" << Joined(failed);
    const std::string pattern = !board.contains("dio") ? "none" : e.testSta == 0 ? "pass" : "fail";
    EXPECT_NE(std::find(lines.begin(), lines.end(), "exit status: exit 0"), lines.end()) << Joined(lines);
    bool shown = false;
    for (const std::string& l : lines)
        shown = shown || l.rfind("end pattern: " + pattern + " (", 0) == 0;
    EXPECT_TRUE(shown) << "end pattern " << pattern << " expected:\n" << Joined(lines);

    std::vector<std::string> quiet = Lines(Slurped(r.outDir + "/../rigfixture.txt"));
    ASSERT_FALSE(quiet.empty());
    EXPECT_EQ(quiet.back(), r.outDir) << "--quiet prints the output folder last";
    EXPECT_NE(std::find(quiet.begin(), quiet.end(), "rigfixture: " + lines[0]), quiet.end()) << Joined(quiet);
    for (const std::string& f : failed)
        EXPECT_NE(std::find(quiet.begin(), quiet.end(), "rigfixture: " + f), quiet.end()) << Joined(quiet);
}

// Runs the board with Port=port and Cnt=tries and checks everything the
// model predicts, and that no try left a descriptor open. Returns the model.
ExpectedRun RunAndCompare(const json& board, const std::string& port, unsigned select, int tries,
                          const std::string& name)
{
    ExpectedRun e = ExpectTallies(board, select, tries);
    if (!e.refused.empty()) {
        ADD_FAILURE() << "the model does not cover this board: " << e.refused;
        return e;
    }
    RunResult r = RunBoard(board, {"Port=" + port, "Cnt=" + std::to_string(tries)}, name);
    EXPECT_EQ(r.exitStatus, "exit 0") << r.Describe();

    std::vector<std::string> summary = LoggedSummary(r);
    std::vector<std::string> expected = ExpectedSummary(e);
    EXPECT_EQ(summary, expected) << "logged:\n" << Joined(summary) << "model:\n" << Joined(expected);

    std::string error;
    std::vector<ReportEntry> report = ReportEntries(r.report, error);
    EXPECT_EQ(error, "");
    std::vector<ReportEntry> expectedReport = ExpectedReport(e);
    EXPECT_EQ(report, expectedReport) << "report:\n" << Joined(report) << "model:\n" << Joined(expectedReport);
    EXPECT_EQ(LoggedTestSta(r), e.testSta);
    ExpectVerdict(r, board, e);

    DescriptorCheck fds = CheckDescriptorsClosed(r);
    EXPECT_EQ(fds.problem, "") << r.outDir;
    EXPECT_EQ(fds.checkpoints, tries) << "one moment after every try";
    EXPECT_GT(fds.opens, 0) << "the descriptor check saw nothing opened";
    return e;
}

// Returns the tally the model gives the named port (serial) or channel (NO tally).
ExpectedTally TallyOf(const ExpectedRun& e, const std::string& name, bool nc = false)
{
    for (const auto* list : {&e.rs485, &e.rs232, &e.dos, &e.dis})
        for (const ExpectedPort& p : *list)
            if (p.name == name)
                return nc ? p.ncTally : p.tally;
    ADD_FAILURE() << "no port " << name;
    return {};
}

// The model's rules, worked by hand on small boards (no run).

TEST(TallyModel, BusPortPassesByTheLastReceptionThatCounts)
{
    // Three ports, one try. Port 3 hears 1 and 2 before it sends: only the
    // reception from 2 decides. Port 1 hears 2 and 3 after it sends: one will do.
    json b = BaseBoard();
    b["rs485"] = {Port("RS485-1", {DropRx({1})}), "RS485-2", Port("RS485-3", {DropRx({2})})};
    ExpectedRun e = ExpectTallies(b, kSelectRs485, 1);
    ASSERT_EQ(e.refused, "");
    EXPECT_EQ(TallyOf(e, "RS485-1"), (ExpectedTally{1, 0}));
    EXPECT_EQ(TallyOf(e, "RS485-2"), (ExpectedTally{1, 0}));
    EXPECT_EQ(TallyOf(e, "RS485-3"), (ExpectedTally{0, 1}));
    EXPECT_EQ(e.testSta, -1);

    // A port that hears itself reads its own text at the next sender's turn,
    // so it passes although every frame of the others after its send is lost.
    b["rs485"] = {"RS485-1", Port("RS485-2", {"hear_self", DropRx({1, 3})}), "RS485-3"};
    EXPECT_EQ(TallyOf(ExpectTallies(b, kSelectRs485, 1), "RS485-2"), (ExpectedTally{1, 0}));
    b["rs485"] = {"RS485-1", Port("RS485-2", {DropRx({1, 2})}), "RS485-3"};
    EXPECT_EQ(TallyOf(ExpectTallies(b, kSelectRs485, 1), "RS485-2"), (ExpectedTally{0, 1}));
}

TEST(TallyModel, PairsSensorAndTheKindsSelected)
{
    json b = BaseBoard();
    // Both ports of a pair hear themselves: the first passes, the second fails.
    // The sensor's second answer is lost.
    b["rs232"] = {Port("RS232-1", {"hear_self"}), Port("RS232-2", {"hear_self"}), Port("RS232-3", {DropRx({2})})};
    b["rs485"] = {Port("RS485-1", {"bad_crc"})};
    ExpectedRun e = ExpectTallies(b, kSelectRs232, 3);
    ASSERT_EQ(e.refused, "");
    EXPECT_EQ(TallyOf(e, "RS232-1"), (ExpectedTally{3, 0}));
    EXPECT_EQ(TallyOf(e, "RS232-2"), (ExpectedTally{0, 3}));
    EXPECT_EQ(TallyOf(e, "RS232-3"), (ExpectedTally{2, 1}));
    EXPECT_EQ(TallyOf(e, "RS485-1"), (ExpectedTally{0, 0})) << "RS485 was not selected";
    EXPECT_EQ(ExpectedSummary(e).size(), 3u);
    EXPECT_EQ(ExpectedReport(e).size(), 3u);
}

TEST(TallyModel, DioChannelFaults)
{
    json b = BaseBoard();
    b.erase("zrdio_conf");
    // A DO stuck on passes the NO test and never the NC test; its DIs follow it.
    b["dio"] = {{"do", 1}, {"di", 2}, {"faults", {{"DO1", "stuck1"}}}};
    ExpectedRun e = ExpectTallies(b, kSelectDio, 2);
    ASSERT_EQ(e.refused, "");
    EXPECT_EQ(TallyOf(e, "DO-1"), (ExpectedTally{2, 0}));
    EXPECT_EQ(TallyOf(e, "DO-1", true), (ExpectedTally{0, 2}));
    EXPECT_EQ(TallyOf(e, "DI-1", true), (ExpectedTally{2, 0}));
    EXPECT_EQ(TallyOf(e, "DI-2", true), (ExpectedTally{2, 0}));
    EXPECT_EQ(ExpectedReport(e)[0], (ReportEntry{"DO", "DO-1", 0}));

    // Fewer than two DIs per DO: every NO tally fails, the NC tallies stay empty.
    b["dio"] = {{"do", 2}, {"di", 3}};
    e = ExpectTallies(b, kSelectDio, 2);
    EXPECT_EQ(TallyOf(e, "DI-3"), (ExpectedTally{0, 2}));
    EXPECT_EQ(TallyOf(e, "DO-2", true), (ExpectedTally{0, 0}));
}

TEST(TallyModel, RefusesWhatItDoesNotKnow)
{
    json b = BaseBoard();
    b["rs485"] = {"RS485-1", Port("RS485-2", {"stream"})};
    EXPECT_NE(ExpectTallies(b, kSelectAll, 1).refused.find("stream"), std::string::npos);
    b = BaseBoard();
    b.erase("zrdio_conf");
    b["dio"] = {{"di", 4}};
    EXPECT_NE(ExpectTallies(b, kSelectDio, 1).refused, "");
    b = BaseBoard();
    b["rs232"] = {{{"name", "RS232-1"}, {"device", "modem"}}};
    EXPECT_NE(ExpectTallies(b, kSelectRs232, 1).refused, "");
}

// Scenarios on the simulated fixture.

TEST(Tallies, Rs485BusWithLostFramesOverFourTries)
{
    // Port 1 loses all of try 2; port 2 its first frame (harmless) and all of
    // try 4; port 3 hears itself, which carries it through try 2; port 4 is
    // deaf; port 5 misses port 4's frame in tries 1 and 3.
    json b = BaseBoard();
    b["rs485"] = {Port("RS485-1", {DropRx({5, 6, 7, 8})}), Port("RS485-2", {DropRx({1, 13, 14, 15, 16})}),
                  Port("RS485-3", {"hear_self", DropRx({6, 7, 9, 10})}), Port("RS485-4", {"deaf"}),
                  Port("RS485-5", {DropRx({4, 12})})};
    ExpectedRun e = RunAndCompare(b, "RS485", kSelectRs485, 4, "tallies-rs485");
    EXPECT_EQ(TallyOf(e, "RS485-5"), (ExpectedTally{2, 2})) << "the scenario lost its point";
}

TEST(Tallies, Rs232PairsAndSensorOverThreeTries)
{
    // Pair 1-2: port 1 loses try 2's text. Pair 3-4: both hear themselves;
    // port 4 loses its own echo in try 2. Pair 5-6: port 5's cable loops back
    // to itself. Port 7, the sensor, loses its second answer.
    json b = BaseBoard();
    b["rs232"] = {Port("RS232-1", {DropRx({2})}), "RS232-2",
                  Port("RS232-3", {"hear_self"}), Port("RS232-4", {"hear_self", DropRx({4})}),
                  Port("RS232-5", {"self_loop"}), "RS232-6",
                  Port("RS232-7", {DropRx({2})})};
    ExpectedRun e = RunAndCompare(b, "RS232", kSelectRs232, 3, "tallies-rs232");
    EXPECT_EQ(TallyOf(e, "RS232-4"), (ExpectedTally{1, 2})) << "the scenario lost its point";
}

TEST(Tallies, DioChannelFaultsOverThreeTries)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    // 3 DOs, 7 DIs (DI 7 repeats DO 1's first input): DI 2 stuck on, DO 2's
    // writes fail, DI 6 answers 2 while active, DI 3 and DI 5 have swapped wires.
    json b = BaseBoard();
    b.erase("zrdio_conf");
    b["dio"] = {{"do", 3},
                {"di", 7},
                {"faults", {{"DI2", "stuck1"}, {"DO2", "write_fails"}, {"DI6", "reads2"}}},
                {"swapped", {{3, 5}}}};
    RunAndCompare(b, "DIO", kSelectDio, 3, "tallies-dio");
}

TEST(Tallies, AllKindsWithUnopenablePortsAndTheSingleDoTest)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    json b = BaseBoard();
    b.erase("zrdio_conf");
    b["rs485"] = {"RS485-1", Port("RS485-2", {"no_open"}), Port("RS485-3", {DropRx({2})})};
    b["rs232"] = {Port("RS232-1", {"not_tty"}), "RS232-2", Port("RS232-3", {"long", DropRx({3})})};
    b["dio"] = {{"do", 2}, {"di", 3}};
    RunAndCompare(b, "All", kSelectAll, 3, "tallies-all");
}

TEST(Tallies, SensorsWithLostAndDamagedAnswers)
{
    // The single RS485 port carries the sensor and loses its second answer
    // (the one-port mode keeps the failed status into the next try, which a
    // good answer sets back to a pass). Of the RS232 pair the first port gets
    // every text damaged; the odd port's sensor answers short.
    json b = BaseBoard();
    b["rs485"] = {{{"name", "RS485-1"}, {"faults", {DropRx({2})}}, {"humidity", 612}}};
    b["rs232"] = {Port("RS232-1", {"corrupt"}), "RS232-2", Port("RS232-3", {"short"})};
    ExpectedRun e = RunAndCompare(b, "All", kSelectAll, 3, "tallies-sensors");
    EXPECT_EQ(TallyOf(e, "RS485-1"), (ExpectedTally{2, 1})) << "the scenario lost its point";
}

TEST(Tallies, OnlyTheSelectedKindDecides)
{
    json b = BaseBoard();
    b.erase("zrdio_conf");
    b["rs485"] = {Port("RS485-1", {"deaf"}), Port("RS485-2", {"deaf"})};
    b["rs232"] = {"RS232-1", "RS232-2"};
    b["dio"] = {{"do", 1}, {"di", 2}, {"faults", {{"DI1", "fails"}}}};
    ExpectedRun e = RunAndCompare(b, "RS232", kSelectRs232, 2, "tallies-rs232-only");
    EXPECT_EQ(e.testSta, 0) << "the failing RS485 and DIO channels take no part";
}

}  // namespace
