// The plain RS232 test on simulated boards: 0 to 5 ports wired in pairs with
// the odd one out on the sensor, then the cable and line faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "serial_checks.h"
#include "simcommon.h"

namespace {

using nlohmann::json;

const std::string kText = kTestText;

std::string Port(int i)
{
    return "RS232-" + std::to_string(i);
}

// Returns the exchange message "Write <s> msgSend:<text>,Read <r><what> msg: <msg>".
std::string Exchange(const std::string& s, const std::string& r, const std::string& what, const std::string& msg)
{
    return "Write " + s + " msgSend:" + kText + ",Read " + r + what + " msg: " + msg;
}

class Rs232Count : public testing::TestWithParam<int> {};

TEST_P(Rs232Count, PairsAndTheSensorPass)
{
    const int n = GetParam();
    json ports = json::array();
    for (int i = 1; i <= n; ++i)
        ports.push_back(Port(i));
    if (n % 2 == 1)  // the sensor's values show in the log as they were set
        ports[n - 1] = {{"name", Port(n)}, {"humidity", 612}, {"temperature", 198}};
    RunResult r =
        RunBoard(SerialBoard(json::array(), ports), {"Port=RS232", "Cnt=1"}, "rs232-count-" + std::to_string(n));
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_TRUE(r.HasMessage("RS232 cnt:" + std::to_string(n))) << r.Describe();
    EXPECT_EQ(LoggedTestSta(r), 0) << r.Describe();
    for (int i = 1; i <= n; ++i)
        EXPECT_TRUE(r.HasMessage(Summary(Port(i), 1, 0))) << Port(i) << "\n" << r.Describe();
    EXPECT_EQ(CountMessages(r, "RS232-", true), n) << "one summary line per port";

    // A passing pair logs its four lines in this order.
    std::vector<std::string> m = TryMessages(r, 1);
    for (int a = 1; a + 1 <= n; a += 2) {
        const std::string A = Port(a), B = Port(a + 1);
        auto at = std::find(m.begin(), m.end(), Exchange(A, A, " iread:0", ""));
        ASSERT_NE(at, m.end()) << A << "\n" << r.Describe();
        ASSERT_GE(m.end() - at, 4);
        EXPECT_EQ(at[1], Exchange(A, B, " OK! iread:32", kText));
        EXPECT_EQ(at[2], Exchange(B, B, " iread:0", ""));
        EXPECT_EQ(at[3], Exchange(B, A, " OK! iread:32", kText));
        EXPECT_EQ(r.FunctionOf(Exchange(B, A, " OK! iread:32", kText)), "RS232Test");
        EXPECT_EQ(CountBursts(r, A, B, kTestTextHex), 1) << r.capture;
        EXPECT_EQ(CountBursts(r, B, A, kTestTextHex), 1);
    }
    if (n % 2 == 1) {
        const std::string dev = "/dev/" + Port(n);
        EXPECT_TRUE(r.HasMessage(dev + " iwrite:8 write:" + kSensorRequestHex + " ")) << r.Describe();
        EXPECT_TRUE(r.HasMessage("Port:" + dev + " Test OK !!! iTem=19.8 iHum=61.2"));
        EXPECT_EQ(r.FunctionOf("Port:" + dev + " Test OK !!! iTem=19.8 iHum=61.2"), "THSensorTest");
        EXPECT_EQ(CountBursts(r, Port(n), "sensor", kSensorRequestHex), 1) << r.capture;
        EXPECT_EQ(CountBurstsFrom(r, Port(n)), 1) << "the sensor port sent the test text";
    } else {
        EXPECT_EQ(CountBurstsFrom(r, "sensor"), 0);
    }
    if (n == 0) {
        EXPECT_TRUE(Bursts(r.capture).empty()) << r.capture;
    }
}

INSTANTIATE_TEST_SUITE_P(Ports, Rs232Count, testing::Range(0, 6));

TEST(Rs232, CableAndLineFaults)
{
    // Pairs (1,2) looped back on themselves, (3,4) hearing themselves and the
    // partner, (5,6) with a stray byte before what 6 receives, (7,8) with a
    // device streaming into 8; the odd port 9 is listed but does not open.
    json ports = {{{"name", Port(1)}, {"faults", {"self_loop"}}},
                  {{"name", Port(2)}, {"faults", {"self_loop"}}},
                  {{"name", Port(3)}, {"faults", {"hear_self"}}},
                  {{"name", Port(4)}, {"faults", {"hear_self"}}},
                  Port(5),
                  {{"name", Port(6)}, {"faults", {"stray"}}},
                  Port(7),
                  {{"name", Port(8)}, {"faults", {"stream"}}},
                  {{"name", Port(9)}, {"faults", {"no_open"}}}};
    RunResult r = RunBoard(SerialBoard(json::array(), ports), {"Port=RS232", "Cnt=1"}, "rs232-faults");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_EQ(LoggedTestSta(r), -1);

    // Self-loop: each hears its own text and not the partner's; both fail.
    EXPECT_TRUE(r.HasMessage(Exchange(Port(1), Port(1), " Error! iread:32", kText))) << r.Describe();
    EXPECT_TRUE(r.HasMessage(Exchange(Port(1), Port(2), " Error! iread:0", "")));
    EXPECT_TRUE(r.HasMessage(Exchange(Port(2), Port(2), " Error! iread:32", kText)));
    EXPECT_TRUE(r.HasMessage(Exchange(Port(2), Port(1), " Error! iread:0", "")));
    EXPECT_TRUE(r.HasMessage(Summary(Port(1), 0, 1)));
    EXPECT_TRUE(r.HasMessage(Summary(Port(2), 0, 1)));

    // Hearing self and partner: the first port passes, the second fails.
    EXPECT_TRUE(r.HasMessage(Exchange(Port(3), Port(4), " OK! iread:32", kText)));
    EXPECT_TRUE(r.HasMessage(Exchange(Port(4), Port(4), " Error! iread:32", kText)));
    EXPECT_TRUE(r.HasMessage(Summary(Port(3), 1, 0)));
    EXPECT_TRUE(r.HasMessage(Summary(Port(4), 0, 1)));

    // A stray leading byte spoils the receipt.
    EXPECT_EQ(CountMessages(r, Exchange(Port(5), Port(6), " Error! iread:33", ""), true), 1);
    EXPECT_TRUE(r.HasMessage(Summary(Port(5), 1, 0)));
    EXPECT_TRUE(r.HasMessage(Summary(Port(6), 0, 1)));
    EXPECT_EQ(CountBursts(r, Port(5), Port(6) + "[stray]", "FF " + std::string(kTestTextHex)), 1) << r.capture;

    // A full buffer without a zero byte: the logged text stops at the buffer's end.
    const std::string streamed = Exchange(Port(7), Port(8), " Error! iread:256", "");
    int i = r.FindMessagePrefix(streamed);
    ASSERT_GE(i, 0) << r.Describe();
    const std::string text = r.Messages()[(size_t)i].substr(streamed.size());
    EXPECT_GT(text.size(), 0u);
    EXPECT_LE(text.size(), 256u) << text;
    EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x21 && c <= 0x7E; })) << text;
    EXPECT_TRUE(r.HasMessage(Summary(Port(7), 1, 0)));
    EXPECT_TRUE(r.HasMessage(Summary(Port(8), 0, 1)));

    // The odd port that does not open is not probed, and fails.
    EXPECT_TRUE(r.HasMessage("open Port:/dev/" + Port(9) + " Err!!!"));
    EXPECT_EQ(CountMessages(r, "/dev/" + Port(9) + " iwrite:", true), 0);
    EXPECT_EQ(CountBurstsFrom(r, Port(9)), 0);
    EXPECT_TRUE(r.HasMessage(Summary(Port(9), 0, 1)));
}

