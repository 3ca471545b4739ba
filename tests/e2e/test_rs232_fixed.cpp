// The RS232 tests of the board models with a device on a fixed port: the
// display screen on the first port (ZR-C3-P500A), the 4G modem on the last
// (ZR-H6-R70N), for 0 to 5 ports, with the device faults and frame heads.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "serial_checks.h"

namespace {

using nlohmann::json;

const char kScreenHost[] = "ZR-C3-P500A";
const char kModemHost[] = "ZR-H6-R70N";
const char kModemAtHex[] = "41 54 0D";
const char kModemOkHex[] = "41 54 0D 0D 0A 4F 4B 0D 0A";

std::string Port(int i)
{
    return "RS232-" + std::to_string(i + 1);
}
std::string Dev(int i)
{
    return "/dev/" + Port(i);
}

// What one run sets up and what it must show.
struct FixedCase {
    const char* name;
    bool screen;      // screen model, else modem model
    int count;        // RS232 ports
    json deviceKeys;  // extra keys of the device port ("faults", "head", ...)
    std::string ini;  // rigchkEx.ini; empty: none
    int tries;
    int devicePort;  // device port index
    std::vector<std::pair<int, int>> pairs;
    int sensor;                               // sensor port index; -1: none
    std::string requestHex;                   // the device request on the wire
    std::vector<std::string> deviceMessages;  // messages the probe must log
    int deviceSucc;                           // the device port's tally
    int deviceErr;
};

void PrintTo(const FixedCase& c, std::ostream* os)
{
    *os << c.name;
}

const std::string kScreenRequest = "A5 5A 03 81 00 01";

const FixedCase kCases[] = {
    {"screen0", true, 0, json::object(), "", 1, -1, {}, -1, "", {"nCnt:0 Err!!!"}, 0, 0},
    // The screen answers the first try only: pass, then no answer.
    {"screen1",
     true,
     1,
     {{"faults", {{{"drop_rx", {2}}}}}},
     "",
     2,
     0,
     {},
     -1,
     kScreenRequest,
     {"Port:/dev/RS232-1 Test OK !!! DWin iVersion=21", "iwrite:6 iread:0 Err!!!"},
     1,
     1},
    {"screen2",
     true,
     2,
     {{"faults", {"short4"}}},
     "",
     1,
     0,
     {},
     1,
     kScreenRequest,
     {"iwrite:6 iread:4 Err!!!", "Port:/dev/RS232-1 Test Err !!!"},
     0,
     1},
    {"screen3",
     true,
     3,
     {{"faults", {"wrong_head"}}},
     "",
     1,
     0,
     {{1, 2}},
     -1,
     kScreenRequest,
     {"Err frame head:5A A5  !!!", "/dev/RS232-1 read:5A A5 04 81 00 01 21 "},
     0,
     1},
    // The program's head is 5A A5, the screen answers with A5 5A.
    {"screen4",
     true,
     4,
     json::object(),
     "[DWin_SCREEN]\nframeH=5A A5\n",
     1,
     0,
     {{1, 2}},
     3,
     "5A A5 03 81 00 01",
     {"@:strDWinFramHead:5A A5", "Err frame head:A5 5A  !!!"},
     0,
     1},
    // A head of one byte changes the first only; the screen's head matches.
    {"screen5",
     true,
     5,
     {{"head", "AA"}, {"version", 0x42}},
     "[DWin_SCREEN]\nframeH=AA\n",
     1,
     0,
     {{1, 2}, {3, 4}},
     -1,
     "AA 5A 03 81 00 01",
     {"Port:/dev/RS232-1 Test OK !!! DWin iVersion=42"},
     1,
     0},
    {"modem0", false, 0, json::object(), "", 1, -1, {}, -1, "", {"nCnt:0 Err!!!"}, 0, 0},
    {"modem1",
     false,
     1,
     {{"faults", {{{"drop_rx", {2}}}}}},
     "",
     2,
     0,
     {},
     -1,
     kModemAtHex,
     {"Port:/dev/RS232-1 Test OK !!! ", "iwrite:3 iread:0 Err!!!"},
     1,
     1},
    {"modem2",
     false,
     2,
     {{"faults", {"no_ok"}}},
     "",
     1,
     1,
     {},
     0,
     kModemAtHex,
     {"iwrite:3 iread:12 Err!!!", "Port:/dev/RS232-2 Test Err !!!"},
     0,
     1},
    // 64 bytes without OK and without a zero byte: the answer fills the buffer.
    {"modem3",
     false,
     3,
     {{"faults", {"fill"}}},
     "",
     1,
     2,
     {{0, 1}},
     -1,
     kModemAtHex,
     {"iwrite:3 iread:64 Err!!!", "Port:/dev/RS232-3 Test Err !!!"},
     0,
     1},
    {"modem4", false, 4, json::object(), "", 1, 3, {{0, 1}}, 2, kModemAtHex, {"Port:/dev/RS232-4 Test OK !!! "}, 1, 0},
    {"modem5",
     false,
     5,
     json::object(),
     "",
     1,
     4,
     {{0, 1}, {2, 3}},
     -1,
     kModemAtHex,
     {"Port:/dev/RS232-5 Test OK !!! "},
     1,
     0},
};

class Rs232Fixed : public testing::TestWithParam<FixedCase> {};

TEST_P(Rs232Fixed, DevicePortAndTheRest)
{
    const FixedCase& c = GetParam();
    json ports = json::array();
    for (int i = 0; i < c.count; ++i) {
        json p = {{"name", Port(i)}};
        if (i == c.devicePort) {
            p["device"] = c.screen ? "screen" : "modem";
            p.update(c.deviceKeys);
        }
        ports.push_back(p);
    }
    json board = SerialBoard(json::array(), ports);
    board["hostname"] = c.screen ? kScreenHost : kModemHost;
    if (!c.ini.empty())
        board["settings_ini"] = c.ini;
    RunResult r =
        RunBoard(board, {"Port=RS232", "Cnt=" + std::to_string(c.tries)}, std::string("rs232-fixed-") + c.name);
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_TRUE(r.HasMessage(std::string("@:") + (c.screen ? "bTestDWin" : "bTest4G") + ":1")) << r.Describe();
    const char* variant = c.screen ? "RS232Test_Fixed_screen" : "RS232Test_Fixed_4G";
    const char* probe = c.screen ? "DWScreenTest" : "Test4GModel";
    for (const std::string& m : c.deviceMessages) {
        EXPECT_TRUE(r.HasMessage(m)) << m << "\n" << r.Describe();
        // Each line names its function: the settings are main's, the rest the probe's.
        const bool setting = m.rfind("@:", 0) == 0;
        EXPECT_EQ(r.FunctionOf(m), setting ? "main" : c.count == 0 ? variant : probe) << m;
    }
    if (c.count == 0) {
        EXPECT_EQ(CountMessages(r, "RS232-", true), 0);
        EXPECT_TRUE(Bursts(r.capture).empty()) << r.capture;
        EXPECT_EQ(LoggedTestSta(r), 0);
        return;
    }
    const bool allPass = c.deviceErr == 0;
    EXPECT_EQ(LoggedTestSta(r), allPass ? 0 : -1);

    // The device port: probed first, once per try, with the request on the wire.
    const char* device = c.screen ? "screen" : "modem";
    EXPECT_TRUE(r.HasMessage(Summary(Port(c.devicePort), c.deviceSucc, c.deviceErr))) << r.Describe();
    EXPECT_EQ(CountBursts(r, Port(c.devicePort), device, c.requestHex), c.tries) << r.capture;
    std::vector<CapturedBurst> b = Bursts(r.capture);
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(b[0].from, Port(c.devicePort)) << "the device port is not probed first\n" << r.capture;
    if (!c.screen && c.deviceErr == 0) {
        EXPECT_EQ(CountBursts(r, "modem", Port(c.devicePort), kModemOkHex), c.tries) << r.capture;
    }

    // The other ports, as the plain test treats them.
    for (const auto& [a, bb] : c.pairs) {
        EXPECT_TRUE(r.HasMessage(Summary(Port(a), c.tries, 0))) << Port(a) << "\n" << r.Describe();
        EXPECT_TRUE(r.HasMessage(Summary(Port(bb), c.tries, 0))) << Port(bb);
        EXPECT_EQ(CountBursts(r, Port(a), Port(bb), kTestTextHex), c.tries) << r.capture;
        EXPECT_EQ(CountBursts(r, Port(bb), Port(a), kTestTextHex), c.tries);
    }
    if (c.sensor >= 0) {
        EXPECT_TRUE(r.HasMessage("Port:" + Dev(c.sensor) + " Test OK !!! iTem=25.0 iHum=50.0")) << r.Describe();
        EXPECT_TRUE(r.HasMessage(Summary(Port(c.sensor), c.tries, 0)));
        EXPECT_EQ(CountBursts(r, Port(c.sensor), "sensor", kSensorRequestHex), c.tries) << r.capture;
    }
    EXPECT_EQ(CountMessages(r, "RS232-", true), c.count) << "one summary line per port";
    if (c.sensor >= 0) {
        EXPECT_EQ(r.FunctionOf("Port:" + Dev(c.sensor) + " Test OK !!! iTem=25.0 iHum=50.0"), "THSensorTest");
    }
    for (const auto& [a, bb] : c.pairs) {
        const std::string receipt =
            "Write " + Port(a) + " msgSend:" + kTestText + ",Read " + Port(bb) + " OK! iread:32 msg: " + kTestText;
        EXPECT_EQ(r.FunctionOf(receipt), variant) << receipt;
    }
}

INSTANTIATE_TEST_SUITE_P(Models, Rs232Fixed, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<FixedCase>& i) { return std::string(i.param.name); });

}  // namespace
