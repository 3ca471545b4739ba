// The DIO tests on simulated boards: the DO-to-DI loopback at both levels,
// the single DO test of boards with fewer than two DIs per DO, the DI
// switching test of boards without DOs, faults, a missing device and an
// interruption. The driver traffic is checked on the fixture's dio.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "endrun_checks.h"
#include "harness.h"

namespace {

// One line of dio.txt: "<time> <kind> <text>".
struct DioEvent {
    double t = 0;
    std::string kind;  // ioctl, line, change, note
    std::string text;
};

std::vector<DioEvent> DioEvents(const RunResult& r)
{
    std::vector<DioEvent> out;
    for (const std::string& l : Lines(r.dioTxt)) {
        size_t a = l.find(' ');
        size_t b = l.find(' ', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            continue;
        DioEvent e;
        e.t = atof(l.substr(0, a).c_str());
        e.kind = l.substr(a + 1, b - a - 1);
        e.text = l.substr(b + 1);
        out.push_back(e);
    }
    return out;
}

// The ioctl calls as "NAME arg=0xNN result=R", without the caller's pid.
std::vector<std::string> Ioctls(const RunResult& r)
{
    std::vector<std::string> out;
    for (const DioEvent& e : DioEvents(r)) {
        if (e.kind != "ioctl")
            continue;
        size_t name = e.text.find(" ZRDIO_");
        out.push_back(name == std::string::npos ? e.text : e.text.substr(name + 1));
    }
    return out;
}

// The text lines written to the device, in order.
std::vector<std::string> TextLines(const RunResult& r)
{
    std::vector<std::string> out;
    for (const DioEvent& e : DioEvents(r))
        if (e.kind == "line")
            out.push_back(e.text);
    return out;
}

size_t CountOf(const std::vector<std::string>& v, const std::string& s)
{
    size_t n = 0;
    for (const auto& x : v)
        n += x == s ? 1 : 0;
    return n;
}

// A board with a DIO device; /etc/zrdio.conf follows the channel counts.
nlohmann::json DioBoard(const nlohmann::json& dio)
{
    nlohmann::json b = BaseBoard();
    b.erase("zrdio_conf");
    b["dio"] = dio;
    return b;
}

// The summary lines of a kind ("DO" or "DI") and test ("NO" or "NC"), one per channel.
std::vector<std::string> Summary(const RunResult& r, const char* kind, const char* test, int n)
{
    std::vector<std::string> out;
    for (int i = 1; i <= n; ++i) {
        std::string prefix = std::string(kind) + "-" + std::to_string(i) + ":" + test + " Test Succ Cnt ";
        int at = r.FindMessagePrefix(prefix);
        out.push_back(at < 0 ? "missing" : r.Messages()[(size_t)at].substr(prefix.size()));
    }
    return out;
}

// The report's entries of a group, as "name:port" texts.
std::string ReportGroup(const RunResult& r, const std::string& group)
{
    std::string head = "{ \"name\":\"" + group + "\", \"info\":[ ";
    size_t at = r.report.find(head);
    if (at == std::string::npos)
        return "missing";
    size_t end = r.report.find(']', at);
    return r.report.substr(at + head.size(), end - at - head.size());
}

// Returns the messages from the first one equal to from up to the next that starts with until.
std::vector<std::string> MessagesBetween(const RunResult& r, const std::string& from, const std::string& until)
{
    std::vector<std::string> m = r.Messages();
    std::vector<std::string> out;
    int start = r.FindMessage(from);
    if (start < 0)
        return out;
    for (size_t i = (size_t)start + 1; i < m.size() && m[i].compare(0, until.size(), until) != 0; ++i)
        out.push_back(m[i]);
    return out;
}

// Returns the n messages that follow the first one equal to from (fewer at the end).
std::vector<std::string> MessagesAfter(const RunResult& r, const std::string& from, size_t n)
{
    std::vector<std::string> m = r.Messages();
    int start = r.FindMessage(from);
    if (start < 0)
        return {};
    size_t first = (size_t)start + 1;
    return std::vector<std::string>(m.begin() + (long)first, m.begin() + (long)std::min(m.size(), first + n));
}

const char kOpen[] = "---------------succ open DIO:/dev/zrdio---------------";
constexpr double kSettleS = 1.0;          // the DO-to-DI test lets its outputs settle this long
constexpr double kPollS = 0.5;            // the DI switching test's poll period
constexpr double kPauseS = 3.0;           // ... and its pause with output 3 off between two DIs
constexpr double kAfterTryS = 1.0;        // the wait after every try
constexpr double kStampStepS = 0.000001;  // dio.txt's stamps are in microseconds

TEST(DioLoopback, TwoDOsFourDIsPassBothLevelsInEveryTry)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    RunResult r = RunBoard(DioBoard({{"do", 2}, {"di", 4}}), {"Port=DIO", "Cnt=2"}, "dio-2do-4di");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();

    EXPECT_EQ((std::vector<std::string>{kOpen, "Write DO1:1!", "Write DO2:1!", "Write DO1:1 Read DI1:0 OK!",
                                        "Write DO1:1 Read DI2:1 OK!", "Write DO2:1 Read DI3:0 OK!",
                                        "Write DO2:1 Read DI4:1 OK!"}),
              MessagesBetween(r, "****Try Test DIO_NO 1*****", "****"));
    EXPECT_EQ((std::vector<std::string>{kOpen, "Write DO1:0!", "Write DO2:0!", "Write DO1:0 Read DI1:1 OK!",
                                        "Write DO1:0 Read DI2:0 OK!", "Write DO2:0 Read DI3:1 OK!",
                                        "Write DO2:0 Read DI4:0 OK!"}),
              MessagesBetween(r, "****Try Test DIO_NC 1*****", "-----Try Test 2"));
    EXPECT_TRUE(r.HasMessage("****Try Test DIO_NC 2*****"));
    EXPECT_EQ(r.FunctionOf("Write DO1:1!"), "DIOTest");
    EXPECT_EQ(r.FunctionOf("Write DO1:0 Read DI2:0 OK!"), "DIOTest");
    EXPECT_EQ(r.FunctionOf(kOpen), "init");

    const std::vector<std::string> pass2(4, "2,Error Cnt 0");
    EXPECT_EQ(std::vector<std::string>(pass2.begin(), pass2.begin() + 2), Summary(r, "DO", "NO", 2));
    EXPECT_EQ(std::vector<std::string>(pass2.begin(), pass2.begin() + 2), Summary(r, "DO", "NC", 2));
    EXPECT_EQ(pass2, Summary(r, "DI", "NO", 4));
    EXPECT_EQ(pass2, Summary(r, "DI", "NC", 4));
    EXPECT_EQ("{\"name\":\"DO-1\",\"port\":1},{\"name\":\"DO-2\",\"port\":1}", ReportGroup(r, "DO"));
    EXPECT_EQ("{\"name\":\"DI-1\",\"port\":1},{\"name\":\"DI-2\",\"port\":1},{\"name\":\"DI-3\",\"port\":1},"
              "{\"name\":\"DI-4\",\"port\":1}",
              ReportGroup(r, "DI"));
    EXPECT_TRUE(r.HasMessage("iTestSta:0"));

    // The driver saw each test as: switch and read back every DO, then per DO
    // its read-back and every DI, one second later.
    std::vector<std::string> no = {
        "ZRDIO_DO_ON arg=0x01 result=0", "ZRDIO_RD_DO arg=0x01 result=1", "ZRDIO_DO_ON arg=0x02 result=0",
        "ZRDIO_RD_DO arg=0x02 result=1", "ZRDIO_RD_DO arg=0x01 result=1", "ZRDIO_RD_DI arg=0x01 result=0",
        "ZRDIO_RD_DI arg=0x02 result=1", "ZRDIO_RD_DI arg=0x03 result=0", "ZRDIO_RD_DI arg=0x04 result=1",
        "ZRDIO_RD_DO arg=0x02 result=1", "ZRDIO_RD_DI arg=0x01 result=0", "ZRDIO_RD_DI arg=0x02 result=1",
        "ZRDIO_RD_DI arg=0x03 result=0", "ZRDIO_RD_DI arg=0x04 result=1"};
    std::vector<std::string> io = Ioctls(r);
    ASSERT_EQ(4 * no.size(), io.size()) << r.dioTxt;
    EXPECT_EQ(no, std::vector<std::string>(io.begin(), io.begin() + (long)no.size()));
    EXPECT_EQ("ZRDIO_DO_OFF arg=0x01 result=0", io[no.size()]);
    EXPECT_EQ("ZRDIO_RD_DI arg=0x01 result=1", io[no.size() + 5]);

    std::vector<DioEvent> ev = DioEvents(r);
    double lastWrite = 0, firstCheck = 0;
    for (size_t i = 0, n = 0; i < ev.size(); ++i) {
        if (ev[i].kind != "ioctl")
            continue;
        if (++n == 4)
            lastWrite = ev[i].t;
        if (n == 5)
            firstCheck = ev[i].t;
    }
    Span settle = {lastWrite, firstCheck};
    EXPECT_GE(settle.Seconds(), kSettleS - MeasuredSlownessS(r)) << "the inputs settle for a second";
    EXPECT_LT(settle.Seconds(), LateBoundS(r, settle, kSettleS, 1));

    // Between the tries: from the last read of try 1 to the first switch of
    // try 2, the wait after a try. The simulator stamps a call before it
    // answers, and the program waits for the answer, so no load can shorten
    // this span.
    double lastOfTry1 = 0, firstOfTry2 = 0;
    for (size_t i = 0, n = 0; i < ev.size(); ++i) {
        if (ev[i].kind != "ioctl")
            continue;
        if (++n == 2 * no.size())
            lastOfTry1 = ev[i].t;
        if (n == 2 * no.size() + 1)
            firstOfTry2 = ev[i].t;
    }
    EXPECT_GE(firstOfTry2 - lastOfTry1, kAfterTryS - kStampStepS) << r.dioTxt;

    // A passed run: output 3 off, output 3 on, output 1 on.
    std::vector<std::string> lines = TextLines(r);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ((std::vector<std::string>{"\"SOFF=3\"", "\"SON=3\"", "\"SON=1\""}),
              std::vector<std::string>(lines.begin(), lines.begin() + 3));
}

TEST(DioLoopback, StuckDIFailsItsLevelAndKeepsItsDOFromPassing)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    RunResult r = RunBoard(DioBoard({{"do", 2}, {"di", 4}, {"faults", {{"DI2", "stuck0"}}}}), {"Port=DIO", "Cnt=1"},
                           "dio-stuck-di");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    EXPECT_TRUE(r.HasMessage("Write DO1:1 Read DI1:0 OK!"));
    EXPECT_TRUE(r.HasMessage("Write DO1:1 Read DI2:0 Err!"));
    EXPECT_TRUE(r.HasMessage("Write DO1:0 Read DI2:0 OK!"));
    // With DO 1 on neither of its DIs reads 1, so DO 1 fails its NO test.
    EXPECT_EQ((std::vector<std::string>{"0,Error Cnt 1", "1,Error Cnt 0"}), Summary(r, "DO", "NO", 2));
    EXPECT_EQ((std::vector<std::string>{"1,Error Cnt 0", "1,Error Cnt 0"}), Summary(r, "DO", "NC", 2));
    EXPECT_EQ((std::vector<std::string>{"1,Error Cnt 0", "0,Error Cnt 1", "1,Error Cnt 0", "1,Error Cnt 0"}),
              Summary(r, "DI", "NO", 4));
    EXPECT_EQ(std::vector<std::string>(4, "1,Error Cnt 0"), Summary(r, "DI", "NC", 4));
    EXPECT_EQ("{\"name\":\"DO-1\",\"port\":0},{\"name\":\"DO-2\",\"port\":1}", ReportGroup(r, "DO"));
    EXPECT_EQ("{\"name\":\"DI-1\",\"port\":1},{\"name\":\"DI-2\",\"port\":0},{\"name\":\"DI-3\",\"port\":1},"
              "{\"name\":\"DI-4\",\"port\":1}",
              ReportGroup(r, "DI"));
    EXPECT_TRUE(r.HasMessage("iTestSta:-1"));
    // A failed run: output 3 off, output 1 off, output 2 on.
    std::vector<std::string> lines = TextLines(r);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ((std::vector<std::string>{"\"SOFF=3\"", "\"SOFF=1\"", "\"SON=2\""}),
              std::vector<std::string>(lines.begin(), lines.begin() + 3));
}