// A sensor whose line is not the program's 9600 8N1: what crosses is read as
// a UART set otherwise reads it, so that port fails, and only it.
struct DeviceLineCase {
    const char* name;
    const char* line;  // the sensor's
    bool onRs485;      // the sensor on a single RS485 port; else on the odd RS232 port out
};

void PrintTo(const DeviceLineCase& c, std::ostream* os)
{
    *os << c.line << (c.onRs485 ? " on RS485" : " on RS232");
}

class DeviceLine : public testing::TestWithParam<DeviceLineCase> {};

TEST_P(DeviceLine, FailsThatPortOnly)
{
    const DeviceLineCase& c = GetParam();
    const json sensor = {{"name", c.onRs485 ? "RS485-1" : Port(3)}, {"line", c.line}};
    const json board = c.onRs485 ? SerialBoard(json::array({sensor}), json::array())
                                 : SerialBoard(json::array(), {Port(1), Port(2), sensor});
    const std::string sensorPort = sensor["name"];
    RunResult r = RunBoard(board, {c.onRs485 ? "Port=RS485" : "Port=RS232", "Cnt=1"}, std::string("line-") + c.name);
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_EQ(LoggedTestSta(r), -1) << r.Describe();
    EXPECT_TRUE(r.HasMessage(Summary(sensorPort, 0, 1))) << r.Describe();
    if (!c.onRs485) {
        EXPECT_TRUE(r.HasMessage(Summary(Port(1), 1, 0))) << r.Describe();
        EXPECT_TRUE(r.HasMessage(Summary(Port(2), 1, 0))) << r.Describe();
    }
    bool garbled = false;
    for (const CapturedBurst& b : Bursts(r.capture))
        garbled = garbled || (b.from == sensorPort && b.to.rfind("sensor[line", 0) == 0);
    EXPECT_TRUE(garbled) << r.capture;

    // The program set every line to 9600 8N1, and the sensor's line is named.
    // On the twin a port is listed only once the twin read its line from the
    // port's tty: every port listed is a line seen there, not assumed.
    const std::string lines = ReadTextFile(r.outDir + "/lines.txt");
    EXPECT_NE(lines.find("# device sensor on " + sensorPort + ": " + c.line + "\n"), std::string::npos) << lines;
    std::map<std::string, std::string> last;
    for (const TimedLine& l : ParseTimedLines(lines))
        last[l.text.substr(0, l.text.find(' '))] = l.text.substr(l.text.find(' ') + 1);
    EXPECT_EQ(last.size(), c.onRs485 ? 1u : 3u) << lines;
    for (const auto& port : last)
        EXPECT_EQ(port.second, "9600 8N1") << port.first << "\n" << lines;
}

