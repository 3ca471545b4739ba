// The RS485 test on simulated boards: the loopback over a bus of two or more
// ports, with deaf, unopenable, missing and once-failing ports, and the
// sensor on a board with a single RS485 port.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"
#include "serial_checks.h"

namespace {

using nlohmann::json;

const std::string kText = kTestText;
constexpr double kSendWaitS = 0.3;            // the test's wait between a send and the reads
constexpr double kCaptureJitterS = 0.15;      // how late serial-sim may stamp a burst under load
constexpr double kBaud = 9600;                // the program's line: 9600 8N1
constexpr double kBits8N1 = 10;               // start, 8 data and stop bits per character
constexpr size_t kHexPerByte = 3;             // "41 " in the capture's hex column (the last one has no blank)
constexpr double kCaptureResolutionS = 1e-6;  // the capture's times are rounded to microseconds

// Returns the message of sender s heard by receiver r, OK or not.
std::string Heard(int s, int r, bool ok, const std::string& msg)
{
    return "Write RS485-" + std::to_string(s) + " msgSend:" + kText + ",Read RS485-" + std::to_string(r) +
           (ok ? " OK! msg: " : " Error! msg: ") + msg;
}

TEST(Rs485, TwoPortsOnTheBusPassThreeTries)
{
    RunResult r = RunBoard(SerialBoard({"RS485-1", "RS485-2"}, json::array()), {"Port=RS485", "Cnt=3"}, "rs485-two");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();

    // Two try lines per try, in order, each try with both receptions.
    int at = 0;
    for (int t = 1; t <= 3; ++t) {
        int tryLine = r.FindMessage("-----Try Test " + std::to_string(t) + "-----", at);
        ASSERT_GE(tryLine, 0) << "try " << t << "\n" << r.Describe();
        EXPECT_EQ(r.FindMessage("****Try Test RS485 " + std::to_string(t) + "*****", tryLine), tryLine + 1);
        std::vector<std::string> m = TryMessages(r, t);
        EXPECT_EQ(std::count(m.begin(), m.end(), Heard(1, 2, true, kText)), 1) << "try " << t;
        EXPECT_EQ(std::count(m.begin(), m.end(), Heard(2, 1, true, kText)), 1) << "try " << t;
        at = tryLine + 1;
    }
    EXPECT_EQ(CountMessages(r, "-----Try Test ", true), 3);
    EXPECT_TRUE(r.HasMessage(Summary("RS485-1", 3, 0))) << r.Describe();
    // Each line names the function it belongs to.
    EXPECT_EQ(r.FunctionOf(Heard(2, 1, true, kText)), "RS485Test");
    EXPECT_EQ(r.FunctionOf("-----Try Test 1-----"), "main");
    EXPECT_EQ(r.FunctionOf(Summary("RS485-1", 3, 0)), "main");
    EXPECT_TRUE(r.HasMessage(Summary("RS485-2", 3, 0)));
    EXPECT_EQ(LoggedTestSta(r), 0);
    EXPECT_NE(r.report.find(R"({"name":"RS485-1","port":1})"), std::string::npos) << r.report;
    EXPECT_NE(r.report.find(R"({"name":"RS485-2","port":1})"), std::string::npos) << r.report;

    // On the wire: the whole text with its zero byte, port 1 then port 2, each
    // after the other's 300 ms wait.
    std::vector<CapturedBurst> b = Bursts(r.capture);
    ASSERT_EQ(b.size(), 6u) << r.capture;
    for (size_t i = 0; i < b.size(); ++i) {
        EXPECT_EQ(b[i].from, i % 2 == 0 ? "RS485-1" : "RS485-2");
        EXPECT_EQ(b[i].to, i % 2 == 0 ? "RS485-2" : "RS485-1");
        EXPECT_EQ(b[i].hex, kTestTextHex);
    }
    for (size_t i = 0; i < b.size(); i += 2)
        EXPECT_GE(b[i + 1].t - b[i].t, kSendWaitS - kCaptureJitterS) << "port 2 sent before port 1's wait ended";

    // Each frame takes its time on the wire: 32 characters of 10 bits (start,
    // 8 data, stop) at 9600 baud, and more only when the machine is late. The
    // reader read it whole before it answered, so it had all arrived by then.
    const double frameS = (double)((b[0].hex.size() + 1) / kHexPerByte) * kBits8N1 / kBaud;
    for (size_t i = 0; i < b.size(); ++i) {
        EXPECT_GE(b[i].last - b[i].t, frameS - kCaptureResolutionS) << "frame " << i << "\n" << r.capture;
        if (i + 1 < b.size()) {
            EXPECT_LT(b[i].last, b[i + 1].t) << "frame " << i << " arrived after it was answered\n" << r.capture;
        }
    }
}

TEST(Rs485, APortThatMissesOneFrameFailsOneTry)
{
    RunResult r =
        RunBoard(SerialBoard({"RS485-1", {{"name", "RS485-2"}, {"faults", {{{"drop_rx", {2}}}}}}}, json::array()),
                 {"Port=RS485", "Cnt=3"}, "rs485-fails-once");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_TRUE(r.HasMessage(Summary("RS485-1", 3, 0))) << r.Describe();
    EXPECT_TRUE(r.HasMessage(Summary("RS485-2", 2, 1)));
    EXPECT_EQ(LoggedTestSta(r), -1);
    std::vector<std::string> second = TryMessages(r, 2);
    EXPECT_EQ(std::count(second.begin(), second.end(), Heard(1, 2, false, "")), 1) << r.Describe();
    EXPECT_EQ(CountMessages(r, Heard(1, 2, false, "")), 1);
    EXPECT_EQ(CountBursts(r, "RS485-1", "RS485-2[drop_rx]", kTestTextHex), 1) << r.capture;
    EXPECT_NE(r.report.find(R"({"name":"RS485-2","port":0})"), std::string::npos) << r.report;
}

TEST(Rs485, DeafUnopenableAndMissingPorts)
{
    // RS485-5 has no /dev entry, so the program counts four ports; RS485-4 is
    // listed but does not open; RS485-2 sends but hears nothing.
    json ports = {"RS485-1",
                  {{"name", "RS485-2"}, {"faults", {"deaf"}}},
                  "RS485-3",
                  {{"name", "RS485-4"}, {"faults", {"no_open"}}},
                  {{"name", "RS485-5"}, {"faults", {"missing"}}}};
    RunResult r = RunBoard(SerialBoard(ports, json::array()), {"Port=RS485", "Cnt=1"}, "rs485-deaf-missing");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_TRUE(r.HasMessage("@:RS485 Cnt:4")) << r.Describe();
    EXPECT_TRUE(r.HasMessage("open Port:/dev/RS485-4 Err!!!"));
    EXPECT_TRUE(r.HasMessage(Heard(1, 2, false, "")));
    EXPECT_TRUE(r.HasMessage(Heard(3, 2, false, "")));
    EXPECT_TRUE(r.HasMessage(Heard(2, 1, true, kText)));
    EXPECT_TRUE(r.HasMessage(Heard(2, 3, true, kText)));
    EXPECT_TRUE(r.HasMessage(Summary("RS485-1", 1, 0)));
    EXPECT_TRUE(r.HasMessage(Summary("RS485-2", 0, 1)));
    EXPECT_TRUE(r.HasMessage(Summary("RS485-3", 1, 0)));
    EXPECT_TRUE(r.HasMessage(Summary("RS485-4", 0, 1)));
    EXPECT_EQ(CountMessages(r, "RS485-5:", true), 0);
    EXPECT_EQ(LoggedTestSta(r), -1);
    // The deaf port's own send went out whole; the unopened port never sent.
    EXPECT_EQ(CountBursts(r, "RS485-2", "RS485-1,RS485-3,RS485-4,RS485-5", kTestTextHex), 1) << r.capture;
    EXPECT_EQ(CountBursts(r, "RS485-1", "RS485-2[deaf],RS485-3,RS485-4,RS485-5", kTestTextHex), 1);
    EXPECT_EQ(CountBurstsFrom(r, "RS485-4"), 0);
}

// The sensor on a board's single RS485 port, with a fault.
RunResult SensorRun(const json& faults, int tries, const std::string& name)
{
    json port = {{"name", "RS485-1"}, {"faults", faults}};
    return RunBoard(SerialBoard(json::array({port}), json::array()), {"Port=RS485", "Cnt=" + std::to_string(tries)},
                    name);
}

TEST(Rs485, SensorOnTheSinglePortAnswersAllButOneTry)
{
    RunResult r = SensorRun({{{"drop_rx", {2}}}}, 3, "rs485-sensor");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    const std::string port = "/dev/RS485-1";
    EXPECT_EQ(CountMessages(r, port + " write:" + kSensorRequestHex + " "), 3) << r.Describe();
    EXPECT_EQ(CountMessages(r, port + " read:" + kSensorAnswerHex + " "), 2);
    EXPECT_EQ(CountMessages(r, "Port:" + port + " Test OK !!! iTem=25.0 iHum=50.0"), 2);
    EXPECT_EQ(r.FunctionOf("Port:" + port + " Test OK !!! iTem=25.0 iHum=50.0"), "RS485Test");
    std::vector<std::string> second = TryMessages(r, 2);
    EXPECT_EQ(std::count(second.begin(), second.end(), "iread:0 Err!!!"), 1) << r.Describe();
    EXPECT_EQ(std::count(second.begin(), second.end(), "Port:" + port + " Test Err !!!"), 1);
    EXPECT_TRUE(r.HasMessage(Summary("RS485-1", 2, 1)));
    EXPECT_EQ(LoggedTestSta(r), -1);

    // The request on the wire, checked by libmodbus, and no loopback text.
    EXPECT_EQ(CountBursts(r, "RS485-1", "sensor", kSensorRequestHex), 3) << r.capture;
    EXPECT_EQ(CountBursts(r, "sensor", "RS485-1", kSensorAnswerHex), 2);
    EXPECT_EQ(CountBursts(r, "sensor", "RS485-1[drop_rx]", kSensorAnswerHex), 1);
    EXPECT_EQ(CountBursts(r, "RS485-1", "sensor", kTestTextHex), 0);
}

TEST(Rs485, SensorAnswerWithABadCrcFails)
{
    RunResult r = SensorRun({"bad_crc"}, 1, "rs485-sensor-crc");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_TRUE(r.HasMessage("Err crc!!!")) << r.Describe();
    EXPECT_TRUE(r.HasMessage("Port:/dev/RS485-1 Test Err !!!"));
    EXPECT_TRUE(r.HasMessage(Summary("RS485-1", 0, 1)));
    EXPECT_EQ(LoggedTestSta(r), -1);
    EXPECT_EQ(CountBursts(r, "sensor", "RS485-1[bad_crc]", "10 03 04 01 F4 00 FA 3B 7E"), 1) << r.capture;
}

TEST(Rs485, ShortSensorAnswerFails)
{
    RunResult r = SensorRun({"short"}, 1, "rs485-sensor-short");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_TRUE(r.HasMessage("iread:8 Err!!!")) << r.Describe();
    EXPECT_TRUE(r.HasMessage(Summary("RS485-1", 0, 1)));
    EXPECT_EQ(LoggedTestSta(r), -1);
}

TEST(Rs485, LongSensorAnswerPassesWithABoundedDump)
{
    // 21 bytes with a correct CRC: the words sit where they always do, and
    // the dump of the answer must stay inside its 64-byte text.
    RunResult r = SensorRun({"long"}, 1, "rs485-sensor-long");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_TRUE(r.HasMessage("Port:/dev/RS485-1 Test OK !!! iTem=25.0 iHum=50.0")) << r.Describe();
    EXPECT_TRUE(r.HasMessage(Summary("RS485-1", 1, 0)));
    int dump = r.FindMessagePrefix("/dev/RS485-1 read:10 03 10 01 F4 00 FA 00 00 ");
    ASSERT_GE(dump, 0) << r.Describe();
    EXPECT_LT(r.Messages()[(size_t)dump].size(), 64u) << r.Messages()[(size_t)dump];
    EXPECT_EQ(LoggedTestSta(r), 0);
}

}  // namespace