TEST(DioLoopback, OneDOWithFourDIsRepeatsThePairPattern)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    RunResult r = RunBoard(DioBoard({{"do", 1}, {"di", 4}}), {"Port=DIO", "Cnt=1"}, "dio-1do-4di");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    EXPECT_EQ(
        (std::vector<std::string>{kOpen, "Write DO1:1!", "Write DO1:1 Read DI1:0 OK!", "Write DO1:1 Read DI2:1 OK!",
                                  "Write DO1:1 Read DI3:0 OK!", "Write DO1:1 Read DI4:1 OK!"}),
        MessagesBetween(r, "****Try Test DIO_NO 1*****", "****"));
    EXPECT_TRUE(r.HasMessage("Write DO1:0 Read DI3:1 OK!"));
    EXPECT_TRUE(r.HasMessage("Write DO1:0 Read DI4:0 OK!"));
    EXPECT_EQ(std::vector<std::string>(4, "1,Error Cnt 0"), Summary(r, "DI", "NC", 4));
    EXPECT_TRUE(r.HasMessage("iTestSta:0"));
}

TEST(DioLoopback, ReadFailureAndAnswerTwoAreJudgedPerInput)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    RunResult r = RunBoard(DioBoard({{"do", 2}, {"di", 4}, {"faults", {{"DI1", "fails"}, {"DI3", "reads2"}}}}),
                           {"Port=DIO", "Cnt=1"}, "dio-di-faults");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    EXPECT_TRUE(r.HasMessage("Write DO1:1 Read DI1:-1 Err!"));
    EXPECT_TRUE(r.HasMessage("------Err ZRDIO_RD_DI:10 iret:-1 DIIndex:0x01------"));
    EXPECT_TRUE(r.HasMessage("Write DO2:0 Read DI3:2 OK!")) << "any active state is accepted";
    // DO 1 is still marked through DI 2; only DI 1 fails.
    EXPECT_EQ(std::vector<std::string>(2, "1,Error Cnt 0"), Summary(r, "DO", "NO", 2));
    EXPECT_EQ(std::vector<std::string>(2, "1,Error Cnt 0"), Summary(r, "DO", "NC", 2));
    EXPECT_EQ((std::vector<std::string>{"0,Error Cnt 1", "1,Error Cnt 0", "1,Error Cnt 0", "1,Error Cnt 0"}),
              Summary(r, "DI", "NC", 4));
    EXPECT_EQ(4u, CountOf(Ioctls(r), "ZRDIO_RD_DI arg=0x01 result=-1 errno=EIO"))
        << "DI 1 is read for each of the two DOs in both tests";
}

