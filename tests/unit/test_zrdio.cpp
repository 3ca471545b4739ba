// The DIO device classes against the fixture's driver stand-in: zrdio-sim on
// a temporary folder, reached through the preload library that this test
// program runs with.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "zrDio.h"
#include "zrDioIoctl.h"
#include "zrLog.h"

// Under ASan the preload library comes before the sanitizer runtime in the
// library list, which the runtime accepts only when told so.
extern "C" const char* __asan_default_options()
{
    return "verify_asan_link_order=0";
}

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// One zrdio-sim with its own board, device, socket and trace log.
class ZrDioTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/test_zrdio.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        dev_ = dir_ + "/zrdio";
        log_ = dir_ + "/trace.log";
        filename = log_.c_str();
        setenv("ZRDIO_DEVICE", dev_.c_str(), 1);
        setenv("ZRDIO_SOCKET", (dir_ + "/zrdio.sock").c_str(), 1);
    }

    void TearDown() override
    {
        Stop();
        filename = "/NandFlash/tmp/rigChkEx.log";
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }

    // Starts the simulator on a board whose "dio" key is dio and waits until
    // the device exists.
    void Start(const std::string& dio)
    {
        std::ofstream(dir_ + "/board.json") << "{\"dio\": " << dio << "}";
        int ready[2];
        ASSERT_EQ(0, pipe(ready));
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            close(ready[0]);
            unsetenv("LD_PRELOAD");
            std::string fd = std::to_string(ready[1]);
            std::string sock = dir_ + "/zrdio.sock";
            execl(ZRDIO_SIM_PATH, "zrdio-sim", "--board", (dir_ + "/board.json").c_str(), "--out", dir_.c_str(),
                  "--ready-fd", fd.c_str(), "--dev-dir", dir_.c_str(), "--socket", sock.c_str(), (char*)nullptr);
            _exit(127);
        }
        close(ready[1]);
        char byte = 0;
        ASSERT_EQ(1, read(ready[0], &byte, 1)) << "zrdio-sim did not come up";
        close(ready[0]);
    }

    void Stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "zrdio-sim ends with 0 on SIGTERM";
        pid_ = -1;
    }

    // The simulator's traffic log, complete once it has stopped.
    std::string Traffic()
    {
        Stop();
        return ReadFile(dir_ + "/dio.txt");
    }
    std::string Log() { return ReadFile(log_); }

    std::string dir_, dev_, log_;
    pid_t pid_ = -1;
};

TEST_F(ZrDioTest, EveryOperationOfAnUnopenedObjectFailsWithoutAnIoctl)
{
    Start("{\"do\": 2, \"di\": 4}");
    CzrDioIoctl dio;
    EXPECT_EQ(-1, dio.m_fdDio);
    EXPECT_EQ(0, dio.m_nFlag);
    dio.uninit();  // never opened: nothing to close
    EXPECT_EQ(-1, dio.GetDioNum(1));
    EXPECT_EQ(-1, dio.SetDOOutput(1));
    EXPECT_EQ(-1, dio.SetDOOFF(1));
    EXPECT_EQ(-1, dio.GetDOSta(1));
    EXPECT_EQ(-1, dio.GetDISta(1));
    EXPECT_EQ(-1, dio.GetDIOSta(13, 1));
    EXPECT_EQ(-1, dio.GetAllDioSta());
    EXPECT_EQ(0, dio.GetDioBuffSta(1, 1));
    EXPECT_EQ(7u, Count(Log(), "------Err m_fdDio:-1------\tzrDioTest/zrDioIoctl.cpp "));

    // A failed open leaves the object unopened the same way.
    EXPECT_EQ(-1, dio.init((dir_ + "/nothere").c_str(), 5));
    EXPECT_EQ(-1, dio.GetDISta(1));
    EXPECT_EQ(0u, Count(Traffic(), " ioctl "));
}

