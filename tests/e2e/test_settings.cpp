// Device-specific settings on simulated boards: the settings file and the
// host name decide which RS232 test runs, the screen's frame head and the
// number of DOs tested.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "serial_checks.h"

namespace {

using nlohmann::json;

const std::string kStars(42, '*');
const char kPairText[] = "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50";  // the test text's start
const char kModemRequest[] = "41 54 0D";                                     // "AT\r"

// Returns a board with the host name, the RS232 ports and, when given, the
// settings file.
json SettingsBoard(const std::string& host, const json& rs232, const char* ini)
{
    json board = BaseBoard();
    board["hostname"] = host;
    board["rs232"] = rs232;
    if (ini != nullptr)
        board["settings_ini"] = ini;
    return board;
}

// Returns the messages from "***Load rigchkEx.ini:***" to the second line of
// asterisks after it: the settings block of the log.
std::vector<std::string> SettingsBlock(const RunResult& r)
{
    std::vector<std::string> m = r.Messages();
    std::vector<std::string> block;
    int first = r.FindMessage("***Load rigchkEx.ini:***");
    if (first < 0)
        return block;
    int stars = 0;
    for (size_t i = (size_t)first; i < m.size() && stars < 2; ++i) {
        block.push_back(m[i]);
        if (m[i] == kStars)
            stars++;
    }
    return block;
}

// Returns true when some message contains text.
bool LogContains(const RunResult& r, const std::string& text)
{
    for (const std::string& m : r.Messages()) {
        if (m.find(text) != std::string::npos)
            return true;
    }
    return false;
}

// Returns true when a burst shows sender sending to receiver (first) the
// bytes starting with hex.
bool Captured(const RunResult& r, const std::string& sender, const std::string& receiver, const std::string& hex)
{
    for (const CapturedBurst& b : Bursts(r.capture)) {
        if (b.from == sender && b.to.rfind(receiver, 0) == 0 && b.hex.rfind(hex, 0) == 0)
            return true;
    }
    return false;
}

// Returns true when any capture line carries the bytes hex.
bool CapturedAnywhere(const RunResult& r, const std::string& hex)
{
    for (const std::string& l : Lines(r.capture)) {
        if (l.size() > 0 && l[0] != '#' && l.find(hex) != std::string::npos)
            return true;
    }
    return false;
}

// Returns the report's group named name; null when there is none.
json ReportGroup(const RunResult& r, const std::string& name)
{
    json report = json::parse(r.report, nullptr, false);
    EXPECT_FALSE(report.is_discarded()) << r.report;
    if (report.is_discarded())
        return nullptr;
    for (const json& group : report["logDate"]) {
        if (group["name"] == name)
            return group;
    }
    return nullptr;
}

// Returns the verdicts of a report group, in order.
std::vector<int> Verdicts(const json& group)
{
    std::vector<int> v;
    if (group.is_null())
        return v;
    for (const json& port : group["info"])
        v.push_back(port["port"].get<int>());
    return v;
}

TEST(Settings, NoFileOnAPlainBoard)
{
    json board = SettingsBoard("ZR-E2E-BOARD", {"RS232-1", "RS232-2"}, nullptr);
    board["zrdio_conf"] = "zr_di=1,2,3,4,5,6\nzr_do=1,2,3\n";
    RunResult r = RunBoard(board, {"Port=RS232"}, "settings-no-file");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();

    EXPECT_EQ(SettingsBlock(r),
              (std::vector<std::string>{"***Load rigchkEx.ini:***", "@:bTestDWin:0", kStars, "@:bTest4G:0", kStars}));
    EXPECT_LT(r.FindMessagePrefix("@:strDWinFramHead:"), 0);
    EXPECT_TRUE(r.HasMessage("@:DO Cnt:3")) << r.Describe();
    EXPECT_TRUE(r.HasMessage("@:DI Cnt:6"));

    // The plain loopback test: the pair exchanges the text, no device is probed.
    EXPECT_TRUE(Captured(r, "RS232-1", "RS232-2", kPairText)) << r.capture;
    EXPECT_TRUE(Captured(r, "RS232-2", "RS232-1", kPairText));
    EXPECT_FALSE(CapturedAnywhere(r, "5A 03 81 00 01"));
    EXPECT_FALSE(CapturedAnywhere(r, kModemRequest));
    EXPECT_EQ(Verdicts(ReportGroup(r, "RS232")), (std::vector<int>{1, 1})) << r.report;
}

TEST(Settings, ScreenHostOverridesTheFileButTakesItsFrameHead)
{
    // The screen answers only to its own head, so passing proves the head came from the file.
    json rs232 = {{{"name", "RS232-1"}, {"device", "screen"}, {"head", "AA 55"}}, "RS232-2", "RS232-3"};
    json board = SettingsBoard("ZR-C3-P500B", rs232, "[DWin_SCREEN]\nbTest=0\nframeH=AA 55\n");
    RunResult r = RunBoard(board, {"Port=RS232"}, "settings-screen-host");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();

    EXPECT_EQ(SettingsBlock(r), (std::vector<std::string>{"***Load rigchkEx.ini:***", "@:bTestDWin:1",
                                                          "@:strDWinFramHead:AA 55", kStars, "@:bTest4G:0", kStars}));
    EXPECT_TRUE(Captured(r, "RS232-1", "screen", "AA 55 03 81 00 01")) << r.capture;
    EXPECT_TRUE(LogContains(r, "Test OK !!! DWin iVersion=21")) << r.Describe();
    EXPECT_TRUE(Captured(r, "RS232-2", "RS232-3", kPairText));
    EXPECT_EQ(Verdicts(ReportGroup(r, "RS232")), (std::vector<int>{1, 1, 1})) << r.report;
}

TEST(Settings, ScreenFlagTwoLogsTheHeadButRunsThePlainTest)
{
    json board = SettingsBoard("ZR-E2E-BOARD", {"RS232-1", "RS232-2"}, "[DWin_SCREEN]\nbTest=2\n");
    RunResult r = RunBoard(board, {"Port=RS232"}, "settings-screen-flag-2");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();

    EXPECT_EQ(SettingsBlock(r), (std::vector<std::string>{"***Load rigchkEx.ini:***", "@:bTestDWin:2",
                                                          "@:strDWinFramHead:A5 5A", kStars, "@:bTest4G:0", kStars}));
    EXPECT_TRUE(Captured(r, "RS232-1", "RS232-2", kPairText)) << r.capture;
    EXPECT_TRUE(Captured(r, "RS232-2", "RS232-1", kPairText)) << r.capture;
    EXPECT_FALSE(CapturedAnywhere(r, "A5 5A 03 81"));
    EXPECT_EQ(Verdicts(ReportGroup(r, "RS232")), (std::vector<int>{1, 1})) << r.report;
}

TEST(Settings, ModemHostWithDOCountAndScreenFlag)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    // Both flags 1 (the modem's from the host name): the screen test wins.
    // The DO count of the file replaces the modem host's 2.
    json rs232 = {{{"name", "RS232-1"}, {"device", "screen"}}, "RS232-2", "RS232-3"};
    json board = SettingsBoard("ZR-H6-R70N", rs232, "[DWin_SCREEN]\nbTest=1\n[DO]\ncnt=4\n");
    board.erase("zrdio_conf");
    board["dio"] = {{"do", 4}, {"di", 8}};
    RunResult r = RunBoard(board, {"Port=RS232", "Port=DIO"}, "settings-modem-host-cnt4");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();