INSTANTIATE_TEST_SUITE_P(Mismatch, DeviceLine,
                         testing::Values(DeviceLineCase{"Speed", "19200 8N1", false},
                                         DeviceLineCase{"Parity", "9600 8E1", false},
                                         DeviceLineCase{"Size", "9600 7N1", false},
                                         DeviceLineCase{"Rs485Speed", "19200 8N1", true}),
                         [](const testing::TestParamInfo<DeviceLineCase>& i) { return std::string(i.param.name); });

TEST(Rs232, ControlCharacterInAPortNameDependsOnTheListingTool)
{
    // The program takes the RS232 names from "ls /dev | grep RS232". Into a
    // pipe coreutils' ls prints a name as it is; BusyBox's prints a control
    // character as '?', so the port is counted but opened under a name that
    // does not exist, and its pair partner then hears nothing.
    const std::string tabbed = "RS232-\t2";  // wired with RS232-1: a tab sorts before '1'
    RunResult r =
        RunBoard(SerialBoard(json::array(), {Port(1), tabbed}), {"Port=RS232", "Cnt=1"}, "rs232-control-name");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_TRUE(r.HasMessage("RS232 cnt:2")) << r.Describe();
    if (ScenarioUserland() == "busybox") {
        const std::string listed = "RS232-?2";
        EXPECT_TRUE(r.HasMessage("open Port:/dev/" + listed + " Err!!!")) << r.Describe();
        EXPECT_TRUE(r.HasMessage(Summary(listed, 0, 1))) << r.Describe();
        EXPECT_TRUE(r.HasMessage(Summary(Port(1), 0, 1))) << r.Describe();
        EXPECT_EQ(LoggedTestSta(r), -1);
    } else {
        EXPECT_TRUE(r.HasMessage(Summary(tabbed, 1, 0))) << r.Describe();
        EXPECT_TRUE(r.HasMessage(Summary(Port(1), 1, 0))) << r.Describe();
        EXPECT_EQ(LoggedTestSta(r), 0);
    }
}

}  // namespace