TEST_F(ZrDioTest, InitStoresTheFlagAndLogsOnlyASuccessfulOpen)
{
    Start("{\"do\": 1, \"di\": 2}");
    CzrDioIoctl dio;
    EXPECT_EQ(-1, dio.init(nullptr, 1));
    EXPECT_EQ(-1, dio.m_fdDio);
    EXPECT_EQ(1, dio.m_nFlag);
    EXPECT_EQ(-1, dio.init((dir_ + "/nothere").c_str(), 3));
    EXPECT_EQ(-1, dio.m_fdDio);
    EXPECT_EQ(3, dio.m_nFlag);
    EXPECT_EQ("", Log());

    EXPECT_EQ(0, dio.init(dev_.c_str(), 1));
    EXPECT_GE(dio.m_fdDio, 0);
    EXPECT_NE(std::string::npos,
              Log().find("] ---------------succ open DIO:" + dev_ + "---------------\tzrDioTest/zrDio.cpp init line="));
    int fd = dio.m_fdDio;
    dio.uninit();
    EXPECT_EQ(fd, dio.m_fdDio) << "uninit does not mark the object closed";
    EXPECT_EQ(-1, fcntl(fd, F_GETFD)) << "but the descriptor is closed";
}

TEST_F(ZrDioTest, SingleChannelOperationsIssueTheirCommandWithTheIndexByValue)
{
    Start("{\"do\": 5, \"di\": 6, \"sysdi\": 1, \"faults\": {\"SYSDI1\": \"stuck1\"}}");
    CzrDioIoctl dio;
    ASSERT_EQ(0, dio.init(dev_.c_str(), 1));
    EXPECT_EQ(0, dio.SetDOOutput(3));
    EXPECT_EQ(1, dio.GetDOSta(3));
    EXPECT_EQ(1, dio.GetDISta(6)) << "DI 6, the second of DO 3's pair, with DO 3 on";
    EXPECT_EQ(1, dio.GetDISta(0x81));
    EXPECT_EQ(0, dio.SetDOOFF(3));
    EXPECT_EQ(0, dio.GetDOSta(3));
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, dio.GetDIOSta(ZRDIO_DO_ON, 5));
    EXPECT_EQ(0, dio.GetDIOSta(ZRDIO_DO_OFF, 5));
    EXPECT_EQ(1, dio.GetDIOSta(ZRDIO_RD_DI, 1));
    EXPECT_EQ("**iret:0x0000 nCMD:1 DIOIndex:0x05\n**iret:0x0000 nCMD:0 DIOIndex:0x05\n"
              "**iret:0x0001 nCMD:10 DIOIndex:0x01\n",
              testing::internal::GetCapturedStdout());
    dio.uninit();

    std::string t = Traffic();
    const char* expected[] = {"ioctl pid=",
                              " cmd=1 ZRDIO_DO_ON arg=0x03 result=0\n",
                              " cmd=11 ZRDIO_RD_DO arg=0x03 result=1\n",
                              " cmd=10 ZRDIO_RD_DI arg=0x06 result=1\n",
                              " cmd=10 ZRDIO_RD_DI arg=0x81 result=1\n",
                              " cmd=0 ZRDIO_DO_OFF arg=0x03 result=0\n",
                              " cmd=11 ZRDIO_RD_DO arg=0x03 result=0\n",
                              " cmd=1 ZRDIO_DO_ON arg=0x05 result=0\n",
                              "change DO5=1\n",
                              " cmd=0 ZRDIO_DO_OFF arg=0x05 result=0\n",
                              "change DO5=0\n"};
    size_t pos = 0;
    for (const char* e : expected) {
        size_t at = t.find(e, pos);
        ASSERT_NE(std::string::npos, at) << "in order: " << e << "\n" << t;
        pos = at;
    }
    EXPECT_EQ(1u, Count(Log(), "\n")) << "only the open is logged when every command succeeds";
}