    EXPECT_EQ(SettingsBlock(r), (std::vector<std::string>{"***Load rigchkEx.ini:***", "@:bTestDWin:1",
                                                          "@:strDWinFramHead:A5 5A", kStars, "@:bTest4G:1", kStars}));
    EXPECT_TRUE(r.HasMessage("@:DO Cnt:4")) << r.Describe();
    EXPECT_TRUE(Captured(r, "RS232-1", "screen", "A5 5A 03 81 00 01")) << r.capture;
    EXPECT_FALSE(CapturedAnywhere(r, kModemRequest));
    EXPECT_EQ(Verdicts(ReportGroup(r, "RS232")), (std::vector<int>{1, 1, 1})) << r.report;
    EXPECT_EQ(Verdicts(ReportGroup(r, "DO")), (std::vector<int>{1, 1, 1, 1}));
    EXPECT_TRUE(r.HasMessage("DO-4:NC Test Succ Cnt 1,Error Cnt 0"));
}

TEST(Settings, ModemHostWithoutFile)
{
    SKIP_WITHOUT_DIO_IOCTLS();
    json rs232 = {"RS232-1", "RS232-2", "RS232-3", {{"name", "RS232-4"}, {"device", "modem"}}};
    json board = SettingsBoard("ZR-H6-R70N", rs232, nullptr);
    board.erase("zrdio_conf");
    board["dio"] = {{"do", 4}, {"di", 8}};
    RunResult r = RunBoard(board, {"Port=RS232", "Port=DIO"}, "settings-modem-host-default");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();

    EXPECT_EQ(SettingsBlock(r),
              (std::vector<std::string>{"***Load rigchkEx.ini:***", "@:bTestDWin:0", kStars, "@:bTest4G:1", kStars}));
    EXPECT_TRUE(r.HasMessage("@:DO Cnt:2")) << r.Describe();
    EXPECT_TRUE(Captured(r, "RS232-4", "modem", kModemRequest)) << r.capture;
    EXPECT_TRUE(Captured(r, "RS232-1", "RS232-2", kPairText));
    EXPECT_FALSE(CapturedAnywhere(r, "5A 03 81 00 01"));
    EXPECT_EQ(Verdicts(ReportGroup(r, "RS232")), (std::vector<int>{1, 1, 1, 1})) << r.report;
    EXPECT_EQ(Verdicts(ReportGroup(r, "DO")).size(), 2u) << r.report;
    EXPECT_TRUE(r.HasMessage("DO-2:NO Test Succ Cnt 1,Error Cnt 0")) << r.Describe();
    EXPECT_LT(r.FindMessagePrefix("DO-3:"), 0);
}

}  // namespace