TEST(DioLoopback, DOThatCannotBeSwitchedOrReadBackNeverPasses)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    RunResult r =
        RunBoard(DioBoard({{"do", 2}, {"di", 4}, {"faults", {{"DO1", "write_fails"}, {"DO2", "read_fails"}}}}),
                 {"Port=DIO", "Cnt=1"}, "dio-do-faults");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    EXPECT_TRUE(r.HasMessage("Write DO1:-1 Err!"));
    EXPECT_TRUE(r.HasMessage("------Err iret:-1 DOIndex:0x01------"));
    EXPECT_TRUE(r.HasMessage("Write DO2:1 Err!")) << "a failed read-back names the level";
    EXPECT_TRUE(r.HasMessage("------Err ZRDIO_RD_DO:11 iret:-1 DOIndex:0x02------"));
    // DO 1 stays off, and its DIs agree with that: they pass, DO 1 does not.
    EXPECT_TRUE(r.HasMessage("Write DO1:0 Read DI1:1 OK!"));
    EXPECT_TRUE(r.HasMessage("Write DO1:0 Read DI2:0 OK!"));
    EXPECT_EQ(std::string::npos, r.dioTxt.find(" change DO1=1\n"));
    EXPECT_NE(std::string::npos, r.dioTxt.find(" ZRDIO_DO_ON arg=0x01 result=-1 errno=EIO\n"));
    EXPECT_EQ(std::vector<std::string>(2, "0,Error Cnt 1"), Summary(r, "DO", "NO", 2));
    EXPECT_EQ(std::vector<std::string>(2, "0,Error Cnt 1"), Summary(r, "DO", "NC", 2));
    EXPECT_EQ("{\"name\":\"DO-1\",\"port\":0},{\"name\":\"DO-2\",\"port\":0}", ReportGroup(r, "DO"));
    EXPECT_TRUE(r.HasMessage("iTestSta:-1"));
}