TEST_F(ZrDioTest, DriverFailuresComeBackUnchangedWithTheirMessages)
{
    Start("{\"do\": 2, \"di\": 4, \"faults\": {\"DO1\": \"fails\", \"DI2\": \"fails\"}}");
    CzrDioIoctl dio;
    ASSERT_EQ(0, dio.init(dev_.c_str(), 1));
    EXPECT_EQ(-1, dio.SetDOOutput(1));
    EXPECT_EQ(-1, dio.SetDOOFF(0x81)) << "no system outputs";
    EXPECT_EQ(-1, dio.GetDOSta(1));
    EXPECT_EQ(-1, dio.GetDISta(2));
    EXPECT_EQ(-1, dio.GetDIOSta(ZRDIO_RD_DI, 2));
    EXPECT_EQ(-1, dio.GetDIOSta(19, 1));
    EXPECT_EQ(-1, dio.GetDIOSta(-1, 1));
    dio.uninit();
    std::string log = Log();
    EXPECT_EQ(1u, Count(log, "------Err iret:-1 DOIndex:0x01------\tzrDioTest/zrDioIoctl.cpp SetDOOutput "));
    EXPECT_EQ(1u, Count(log, "------Err iret:-1 DOIndex:0x81------\tzrDioTest/zrDioIoctl.cpp SetDOOFF "));
    EXPECT_EQ(1u,
              Count(log, "------Err ZRDIO_RD_DO:11 iret:-1 DOIndex:0x01------\tzrDioTest/zrDioIoctl.cpp GetDOSta "));
    EXPECT_EQ(1u,
              Count(log, "------Err ZRDIO_RD_DI:10 iret:-1 DIIndex:0x02------\tzrDioTest/zrDioIoctl.cpp GetDISta "));
    EXPECT_EQ(1u, Count(log, "------Err iret:-1 DIOIndex:2------\tzrDioTest/zrDioIoctl.cpp GetDIOSta "));
    EXPECT_EQ(1u, Count(log, "------Err nCMD:19 DIOIndex:1------"));
    EXPECT_EQ(1u, Count(log, "------Err nCMD:-1 DIOIndex:1------"));
    std::string t = Traffic();
    EXPECT_EQ(5u, Count(t, " ioctl ")) << "the refused command numbers never reach the driver\n" << t;
    EXPECT_EQ(4u, Count(t, "result=-1 errno=EIO"));
    EXPECT_EQ(1u, Count(t, "result=-1 errno=EINVAL"));
}

TEST_F(ZrDioTest, GetDioNumPrintsTheCountPerKind)
{
    Start("{\"do\": 2, \"di\": 4, \"sysdi\": 1, \"sysdo\": 3}");
    CzrDioIoctl dio;
    ASSERT_EQ(0, dio.init(dev_.c_str(), 1));
    testing::internal::CaptureStdout();
    EXPECT_EQ(4, dio.GetDioNum(1));
    EXPECT_EQ(2, dio.GetDioNum(2));
    EXPECT_EQ(1, dio.GetDioNum(3));
    EXPECT_EQ(3, dio.GetDioNum(4));
    EXPECT_EQ(0, dio.GetDioNum(7));
    EXPECT_EQ("**DI Num=4 DIOType=1\n**DO Num=2 DIOType=2\n**SYSDI Num=1 DIOType=3\n**SYSDO Num=3 DIOType=4\n"
              "**SYSDO Num=0\n",
              testing::internal::GetCapturedStdout());
    dio.uninit();
    std::string log = Log();
    EXPECT_EQ(1u, Count(log, "------Err DIOType:7,nCntNum:0------\tzrDioTest/zrDioIoctl.cpp GetDioNum "));
    EXPECT_EQ(1u, Count(Traffic(), " cmd=12 ZRDIO_GET_NUM arg=0x07 result=0\n"));
}

// The dump for a board with nDI inputs and 3 outputs: its console text and
// the simulator's traffic.
struct Dump {
    std::string console, traffic;
};

class ZrDioDumpTest : public ZrDioTest {
protected:
    Dump Run(int nDI)
    {
        Start("{\"do\": 3, \"di\": " + std::to_string(nDI) + "}");
        CzrDioIoctl dio;
        EXPECT_EQ(0, dio.init(dev_.c_str(), 1));
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, dio.GetAllDioSta());
        Dump d;
        d.console = testing::internal::GetCapturedStdout();
        dio.uninit();
        d.traffic = Traffic();
        return d;
    }
};

