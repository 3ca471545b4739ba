// Start-up of the program on simulated boards: banner, usage text, command
// line, port inventory, the tray notice, the main application, old logs.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

#ifndef RIG_BOARDS_DIR
#error "RIG_BOARDS_DIR must name the folder of the shipped boards"
#endif

namespace {

const std::string kStars(42, '*');
const std::string kDateTime = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";

// Returns a shipped board description.
nlohmann::json ShippedBoard(const std::string& file)
{
    std::ifstream in(std::string(RIG_BOARDS_DIR) + "/" + file);
    return nlohmann::json::parse(in);
}

// Returns the value of the first "@:<key>:<n>" message; -1 when there is none.
int LoggedValue(const RunResult& r, const std::string& key)
{
    int i = r.FindMessagePrefix("@:" + key + ":");
    if (i < 0)
        return -1;
    return std::stoi(r.Messages()[(size_t)i].substr(key.size() + 3));
}

// The counts the inventory logged, in the order RS485, RS232, DO, DI.
std::vector<int> LoggedCounts(const RunResult& r)
{
    return {LoggedValue(r, "RS485 Cnt"), LoggedValue(r, "RS232 Cnt"), LoggedValue(r, "DO Cnt"),
            LoggedValue(r, "DI Cnt")};
}

TEST(Startup, BannerUsageTrayAndMainApplication)
{
    RunResult r = RunBoard(BaseBoard(), {"Port=RS485", "Cnt=2"}, "startup-banner");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_EQ(r.status, 0);

    // The banner opens the log, in this order.
    std::vector<std::string> m = r.Messages();
    int first = r.FindMessage("rigchkEx  Port=RS485 Cnt=2");
    ASSERT_GE(first, 0) << r.Describe();
    ASSERT_GE(m.size(), (size_t)first + 8);
    EXPECT_EQ(m[first + 1], kStars);
    EXPECT_EQ(m[first + 2], "hostname:ZR-E2E-BOARD");
    EXPECT_TRUE(std::regex_match(m[first + 3], std::regex("DateTime:" + kDateTime))) << m[first + 3];
    EXPECT_TRUE(std::regex_match(m[first + 4], std::regex(R"(Build:[A-Z][a-z]{2} [ 1-3]\d \d{4} \d\d:\d\d:\d\d)")))
        << m[first + 4];
    EXPECT_EQ(m[first + 5], "Version:1.0.0.2");
    EXPECT_EQ(m[first + 6], "iMx6ull:0x12345678");
    EXPECT_EQ(r.FunctionOf("cat /sys/fsl_otp/HW_OCOTP_CFG1 | tr -d '\\n'..."), "Getimx6ullID");
    EXPECT_EQ(m[first + 7], kStars);

    // The start time names the kept log and heads the report.
    std::string dateTime = m[first + 3].substr(std::string("DateTime:").size());
    EXPECT_EQ(r.keptLogName, "rigChkEx_ZR-E2E-BOARD_" + dateTime + ".log");
    ASSERT_TRUE(r.hasReport);
    EXPECT_EQ(r.report.rfind("{\"rigchkEx\":\"testData\",\"DevType\":\"ZR-E2E-BOARD\",\"DateTime\":\"" + dateTime +
                                 "\" ,\"logDate\":[",
                             0),
              0u)
        << r.report;

    // The usage text, program name as invoked.
    std::vector<std::string> console = r.ConsoleLines();
    ASSERT_GE(console.size(), 6u) << r.console;
    EXPECT_EQ(console[0], "rigchkEx parameter");
    EXPECT_EQ(console[1], "   Port:DIO(Port=DIO)");
    EXPECT_EQ(console[2], "   Port:RS232(Port=RS232)");
    EXPECT_EQ(console[3], "   Port:RS485(Port=RS485)");
    EXPECT_EQ(console[4], "   Port:All(Port=All)");
    EXPECT_EQ(console[5], "   Cnt:num(cnt=num)(num:1-50)");

    // Parameters, after the handlers are installed.
    int handlers = r.FindMessage("signal 2");
    EXPECT_GT(handlers, first);
    EXPECT_GT(r.FindMessage("signal 15"), handlers);
    EXPECT_EQ(r.FunctionOf("signal 2"), "main");
    EXPECT_EQ(r.FunctionOf("@:bTestDWin:0"), "main");
    EXPECT_EQ(r.FunctionOf("RS232 cnt:0"), "initPortInfo");
    EXPECT_EQ(LoggedValue(r, "nTestCnt"), 2);
    EXPECT_EQ(LoggedValue(r, "iPortSelect"), 4);
    EXPECT_LT(r.FindMessage("@:nTestCnt:2"), r.FindMessage("***Load Port Info:***"));

    // The tray notice, once, and the main application stopped.
    std::vector<std::string> tray = Lines(r.tray);
    ASSERT_EQ(tray.size(), 1u) << r.tray;
    EXPECT_TRUE(std::regex_match(tray[0], std::regex(R"([0-9.]+ type=36876 iParam1=2 iParam2=0 len=76)"))) << tray[0];
    EXPECT_EQ(r.zrAppSU.rfind("zrAppSU stopped at ", 0), 0u) << r.zrAppSU;
}

TEST(Startup, NoArgumentsAndNoOtpDriver)
{
    nlohmann::json board = BaseBoard();
    board["otp"] = nullptr;
    RunResult r = RunBoard(board, {}, "startup-no-args-no-otp");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_TRUE(r.HasMessage("rigchkEx ")) << r.Describe();
    EXPECT_TRUE(r.HasMessage("iMx6ull:"));
    EXPECT_EQ(LoggedValue(r, "nTestCnt"), 1);
    EXPECT_EQ(LoggedValue(r, "iPortSelect"), 7);
    // The shell's complaint about the missing file reaches the console; the usage text follows.
    std::vector<std::string> console = r.ConsoleLines();
    auto usage = std::find(console.begin(), console.end(), "rigchkEx parameter");
    EXPECT_NE(usage, console.end()) << r.console;
    EXPECT_NE(r.console.find("HW_OCOTP_CFG1"), std::string::npos) << r.console;
}

struct CommandLine {
    std::vector<std::string> args;
    int nTestCnt;
    int iPortSelect;
};

// Shows a command line in test names and messages.
void PrintTo(const CommandLine& c, std::ostream* os)
{
    for (const std::string& a : c.args)
        *os << a << " ";
    *os << "-> " << c.nTestCnt << " tries, selection " << c.iPortSelect;
}

class StartupCommandLine : public ::testing::TestWithParam<CommandLine> {};

TEST_P(StartupCommandLine, LogsTriesAndSelection)
{
    const CommandLine& c = GetParam();
    std::string name = "startup-cmdline";
    for (const std::string& a : c.args)
        name += "-" + a;
    RunResult r = RunBoard(BaseBoard(), c.args, name);
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_EQ(LoggedValue(r, "nTestCnt"), c.nTestCnt) << r.Describe();
    EXPECT_EQ(LoggedValue(r, "iPortSelect"), c.iPortSelect);
}

INSTANTIATE_TEST_SUITE_P(
    Startup, StartupCommandLine,
    ::testing::Values(CommandLine{{"Port=DIO", "port:RS485", "Cnt=0"}, 1, 5},  // selections add up, Cnt raised to 1
                      CommandLine{{"Port=rs485"}, 1, 7},                       // case matters: nothing, so all
                      CommandLine{{"Port=DIO,RS232"}, 1, 7},                   // one word only
                      CommandLine{{"Cnt:3=7", "Port:RS232"}, 3, 2},            // the colon wins
                      CommandLine{{"Cnt:2Port=RS232"}, 2, 2},                  // one argument of both kinds
                      CommandLine{{"Cnt=010", "cnt=2", "Port=DIO"}, 2, 1}),    // a later count replaces
    [](const ::testing::TestParamInfo<CommandLine>& info) {
        std::string name;
        for (const std::string& a : info.param.args)
            name += (name.empty() ? "" : "_") + a;
        for (char& ch : name) {
            if (!isalnum((unsigned char)ch))
                ch = '_';
        }
        return name;
    });

TEST(Startup, InventoryOfTheMainBoard)
{
    RunResult r = RunBoard(ShippedBoard("default.json"), {"Port=RS485"}, "startup-inventory-default");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_EQ(LoggedCounts(r), (std::vector<int>{2, 2, 2, 4})) << r.Describe();
    EXPECT_TRUE(r.HasMessage("RS232 cnt:2"));
    EXPECT_TRUE(r.HasMessage("hostname:ZR-A7-T100"));
    EXPECT_TRUE(r.HasMessage("iMx6ull:0x2A1B3C4D"));
}

TEST(Startup, InventoryReadsTheConfigurationForItsShape)
{
    nlohmann::json board = BaseBoard();
    board["rs485"] = {"RS485-1"};
    // A comment counts like a key line; a line with both keys counts for DI
    // only (commas from "zr_di" on); a last line of 7 characters keeps the count.
    board["zrdio_conf"] = "# zr_do=1,2 in a comment\nzr_di=1,2 zr_do=1,2,3\nzr_do=1";
    RunResult r = RunBoard(board, {"Port=RS232"}, "startup-inventory-conf");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_EQ(LoggedCounts(r), (std::vector<int>{1, 0, 2, 4})) << r.Describe();
    EXPECT_TRUE(r.HasMessage("RS232 cnt:0"));
}

TEST(Startup, ShortFirstKeyLineKeepsZero)
{
    nlohmann::json board = BaseBoard();
    board["rs232"] = {"RS232-1", "RS232-2", "RS232-3"};
    board["zrdio_conf"] = "zr_do=1,2,3,4\nzr_di=1";
    RunResult r = RunBoard(board, {"Port=RS485"}, "startup-inventory-short-line");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    EXPECT_EQ(LoggedCounts(r), (std::vector<int>{0, 3, 4, 0})) << r.Describe();
}

TEST(Startup, MissingDioConfigurationEndsTheRun)
{
    RunResult r = RunBoard(ShippedBoard("no-dio-conf.json"), {"Port=RS485"}, "startup-no-dio-conf");
    ASSERT_EQ(r.exitStatus, "exit 255") << r.Describe();
    EXPECT_EQ(r.status, 255);
    int fopenErr = r.FindMessage("fopen  error!");
    ASSERT_GE(fopenErr, 0) << r.Describe();
    EXPECT_GT(r.FindMessage("Err Get Port Info!!!"), fopenErr);
    EXPECT_LT(r.FindMessagePrefix("@:RS485 Cnt:"), 0) << "no counts are logged after the failure";
    ASSERT_TRUE(r.hasReport);
    EXPECT_TRUE(std::regex_match(r.report, std::regex("\\{\"rigchkEx\":\"testData\",\"DevType\":\"ZR-NO-CONF\","
                                                      "\"DateTime\":\"" +
                                                      kDateTime + "\" ,\"logDate\":\\[\\]\\}")))
        << r.report;
    EXPECT_FALSE(r.keptLogName.empty());
}

TEST(Startup, OldLogsGoTheBackupStays)
{
    nlohmann::json board = BaseBoard();
    board["nandflash_files"] = {
        {"rigChkEx.log", "0=[RtLog][2020-01-01 00:00:00] old live line\tx.cpp f line=1\n"},
        {"rigChkEx_ZR-OLD_2020-01-01 00:00:00.log", "0=[RtLog][2020-01-01 00:00:00] old kept line\tx.cpp f line=1\n"},
        {"rigChkEx.log.bak", "backup\n"},
        {"rigChkEx.js", "old report"},
        {"notes.txt", "operator notes\n"},
    };
    RunResult r = RunBoard(board, {"Port=DIO"}, "startup-old-logs");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    for (const std::string& m : r.Messages()) {
        EXPECT_EQ(m.find("old live line"), std::string::npos);
        EXPECT_EQ(m.find("old kept line"), std::string::npos);
    }
    std::vector<std::string> expected = {"notes.txt", "rigChkEx.js", "rigChkEx.log", "rigChkEx.log.bak", r.keptLogName};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(r.tmpFiles, expected);
    std::ifstream bak(r.outDir + "/NandFlash/tmp/rigChkEx.log.bak");
    std::string bakText((std::istreambuf_iterator<char>(bak)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bakText, "backup\n");
    EXPECT_NE(r.report, "old report");
}

}  // namespace

// On the board's twin (test preset imx6ul): the kernel's boot log on the
// board's serial console, every run file back from the twin, and the times
// of the twin's files (board-init inside) and the host's (the simulators)
// counted from one power-on.
TEST(Twin, BootLogRunFilesAndOneClock)
{
    if (!TwinMachine())
        GTEST_SKIP() << "runs on the board's twin only";
    RunResult r = RunBoard(ShippedBoard("default.json"), {"Port=All", "Cnt=1"}, "twin-run-files");
    ASSERT_EQ(r.exitStatus, "exit 0") << r.Describe();
    std::ifstream in(r.outDir + "/board-console.txt");
    std::string boot((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(boot.find("Booting Linux"), std::string::npos) << boot;
    EXPECT_LT(boot.find("Booting Linux"), boot.find("twin: board up")) << boot;
    for (const char* f : {"console.txt", "capture.txt", "dio.txt", "dio.vcd", "tray.txt", "zrAppSU.txt", "signals.txt",
                          "tracelog.txt", "fds.txt", "rusage", "verdict.txt"})
        EXPECT_TRUE(std::ifstream(r.outDir + "/" + f).good()) << f;
    EXPECT_TRUE(r.hasReport);
    EXPECT_FALSE(r.keptLogName.empty());

    std::vector<TimedLine> signals = ParseTimedLines(r.signals);
    ASSERT_GE(signals.size(), 2u) << r.signals;
    const double start = signals.front().t;
    const double end = signals.back().t;
    std::vector<TimedLine> dio = ParseTimedLines(r.dioTxt);
    auto ioctl = std::find_if(dio.begin(), dio.end(), [](const TimedLine& l) { return l.text.rfind("ioctl", 0) == 0; });
    ASSERT_NE(ioctl, dio.end()) << r.dioTxt;
    EXPECT_LT(start, ioctl->t);
    EXPECT_LT(ioctl->t, end);
    size_t burst = r.capture.find("\n ");  // the first burst's line: " <time> <sender> > ..."
    ASSERT_NE(burst, std::string::npos) << r.capture;
    const double firstBurst = std::stod(r.capture.substr(burst + 2));
    EXPECT_LT(start, firstBurst);
    EXPECT_LT(firstBurst, end);
}