// Boards with fewer than two DIs per DO run the single DO test.
TEST(DioSingle, TwoDOsThreeDIsSwitchDOOneTwiceAndFailEveryChannel)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    RunResult r = RunBoard(DioBoard({{"do", 2}, {"di", 3}}), {"Port=DIO", "Cnt=1"}, "dio-2do-3di");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    EXPECT_EQ((std::vector<std::string>{kOpen, "Write DO1:0!", "Write DO1:0!"}),
              MessagesBetween(r, "****Try Test DIO 1*****", "DO-1:"));
    EXPECT_EQ(r.FunctionOf("Write DO1:0!"), "DIOTest1");
    EXPECT_EQ((std::vector<std::string>{"ZRDIO_DO_OFF arg=0x01 result=0", "ZRDIO_RD_DO arg=0x01 result=0",
                                        "ZRDIO_DO_OFF arg=0x01 result=0", "ZRDIO_RD_DO arg=0x01 result=0"}),
              Ioctls(r));
    EXPECT_EQ(std::vector<std::string>(2, "0,Error Cnt 1"), Summary(r, "DO", "NO", 2));
    EXPECT_EQ(std::vector<std::string>(2, "0,Error Cnt 0"), Summary(r, "DO", "NC", 2));
    EXPECT_EQ(std::vector<std::string>(3, "0,Error Cnt 1"), Summary(r, "DI", "NO", 3));
    EXPECT_EQ(std::vector<std::string>(3, "0,Error Cnt 0"), Summary(r, "DI", "NC", 3));
    EXPECT_TRUE(r.HasMessage("iTestSta:-1"));
}

