// The RS232 pair exchange and the RS232 tests over pseudo-terminals: the far
// sides are wired by a relay thread the way a fixture cable would wire them.
#include <dirent.h>

#include <atomic>
#include <cstring>

#include "loopback.h"
#include "probes.h"
#include "pty_fixture.h"
#include "serial.h"
#include "serialtests.h"

namespace {

// How a cable wires the two ports' far ends.
enum class Wiring {
    Cross,   // each port hears the other
    Both,    // each port hears itself and the other
    Stream,  // port 2 hears an endless stream instead of port 1; port 1 hears port 2
};

// Relays what each port sends to the far ends its wiring names, until destroyed.
class Cable {
public:
    Cable(const Pty& one, const Pty& two, Wiring w)
        : one_(one.device()), two_(two.device()), wiring_(w), thread_([this] { Run(); })
    {
    }
    ~Cable()
    {
        stop_ = true;
        thread_.join();
    }

private:
    void Run()
    {
        while (!stop_) {
            pollfd p[2] = {{one_, POLLIN, 0}, {two_, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0)
                continue;
            char buf[512];
            if (p[0].revents & POLLIN) {
                ssize_t n = read(one_, buf, sizeof(buf));
                if (n > 0)
                    FromOne(std::string(buf, (size_t)n));
            }
            if (p[1].revents & POLLIN) {
                ssize_t n = read(two_, buf, sizeof(buf));
                if (n > 0)
                    FromTwo(std::string(buf, (size_t)n));
            }
        }
    }
    void FromOne(const std::string& s)
    {
        if (wiring_ == Wiring::Stream)
            WriteAll(two_, std::string(kRecvBufSize + 44, 'x'));
        if (wiring_ == Wiring::Cross || wiring_ == Wiring::Both)
            WriteAll(two_, s);
        if (wiring_ == Wiring::Both)
            WriteAll(one_, s);
    }
    void FromTwo(const std::string& s)
    {
        WriteAll(one_, s);
        if (wiring_ == Wiring::Both)
            WriteAll(two_, s);
    }

    int one_;
    int two_;
    Wiring wiring_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

const std::string kMsg = "ABCDEFGHIJKLMNOPQRST1234567890!";

// The four lines of a pair exchange, as each check logs them.
std::string Echo(const char* s, int iread, const std::string& msg = "", const char* verdict = "")
{
    return std::string("Write ") + s + " msgSend:" + kMsg + ",Read " + s + verdict + " iread:" + std::to_string(iread) +
           " msg: " + msg;
}
std::string Receipt(const char* s, const char* r, const char* verdict, int iread, const std::string& msg)
{
    return std::string("Write ") + s + " msgSend:" + kMsg + ",Read " + r + " " + verdict +
           " iread:" + std::to_string(iread) + " msg: " + msg;
}

class PairExchangeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RS232strinfo = {"ttyA", "ttyB"};
        ports.resize(2);
        ports[0].fdPort = a.port();
        ports[1].fdPort = b.port();
        for (const Pty* p : {&a, &b})
            ASSERT_EQ(0, set_opt(p->port(), kLineSpeed, kLineBits, kLineParity, kLineStop, kLineFlow));
    }
    void TearDown() override { RS232strinfo.clear(); }