TEST_F(ZrDioDumpTest, ReadsEveryChannelAndOneGroupPerStartedEight)
{
    Dump d = Run(9);
    EXPECT_EQ(9u, Count(d.traffic, " ZRDIO_RD_DI arg="));
    EXPECT_EQ(3u, Count(d.traffic, " ZRDIO_RD_DO arg="));
    EXPECT_EQ(4u, Count(d.traffic, " ZRDIO_GET_NUM arg="));
    EXPECT_EQ(1u, Count(d.traffic, " ZRDIO_RD_DI_GRP1 arg=0x01 "));
    EXPECT_EQ(1u, Count(d.traffic, " ZRDIO_RD_DI_GRP1 arg=0x02 "));
    EXPECT_EQ(0u, Count(d.traffic, " ZRDIO_RD_DI_GRP1 arg=0x03 "));
    EXPECT_EQ(1u, Count(d.traffic, " ZRDIO_RD_DO_GRP1 arg=0x01 "));
    EXPECT_EQ(1u, Count(d.traffic, " ZRDIO_RD_DI_GRP1 arg=0x81 "));
    // Every DO is off: DI 1, 3, 5, 7 (firsts of their pairs) and 9 (the pattern repeats) are active.
    EXPECT_EQ("**DI Num=9 DIOType=1\n**DO Num=3 DIOType=2\n**SYSDI Num=0 DIOType=3\n**SYSDO Num=0 DIOType=4\n"
              "**SYSDI1:**iret:0x0000 nCMD:13 DIOIndex:0x81\n"
              "**\xC7\xB0"
              "2\xD7\xE9SYSDI:**iret:0x0000 nCMD:14 DIOIndex:0x81\n"
              "**\xC7\xB0"
              "3\xD7\xE9SYSDI:**iret:0x0000 nCMD:15 DIOIndex:0x81\n"
              "**SYSDO1:**iret:0x0000 nCMD:16 DIOIndex:0x81\n"
              "**\xC7\xB0"
              "2\xD7\xE9SYSDO:**iret:0x0000 nCMD:17 DIOIndex:0x81\n"
              "**\xC7\xB0"
              "3\xD7\xE9SYSDO:**iret:0x0000 nCMD:18 DIOIndex:0x81\n"
              "**DI1:**iret:0x0055 nCMD:13 DIOIndex:0x01\n"
              "**DI2:**iret:0x0001 nCMD:13 DIOIndex:0x02\n"
              "**\xC7\xB0"
              "2\xD7\xE9"
              "DI:**iret:0x0155 nCMD:14 DIOIndex:0x01\n"
              "**\xC7\xB0"
              "3\xD7\xE9"
              "DI:**iret:0x0155 nCMD:15 DIOIndex:0x01\n"
              "**DO1:**iret:0x0000 nCMD:16 DIOIndex:0x01\n"
              "**\xC7\xB0"
              "2\xD7\xE9"
              "DO:**iret:0x0000 nCMD:17 DIOIndex:0x01\n"
              "**\xC7\xB0"
              "3\xD7\xE9"
              "DO:**iret:0x0000 nCMD:18 DIOIndex:0x01\n",
              d.console);
}

TEST_F(ZrDioDumpTest, EightInputsFillOneGroup)
{
    Dump d = Run(8);
    EXPECT_EQ(1u, Count(d.traffic, " ZRDIO_RD_DI_GRP1 arg=0x01 "));
    EXPECT_EQ(0u, Count(d.traffic, " ZRDIO_RD_DI_GRP1 arg=0x02 "));
    EXPECT_EQ(1u, Count(d.console, "**DI1:"));
    EXPECT_EQ(0u, Count(d.console, "**DI2:"));
}

TEST_F(ZrDioDumpTest, NoInputsNoInputGroupButTheFirstGroupsStill)
{
    Dump d = Run(0);
    EXPECT_EQ(0u, Count(d.traffic, " ZRDIO_RD_DI arg="));
    EXPECT_EQ(1u, Count(d.traffic, " ZRDIO_RD_DI_GRP1 arg="));  // the system group only
    EXPECT_EQ(1u, Count(d.traffic, " ZRDIO_RD_DI_GRP2 arg=0x01 "));
    EXPECT_EQ(0u, Count(d.console, "**DI1:"));
}