TEST(DioSingle, FourDOsSevenDIsLeaveDOFourUntouched)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    RunResult r = RunBoard(DioBoard({{"do", 4}, {"di", 7}}), {"Port=DIO", "Cnt=2"}, "dio-4do-7di");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    std::vector<std::string> io = Ioctls(r);
    for (int d = 1; d <= 3; ++d)
        EXPECT_EQ(4u, CountOf(io, "ZRDIO_DO_OFF arg=0x0" + std::to_string(d) + " result=0")) << "twice per try: " << d;
    EXPECT_EQ(0u, CountOf(io, "ZRDIO_DO_OFF arg=0x04 result=0"));
    EXPECT_EQ(24u, io.size()) << "no DI is read";
    EXPECT_EQ(std::vector<std::string>(4, "0,Error Cnt 2"), Summary(r, "DO", "NO", 4));
    EXPECT_EQ(std::vector<std::string>(4, "0,Error Cnt 0"), Summary(r, "DO", "NC", 4));
    EXPECT_EQ(std::vector<std::string>(7, "0,Error Cnt 2"), Summary(r, "DI", "NO", 7));
    EXPECT_EQ(std::vector<std::string>(7, "0,Error Cnt 0"), Summary(r, "DI", "NC", 7));
    EXPECT_EQ(std::string::npos, ReportGroup(r, "DI").find("\"port\":1"));
}