    TempTraceLog log;
    Pty a;
    Pty b;
    std::vector<_tag_PortData_> ports;
};

TEST_F(PairExchangeTest, CrossedCablePassesBothAndLogsFourLinesInOrder)
{
    {
        Cable cable(a, b, Wiring::Cross);
        RS232PairExchange(ports, 0, 1, "RS232Test");
    }
    EXPECT_EQ(kPortStaPass, ports[0].bySta);
    EXPECT_EQ(kPortStaPass, ports[1].bySta);
    const std::vector<std::string> expected = {Echo("ttyA", 0), Receipt("ttyA", "ttyB", "OK!", 32, kMsg),
                                               Echo("ttyB", 0), Receipt("ttyB", "ttyA", "OK!", 32, kMsg)};
    EXPECT_EQ(expected, log.Texts());
}

TEST_F(PairExchangeTest, HearingBothOnlyTheSecondPortFails)
{
    {
        Cable cable(a, b, Wiring::Both);
        RS232PairExchange(ports, 0, 1, "RS232Test");
    }
    EXPECT_EQ(kPortStaPass, ports[0].bySta) << "the first port's later receipt decides";
    EXPECT_EQ(bWrOK | bRdErr, ports[1].bySta) << "the second port heard its own text last";
}

TEST_F(PairExchangeTest, StreamFillingTheWholeBufferIsPrintedWithinIt)
{
    {
        Cable cable(a, b, Wiring::Stream);
        RS232PairExchange(ports, 0, 1, "RS232Test");
    }
    EXPECT_NE(kPortStaPass, ports[1].bySta);
    EXPECT_EQ(Receipt("ttyA", "ttyB", "Error!", kRecvBufSize, std::string(kRecvBufSize, 'x')), log.Texts()[1]);
}

TEST_F(PairExchangeTest, FailedSendsEndTheExchange)
{
    int readOnly = open(a.path(), O_RDONLY | O_NOCTTY);
    ASSERT_GT(readOnly, 0);
    ports[0].fdPort = readOnly;
    RS232PairExchange(ports, 0, 1, "RS232Test");
    EXPECT_EQ(kPortStaFresh, ports[0].bySta);
    EXPECT_EQ(kPortStaFresh, ports[1].bySta);
    EXPECT_EQ(std::vector<std::string>{"Write ttyA msgSend:" + kMsg + ",Err! iwrite=-1"}, log.Texts());
    close(readOnly);

    readOnly = open(b.path(), O_RDONLY | O_NOCTTY);
    ASSERT_GT(readOnly, 0);
    ports = std::vector<_tag_PortData_>(2);
    ports[0].fdPort = a.port();
    ports[1].fdPort = readOnly;
    {
        Cable cable(a, b, Wiring::Cross);
        RS232PairExchange(ports, 0, 1, "RS232Test");
    }
    close(readOnly);
    EXPECT_EQ(bWrOK | bRdErr, ports[0].bySta) << "the first port never hears back";
    EXPECT_EQ(bWrErr | bRdOK, ports[1].bySta);
    EXPECT_EQ("Err Write ttyB msgSend:" + kMsg + " iwrite=-1", log.Texts().back());
}

// The RS232 tests proper open their ports by /dev names; a pseudo-terminal's
// port is /dev/pts/N, so "pts/N" serves as an inventory name.
std::string InventoryName(const Pty& p)
{
    return std::string(p.path()).substr(strlen("/dev/"));
}

int OpenDescriptors()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

const std::string kSensorAnswer = Bytes({0x10, 0x03, 0x04, 0x01, 0xF4, 0x00, 0xFA, 0x3B, 0x7F});

class RS232TestTest : public ::testing::Test {
protected:
    void TearDown() override { RS232strinfo.clear(); }
    TempTraceLog log;
};

TEST_F(RS232TestTest, PairThenSensorOnTheOddPortAllClosedAfterwards)
{
    Pty p0, p1, p2;
    RS232strinfo = {InventoryName(p0), InventoryName(p1), InventoryName(p2)};
    std::vector<_tag_PortData_> ports(3);
    const int before = OpenDescriptors();
    int r;
    {
        Cable cable(p0, p1, Wiring::Cross);
        ScriptedDevice sensor(p2.device(), kSensorRequestLen, kSensorAnswer);
        r = RS232Test(3, ports);
    }
    EXPECT_EQ(0, r);
    for (const auto& port : ports) {
        EXPECT_EQ(kPortStaPass, port.bySta);
        EXPECT_EQ(0, port.fdPort);
    }
    EXPECT_EQ(before, OpenDescriptors());
    EXPECT_TRUE(log.Has("Port:" + std::string(p2.path()) + " Test OK !!! iTem=25.0 iHum=50.0"));
}

TEST_F(RS232TestTest, MissingPortsFailAloneAndTheLastOneDecidesTheResult)
{
    Pty p0;
    RS232strinfo = {InventoryName(p0), "RS232-no-such-port"};
    std::vector<_tag_PortData_> ports(2);
    ports[0].bySta = 0;
    EXPECT_EQ(-1, RS232Test(2, ports));
    EXPECT_EQ(bWrOK | bRdErr, ports[0].bySta) << "sent, heard nothing back";
    EXPECT_EQ(kPortStaFresh, ports[1].bySta);
    EXPECT_TRUE(log.Has("open Port:/dev/RS232-no-such-port Err!!!"));

    RS232strinfo = {"RS232-no-such-port", InventoryName(p0)};
    EXPECT_EQ(0, RS232Test(2, ports));
    EXPECT_EQ(kPortStaFresh, ports[0].bySta);
    EXPECT_EQ(kPortStaFresh, ports[1].bySta) << "a pair whose first port is missing is skipped";
}

TEST_F(RS232TestTest, NameTooLongForThePathIsAPortThatDoesNotOpen)
{
    RS232strinfo = {std::string(40, 'a')};
    std::vector<_tag_PortData_> ports(1);
    ports[0].bySta = kPortStaPass;
    EXPECT_EQ(-1, RS232Test(1, ports));
    EXPECT_EQ(kPortStaFresh, ports[0].bySta);
    EXPECT_EQ(std::vector<std::string>{"open Port:/dev/" + std::string(kPortPathSize - 6, 'a') + " Err!!!"},
              log.Texts());
}

TEST_F(RS232TestTest, NoPortsDoNothing)
{
    std::vector<_tag_PortData_> ports;
    EXPECT_EQ(0, RS232Test(0, ports));
    EXPECT_EQ(-1, RS232Test_Fixed_screen(0, ports));
    EXPECT_EQ(-1, RS232Test_Fixed_4G(0, ports));
    EXPECT_EQ((std::vector<std::string>{"nCnt:0 Err!!!", "nCnt:0 Err!!!"}), log.Texts());
}

TEST_F(RS232TestTest, FixedDeviceOutcomeStaysInItsRecordOnly)
{
    Pty p0, p1;
    RS232strinfo = {InventoryName(p0), InventoryName(p1)};
    std::vector<_tag_PortData_> ports(2);
    int r;
    {
        ScriptedDevice modem(p1.device(), 3, "");  // silent
        ScriptedDevice sensor(p0.device(), kSensorRequestLen, kSensorAnswer);
        r = RS232Test_Fixed_4G(2, ports);
        EXPECT_EQ("AT\r", modem.Request());
    }
    EXPECT_EQ(0, r) << "the sensor on the remaining port decides";
    EXPECT_EQ(kPortStaPass, ports[0].bySta);
    EXPECT_EQ(kPortStaFresh, ports[1].bySta);

    std::vector<_tag_PortData_> one(1);
    {
        ScriptedDevice screen(p0.device(), 6, "");
        EXPECT_EQ(0, RS232Test_Fixed_screen(1, one));
    }
    EXPECT_EQ(kPortStaFresh, one[0].bySta);
    EXPECT_EQ(0, one[0].fdPort);
}

}  // namespace