TEST_F(ZrDioTest, BaseClassAnswersZeroWithoutTouchingTheDevice)
{
    Start("{\"do\": 2, \"di\": 4}");
    CzrDio base;
    ASSERT_EQ(0, base.init(dev_.c_str(), 1));
    CzrDio& d = base;
    unsigned char bytes[2] = {1, 1};
    EXPECT_EQ(0, d.GetDioNum(1));
    EXPECT_EQ(0, d.SetDOOutput(1));
    EXPECT_EQ(0, d.SetDOOFF(1));
    EXPECT_EQ(0, d.GetDOSta(1));
    EXPECT_EQ(0, d.GetDISta(1));
    EXPECT_EQ(0, d.GetDioBuffSta(1, 2));
    EXPECT_EQ(0, d.GetAllDioSta());
    EXPECT_EQ(0, d.GetDIOSta(99, 1));
    EXPECT_EQ(0, d.WriteDODateByte(1, bytes, 2));
    base.uninit();
    EXPECT_EQ(0u, Count(Traffic(), " ioctl "));
}

TEST_F(ZrDioTest, OtherDescriptorsKeepTheirOwnIoctlAndAMissingDriverIsAnIOError)
{
    Start("{\"do\": 1, \"di\": 2}");
    int null = open("/dev/null", O_RDWR);
    ASSERT_GE(null, 0);
    struct termios tio;
    errno = 0;
    EXPECT_EQ(-1, ioctl(null, TCGETS, &tio));
    EXPECT_EQ(ENOTTY, errno) << "the C library's answer for /dev/null";
    close(null);
    EXPECT_EQ(0u, Count(Traffic(), " ioctl ")) << "zrdio-sim saw nothing";

    // A device with no driver behind it.
    ASSERT_EQ(0, mkfifo(dev_.c_str(), 0600));
    CzrDioIoctl dio;
    ASSERT_EQ(0, dio.init(dev_.c_str(), 1));
    errno = 0;
    EXPECT_EQ(-1, dio.GetDISta(1));
    EXPECT_EQ(EIO, errno);
    dio.uninit();
}

// The twin's DIO link (zrdio-link): the board's module sends one text line per
// call over its UART; the answers carry the call's number, and a text line is
// carried out before the ioctl that follows it, as with the preload library.
TEST_F(ZrDioTest, TwinLinkAnswersEachCallAndKeepsLinesBeforeIoctls)
{
    Start("{\"do\": 1, \"di\": 2}");
    const std::string uart = dir_ + "/dio.sock";
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t link = fork();
    ASSERT_GE(link, 0);
    if (link == 0) {
        close(ready[0]);
        unsetenv("LD_PRELOAD");
        std::string fd = std::to_string(ready[1]);
        execl(ZRDIO_LINK_PATH, "zrdio-link", "--uart", uart.c_str(), "--sim-socket", (dir_ + "/zrdio.sock").c_str(),
              "--fifo", dev_.c_str(), "--ready-fd", fd.c_str(), (char*)nullptr);
        _exit(127);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(1, read(ready[0], &byte, 1)) << "zrdio-link did not come up";
    close(ready[0]);

    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", uart.c_str());
    ASSERT_EQ(0, connect(s, (sockaddr*)&addr, sizeof(addr)));
    // DO 1 on by a line, then read back by ioctl; an unknown command; DI 2 (active while DO 1 is on).
    const std::string calls = "W 7 SON=3\nI 8 1 1 42\nI 9 11 1 42\nI 10 2 0 42\nI 11 10 2 42\n";
    ASSERT_EQ((ssize_t)calls.size(), write(s, calls.data(), calls.size()));
    std::string answers;
    char buf[256];
    while (Count(answers, "\n") < 5) {
        ssize_t n = read(s, buf, sizeof(buf));
        ASSERT_GT(n, 0) << answers;
        answers.append(buf, (size_t)n);
    }
    EXPECT_EQ("R 7 0 0\nR 8 0 0\nR 9 1 0\nR 10 -1 " + std::to_string(ENOTTY) + "\nR 11 1 0\n", answers);
    close(s);
    kill(link, SIGTERM);
    int status = 0;
    waitpid(link, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::string traffic = Traffic();
    size_t line = traffic.find("line \"SON=3\"");
    size_t on = traffic.find("ioctl pid=42 cmd=1 ZRDIO_DO_ON arg=0x01 result=0");
    ASSERT_NE(std::string::npos, line) << traffic;
    EXPECT_LT(line, on) << traffic;
    EXPECT_NE(std::string::npos, traffic.find("change OUT3=1")) << traffic;
}

}  // namespace