TEST(DioLoopback, MissingDeviceLeavesTheRecordsFailed)
{
    nlohmann::json b = BaseBoard();
    b["dio"] = {{"device", "missing"}};
    b["zrdio_conf"] = "zr_di=1,2\nzr_do=1\n";
    RunResult r = RunBoard(b, {"Port=DIO", "Cnt=1"}, "dio-missing");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    std::vector<std::string> m = r.Messages();
    EXPECT_EQ(2u, CountOf(m, "#######Err OpenDio:/dev/zrdio##"));
    EXPECT_EQ(0u, CountOf(m, kOpen));
    EXPECT_EQ(std::vector<std::string>(1, "0,Error Cnt 1"), Summary(r, "DO", "NC", 1));
    EXPECT_EQ(std::vector<std::string>(2, "0,Error Cnt 1"), Summary(r, "DI", "NO", 2));
    EXPECT_TRUE(r.HasMessage("iTestSta:-1"));
    EXPECT_NE(std::string::npos, r.dioTxt.find("note no DIO device on this board"));
}

// Boards without DOs run the DI switching test.
TEST(DioSwitching, EightDIsEachGoActiveAloneWhileOutput3Toggles)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    RunResult r = RunBoard(DioBoard({{"do", 0}, {"di", 8}}), {"Port=DIO", "Cnt=1"}, "dio-0do-8di");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    ASSERT_TRUE(r.HasMessage("****Try Test DI 1*****")) << r.Describe();
    for (int k = 1; k <= 8; ++k)
        EXPECT_TRUE(r.HasMessage("DISta DI" + std::to_string(k) + ":1 OK!")) << k;
    // When DI 2 goes active the others are read, and read inactive.
    std::vector<std::string> others = MessagesBetween(r, "DISta DI1:1 OK!", "DISta DI2:1 OK!");
    EXPECT_EQ((std::vector<std::string>{"DISta DI1:0", "DISta DI3:0", "DISta DI4:0", "DISta DI5:0", "DISta DI6:0",
                                        "DISta DI7:0", "DISta DI8:0"}),
              others);
    EXPECT_EQ(r.FunctionOf("DISta DI1:1 OK!"), "DITest");
    EXPECT_EQ(r.FunctionOf("DISta DI1:0"), "GetDIstaUn");
    EXPECT_EQ(std::vector<std::string>(8, "1,Error Cnt 0"), Summary(r, "DI", "NO", 8));
    EXPECT_EQ(std::vector<std::string>(8, "1,Error Cnt 0"), Summary(r, "DI", "NC", 8));
    EXPECT_EQ("", ReportGroup(r, "DO"));
    EXPECT_TRUE(r.HasMessage("iTestSta:0"));

    // On the wire: the toggling alternates and carries over from one DI to the
    // next; each DI ends with output 3 off for three seconds, then on again.
    std::vector<DioEvent> ev = DioEvents(r);
    std::vector<DioEvent> wire;  // the reads and the lines, in order
    for (const auto& e : ev)
        if (e.kind == "line" || e.kind == "ioctl")
            wire.push_back(e);
    std::vector<std::pair<double, std::string>> lines;
    for (const auto& e : wire)
        if (e.kind == "line")
            lines.emplace_back(e.t, e.text);
    // DI 1: SOFF (no change), SON (edge 1), SOFF (edge 2: active), read OK; then SOFF, pause, SON.
    ASSERT_GE(lines.size(), 6u) << r.dioTxt;
    EXPECT_EQ("\"SOFF=3\"", lines[0].second);
    EXPECT_EQ("\"SON=3\"", lines[1].second);
    Span poll = {lines[0].first, lines[1].first};
    EXPECT_GE(poll.Seconds(), kPollS - MeasuredSlownessS(r));
    EXPECT_LE(poll.Seconds(), LateBoundS(r, poll, kPollS, 2));
    // A pause follows a DI's last read: output 3 off, then on with no read
    // between (a toggle while polling always has one). The end signalling's
    // first step also switches it off and on, but right after a line.
    // A line is stamped when the simulator reads it, a little after it was written.
    const double pause = kPauseS - MeasuredSlownessS(r);
    int pauses = 0;
    for (size_t i = 2; i < wire.size(); ++i)
        if (wire[i - 2].kind == "ioctl" && wire[i - 1].text == "\"SOFF=3\"" && wire[i].text == "\"SON=3\"") {
            ++pauses;
            EXPECT_GE(wire[i].t - wire[i - 1].t, pause) << "the pause ending at " << wire[i].t;
        }
    EXPECT_EQ(8, pauses) << r.dioTxt;
    for (int k = 1; k <= 8; ++k)
        EXPECT_NE(std::string::npos, r.dioTxt.find(" note fixture: DI" + std::to_string(k) + " driven active\n")) << k;
}

