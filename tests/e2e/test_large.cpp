// A large board (16 RS485, 16 RS232, 32 DO, 64 DI) tested with Port=All
// Cnt=2: every port passes, the report names them all, no descriptor is left
// open, and the tries wait at least what their fixed waits add up to.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "expected_tallies.h"
#include "harness.h"

namespace {

using nlohmann::json;

constexpr int kTries = 2;
constexpr double kSendWaitS = 0.3;    // after every loopback send
constexpr double kReadWaitS = 0.2;    // the line's read wait (VTIME 2)
constexpr double kDioSettleS = 1.0;   // after the DOs are switched, in each DO-to-DI test
constexpr double kDioBetweenS = 1.0;  // between the NO and the NC test
constexpr double kAfterTryS = 1.0;    // after each try
const char kTryOne[] = "-----Try Test 1-----";
const char kSummaryMark[] = "Test Succ Cnt ";

json LargeBoard()
{
    std::ifstream in(std::string(RIG_BOARDS_DIR) + "/large.json");
    return json::parse(in);
}

// Returns the fixed waits of one try of everything on a board of correct
// ports, in seconds:
// - RS485 bus of n ports: each sender waits 300 ms after its send; the
//   receivers read without waiting (non-blocking).
// - RS232 pairs: per pair two sends of 300 ms each; two echo checks on a
//   silent line, each two read waits of 0.2 s (the first byte, then the
//   rest); two receptions, each one read wait of 0.2 s after the text.
// - DIO with at least two DIs per DO: NO test (1 s settling), 1 s pause, NC
//   test (1 s settling).
// - 1 s after the try.
double TryWaits(int nRs485, int nRs232)
{
    double rs485 = nRs485 * kSendWaitS;
    double pair = 2 * kSendWaitS + 2 * (2 * kReadWaitS) + 2 * kReadWaitS;
    double rs232 = (nRs232 / 2) * pair;
    double dio = kDioSettleS + kDioBetweenS + kDioSettleS;
    return rs485 + rs232 + dio + kAfterTryS;
}

TEST(LargeBoard, EveryPortPassesInTheTimeOfTheWaits)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    json board = LargeBoard();
    ASSERT_EQ(board["rs232"].size() % 2, 0u) << "the waits below are those of pairs only";
    ExpectedRun e = ExpectTallies(board, kSelectAll, kTries);
    ASSERT_EQ(e.refused, "");
    ASSERT_EQ(e.testSta, 0) << "the large board is meant to pass";

    RunResult r = RunBoard(board, {"Port=All", "Cnt=" + std::to_string(kTries)}, "large-board");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();

    // Every port and channel: 2 successes, no error.
    std::vector<std::string> summary;
    for (const std::string& m : r.Messages())
        if (m.find(kSummaryMark) != std::string::npos)
            summary.push_back(m);
    EXPECT_EQ(summary, ExpectedSummary(e));
    EXPECT_EQ(summary.size(), 16u + 16u + 2 * 32u + 2 * 64u);

    // The report: complete, valid JSON, every port by name with verdict 1.
    ASSERT_TRUE(r.hasReport);
    std::string error;
    std::vector<ReportEntry> report = ReportEntries(r.report, error);
    EXPECT_EQ(error, "") << r.report;
    EXPECT_EQ(report, ExpectedReport(e)) << r.report;
    EXPECT_EQ(report.size(), 16u + 16u + 32u + 64u);
    EXPECT_NE(r.FindMessage("iTestSta:0"), -1);

    DescriptorCheck fds = CheckDescriptorsClosed(r);
    EXPECT_EQ(fds.problem, "");
    EXPECT_EQ(fds.checkpoints, kTries);
    EXPECT_GE(fds.opens, kTries * (16 + 16 + 2))
        << "every port, and the DIO device for the NO and the NC test, once per try";

    // The tries: from the first try line to the first summary line, from the
    // fixture's last look before the one to when it read the other.
    double first = -1, last = -1;
    for (const TimedLine& l : TraceLogTimes(r)) {
        std::string body = MessageBody(l.text);
        if (first < 0 && body == kTryOne)
            first = l.after;
        if (first >= 0 && body.find(kSummaryMark) != std::string::npos) {
            last = l.t;
            break;
        }
    }
    ASSERT_GE(first, 0) << "no try line in tracelog.txt, or none the fixture looked for before";
    ASSERT_GT(last, first) << "no summary line in tracelog.txt";
    // The program cannot be quicker than its waits; how little more than
    // them a try takes is measured on an idle machine by scripts/bench.sh
    // (--kinds large), where nothing else competes for the cores.
    const double waits = kTries * TryWaits((int)board["rs485"].size(), (int)board["rs232"].size());
    EXPECT_GE(last - first, waits) << "the tries took " << (last - first) << " s, their waits " << waits << " s";
}

}  // namespace