TEST(DioSwitching, NoDIMeansOneFinalSwitchOn)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    RunResult r = RunBoard(DioBoard({{"do", 0}, {"di", 0}}), {"Port=DIO", "Cnt=1"}, "dio-0do-0di");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    EXPECT_EQ((std::vector<std::string>{kOpen}), MessagesAfter(r, "****Try Test DI 1*****", 1));
    EXPECT_LT(r.FindMessagePrefix("DISta"), 0);
    EXPECT_TRUE(Ioctls(r).empty());
    std::vector<std::string> lines = TextLines(r);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("\"SON=3\"", lines[0]) << "the switching test's only command";
    EXPECT_EQ("\"SOFF=3\"", lines[1]) << "then the end signalling of a passed run";
    EXPECT_EQ("", ReportGroup(r, "DI"));
    EXPECT_TRUE(r.HasMessage("iTestSta:0"));
}

TEST(DioSwitching, InputActiveWithAnotherOrNeverActiveFails)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    RunResult r =
        RunBoard(DioBoard({{"di", 4}, {"switching", {{"toggles", 2}, {"never", {3}}, {"together", {{2, 4}}}}}}),
                 {"Port=DIO", "Cnt=1"}, "dio-switching-faults");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    EXPECT_TRUE(r.HasMessage("DISta DI1:1 OK!"));
    // DI 2 reads 1 while DI 4 does too: refused at once.
    EXPECT_EQ((std::vector<std::string>{"DISta DI1:0", "DISta DI3:0", "DISta DI4:1", "DISta DI2:1 Err!"}),
              MessagesAfter(r, "DISta DI1:1 OK!", 4));
    EXPECT_TRUE(r.HasMessage("DISta DI3:0 Err!"));
    EXPECT_TRUE(r.HasMessage("DISta DI4:1 OK!"));
    EXPECT_EQ((std::vector<std::string>{"1,Error Cnt 0", "0,Error Cnt 1", "0,Error Cnt 1", "1,Error Cnt 0"}),
              Summary(r, "DI", "NC", 4));
    EXPECT_TRUE(r.HasMessage("iTestSta:-1"));

    // DI 3 is polled 14 times with a toggle after each read.
    std::vector<DioEvent> ev = DioEvents(r);
    double start = -1, end = -1;
    for (const auto& e : ev) {
        if (e.kind == "note" && e.text == "fixture: next DI is DI3")
            start = e.t;
        if (e.kind == "note" && e.text == "fixture: next DI is DI4")
            end = e.t;
    }
    ASSERT_GT(start, 0) << r.dioTxt;
    int reads = 0, toggles = 0;
    for (const auto& e : ev) {
        if (e.t <= start || e.t >= end)
            continue;
        reads += e.text.find("ZRDIO_RD_DI arg=0x03 ") != std::string::npos ? 1 : 0;
        toggles += e.kind == "line" ? 1 : 0;
    }
    EXPECT_EQ(14, reads);
    EXPECT_EQ(14 + 1, toggles) << "14 toggles, then output 3 off for the pause";
}

TEST(DioSwitching, InterruptionEndsThePollingButEveryDIStillGetsItsPause)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    nlohmann::json b = DioBoard({{"di", 4}, {"switching", {{"toggles", 2}}}});
    b["signals"] = {{{"signal", "INT"}, {"after_log", "DISta DI1:1 OK!"}, {"delay_ms", 3200}}};
    RunResult r = RunBoard(b, {"Port=DIO", "Cnt=1"}, "dio-switching-interrupted");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    std::vector<std::string> m = r.Messages();
    EXPECT_TRUE(r.HasMessage("DISta DI1:1 OK!"));
    EXPECT_TRUE(r.HasMessage("Received signal SIGINT[2]"));
    for (int k = 2; k <= 4; ++k)
        EXPECT_TRUE(r.HasMessage("DISta DI" + std::to_string(k) + ":0 Err!")) << k;
    EXPECT_EQ((std::vector<std::string>{"1,Error Cnt 0", "0,Error Cnt 1", "0,Error Cnt 1", "0,Error Cnt 1"}),
              Summary(r, "DI", "NO", 4));
    EXPECT_TRUE(r.HasMessage("iTestSta:-1"));
    EXPECT_TRUE(r.hasReport);

    // No input is read after the signal, yet DI 3 and DI 4 still get their
    // three seconds with output 3 off.
    double signalAt = -1;
    for (const std::string& l : Lines(r.signals))
        if (l.find(" SIGINT") != std::string::npos)
            signalAt = atof(l.c_str());
    ASSERT_GT(signalAt, 0) << r.signals;
    std::vector<DioEvent> ev = DioEvents(r);
    double lastRead = 0;
    int pausesAfter = 0;
    double offAt = -1;
    for (const auto& e : ev) {
        if (e.kind == "ioctl")
            lastRead = e.t;
        if (e.kind == "line" && e.text == "\"SOFF=3\"")
            offAt = e.t;
        if (e.kind == "line" && e.text == "\"SON=3\"" && offAt > signalAt &&
            e.t - offAt >= kPauseS - MeasuredSlownessS(r)) {
            ++pausesAfter;
            offAt = -1;
        }
    }
    Span afterSignal = {signalAt, lastRead};
    EXPECT_LT(afterSignal.Seconds(), LateBoundS(r, afterSignal, 0, 1)) << "a poll that had begun may end" << r.dioTxt;
    EXPECT_EQ(3, pausesAfter) << "DI 2, 3 and 4\n" << r.dioTxt;
}

TEST(DioSwitching, InterruptionDuringAPauseKeepsItsThreeSeconds)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    nlohmann::json b = DioBoard({{"di", 3}, {"switching", {{"toggles", 2}}}});
    b["signals"] = {{{"signal", "TERM"}, {"after_log", "DISta DI1:1 OK!"}, {"delay_ms", 1000}}};
    RunResult r = RunBoard(b, {"Port=DIO", "Cnt=1"}, "dio-switching-interrupted-pause");
    ASSERT_EQ("exit 0", r.exitStatus) << r.Describe();
    EXPECT_TRUE(r.HasMessage("DISta DI2:0 Err!"));
    EXPECT_TRUE(r.HasMessage("DISta DI3:0 Err!"));

    double signalAt = -1;
    for (const std::string& l : Lines(r.signals))
        if (l.find(" SIGTERM") != std::string::npos)
            signalAt = atof(l.c_str());
    ASSERT_GT(signalAt, 0) << r.signals;
    // The pause of DI 1 was running when the signal came: it still lasts three
    // seconds, and so do those of DI 2 and DI 3, which are not read at all. The
    // interruption's own step (SON=3 and at once SOFF=1,2) ends no pause, however
    // late a slow machine brings it.
    std::vector<double> pauses;
    double offAt = -1, lastRead = 0;
    std::vector<DioEvent> events = DioEvents(r);
    auto interruptionStep = [&events](size_t i) {
        for (size_t j = i + 1; j < events.size(); ++j) {
            if (events[j].kind == "line")
                return events[j].text == "\"SOFF=1,2\"";
        }
        return false;
    };
    for (size_t i = 0; i < events.size(); ++i) {
        const DioEvent& e = events[i];
        if (e.kind == "ioctl")
            lastRead = e.t;
        if (e.kind == "line" && e.text == "\"SOFF=3\"")
            offAt = e.t;
        if (e.kind == "line" && e.text == "\"SON=3\"" && offAt > 0 && e.t - offAt >= 2.0 && !interruptionStep(i)) {
            pauses.push_back(e.t - offAt);
            offAt = -1;
        }
    }
    ASSERT_EQ(3u, pauses.size()) << r.dioTxt;
    for (double p : pauses)
        EXPECT_GE(p, kPauseS - MeasuredSlownessS(r)) << "a line is stamped when the simulator reads it\n" << r.dioTxt;
    EXPECT_LT(lastRead, signalAt) << r.dioTxt;
}

}  // namespace
