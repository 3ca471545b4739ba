// serial-sim on its own, outside the sandbox: its wiring, devices and faults
// as functions, then the simulator as a process on a temporary /dev folder.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "capture.h"
#include "devices.h"
#include "routing.h"
#include "serialboard.h"

namespace {

using nlohmann::json;

const Bytes kSensorRequest = {0x10, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC7, 0x4A};
const Bytes kScreenRequest = {0xA5, 0x5A, 0x03, 0x81, 0x00, 0x01};

SerialBoard Parse(const std::string& text)
{
    SerialBoard b;
    std::string err;
    EXPECT_EQ(ParseSerialBoard(json::parse(text), b, err), 0) << err;
    return b;
}

std::string ParseError(const std::string& text)
{
    SerialBoard b;
    std::string err;
    EXPECT_EQ(ParseSerialBoard(json::parse(text), b, err), -1);
    return err;
}

int Find(const SerialBoard& b, const std::string& name)
{
    for (size_t i = 0; i < b.ports.size(); ++i)
        if (b.ports[i].name == name)
            return (int)i;
    return -1;
}

Bytes Text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

bool CrcOk(const Bytes& f)
{
    uint16_t crc = ModbusCrc(f.data(), f.size() - 2);
    return f.size() >= 2 && f[f.size() - 2] == (crc & 0xFF) && f[f.size() - 1] == (crc >> 8);
}

// ---- board model and wiring ----

TEST(SerialBoardTest, Rs232PairsInListingOrderWithTheOddOneOnTheSensor)
{
    // Listed out of order: the program pairs them as `ls` sorts them.
    SerialBoard b = Parse(R"({"rs232": ["RS232-3", "RS232-10", "RS232-1", "RS232-2", "RS232-20"]})");
    ASSERT_EQ(b.ports.size(), 5u);
    EXPECT_EQ(b.ports[0].name, "RS232-1");
    EXPECT_EQ(b.ports[1].name, "RS232-10");
    EXPECT_EQ(b.ports[2].name, "RS232-2");
    EXPECT_EQ(b.ports[3].name, "RS232-20");
    EXPECT_EQ(b.ports[4].name, "RS232-3");
    EXPECT_EQ(b.ports[0].peers, std::vector<int>{1});
    EXPECT_EQ(b.ports[1].peers, std::vector<int>{0});
    EXPECT_EQ(b.ports[2].peers, std::vector<int>{3});
    EXPECT_EQ(b.ports[4].device, DeviceKind::Sensor);
    EXPECT_TRUE(b.ports[4].peers.empty());
}

TEST(SerialBoardTest, DevicePortsLeaveTheRestPairedLikeTheProgramExpects)
{
    // Screen on the first, modem on the last port, for 1 to 5 ports: the roles
    // each fixed-device variant of the RS232 test assumes.
    for (int n = 1; n <= 5; ++n) {
        for (const char* dev : {"screen", "modem"}) {
            json ports = json::array();
            for (int i = 1; i <= n; ++i) {
                json p = {{"name", "RS232-" + std::to_string(i)}};
                if ((std::string(dev) == "screen" && i == 1) || (std::string(dev) == "modem" && i == n))
                    p["device"] = dev;
                ports.push_back(p);
            }
            SerialBoard b;
            std::string err;
            ASSERT_EQ(ParseSerialBoard(json{{"rs232", ports}}, b, err), 0) << err;
            const int d = std::string(dev) == "screen" ? 0 : n - 1;
            std::vector<int> rest;
            for (int i = 0; i < n; ++i)
                if (i != d)
                    rest.push_back(i);
            SCOPED_TRACE(std::string(dev) + " with " + std::to_string(n) + " ports");
            EXPECT_EQ(DeviceName(b.ports[d].device), std::string(dev));
            for (size_t k = 0; k + 1 < rest.size(); k += 2) {
                EXPECT_EQ(b.ports[rest[k]].peers, std::vector<int>{rest[k + 1]});
                EXPECT_EQ(b.ports[rest[k + 1]].peers, std::vector<int>{rest[k]});
            }
            if (rest.size() % 2 == 1) {
                EXPECT_EQ(b.ports[rest.back()].device, DeviceKind::Sensor);
            }
        }
    }
}

TEST(SerialBoardTest, Rs485IsOneBusOrTheSensorOnASinglePort)
{
    SerialBoard bus = Parse(R"({"rs485": [{}, {}, {}]})");
    ASSERT_EQ(bus.ports.size(), 3u);
    EXPECT_EQ(bus.ports[2].name, "RS485-3");
    EXPECT_EQ(bus.ports[0].peers, (std::vector<int>{1, 2}));
    EXPECT_EQ(bus.ports[1].peers, (std::vector<int>{0, 2}));
    EXPECT_EQ(bus.ports[0].device, DeviceKind::None);

    SerialBoard one = Parse(R"({"rs485": [{"humidity": 612, "temperature": 198, "faults": ["bad_crc"]}]})");
    EXPECT_EQ(one.ports[0].device, DeviceKind::Sensor);
    EXPECT_EQ(one.ports[0].sensor.humidity, 612);
    EXPECT_EQ(one.ports[0].sensor.temperature, 198);
    EXPECT_EQ(one.ports[0].faults, kFaultBadCrc);
}

TEST(SerialBoardTest, MistakesInTheBoardFileAreRefused)
{
    EXPECT_NE(ParseError(R"({"rs485": [{"faults": ["deafx"]}]})").find("deafx"), std::string::npos);
    // A sensor fault on a port that is paired, a screen fault on the sensor port.
    EXPECT_NE(ParseError(R"({"rs232": ["RS232-1", {"name": "RS232-2", "faults": ["bad_crc"]}]})").find("RS232-2"),
              std::string::npos);
    EXPECT_NE(ParseError(R"({"rs232": [{"faults": ["wrong_head"]}]})").find("sensor"), std::string::npos);
    EXPECT_NE(ParseError(R"({"rs232": ["RS232-1", "RS232-1"]})").find("twice"), std::string::npos);
    EXPECT_NE(ParseError(R"({"rs232": ["../RS232-1"]})").find("name"), std::string::npos);
    EXPECT_NE(ParseError(R"({"rs232": [{"device": "screen", "head": "A5 5A 00"}]})").find("head"), std::string::npos);
    EXPECT_NE(ParseError(R"({"rs232": [{"faults": [{"drop_rx": [0]}]}]})").find("drop_rx"), std::string::npos);
    EXPECT_NE(ParseError(R"({"rs232": [{"humidity": 70000}]})").find("humidity"), std::string::npos);
    EXPECT_NE(ParseError(R"({"rs232": [{"speed": 9600}]})").find("speed"), std::string::npos);
    EXPECT_NE(ParseError(R"({"rs485": [{"device": "modem"}]})").find("device"), std::string::npos);
    // A device's line: well formed, and only where a device hangs; CTS on RS232 only.
    EXPECT_NE(ParseError(R"({"rs232": [{"line": "19200 8X1"}]})").find("9600 8N1"), std::string::npos);
    EXPECT_NE(ParseError(R"({"rs232": [{"line": 19200}]})").find("line"), std::string::npos);
    EXPECT_NE(ParseError(R"({"rs232": [{"line": "19200 8N1"}, "RS232-2"]})").find("carries none"), std::string::npos);
    EXPECT_NE(ParseError(R"({"rs485": [{"cts": true}, "RS485-2"]})").find("cts"), std::string::npos);
    EXPECT_NE(ParseError(R"({"rs232": [{"cts": 1}]})").find("cts"), std::string::npos);
    EXPECT_EQ(FormatLine(Parse(R"({"rs485": [{"line": "19200 8E1"}]})").ports[0].line), "19200 8E1");
}

// ---- devices ----

TEST(SerialDeviceTest, ScreenAnswersItsVersionRegisterWithItsOwnHead)
{
    SerialPort p;
    p.device = DeviceKind::Screen;
    EXPECT_EQ(ScreenAnswer(p, kScreenRequest), (Bytes{0xA5, 0x5A, 0x04, 0x81, 0x00, 0x01, 0x21}));
    // A request with another head still gets the screen's own head back.
    EXPECT_EQ(ScreenAnswer(p, {0x5A, 0xA5, 0x03, 0x81, 0x00, 0x01}), (Bytes{0xA5, 0x5A, 0x04, 0x81, 0x00, 0x01, 0x21}));
    EXPECT_TRUE(ScreenAnswer(p, Text("ABCDEFGHIJKLMNOPQRST1234567890!")).empty());
    EXPECT_TRUE(ScreenAnswer(p, {0xA5, 0x5A, 0x03, 0x82, 0x00, 0x01}).empty());

    SerialPort q = Parse(R"({"rs232": [{"device": "screen", "head": "AA", "version": 51}]})").ports[0];
    EXPECT_EQ(ScreenAnswer(q, {0xAA, 0x5A, 0x03, 0x81, 0x00, 0x01}), (Bytes{0xAA, 0x5A, 0x04, 0x81, 0x00, 0x01, 0x33}));

    p.faults = kFaultWrongHead;
    EXPECT_EQ(ScreenAnswer(p, kScreenRequest), (Bytes{0x5A, 0xA5, 0x04, 0x81, 0x00, 0x01, 0x21}));
    p.faults = kFaultShort4;
    EXPECT_EQ(ScreenAnswer(p, kScreenRequest), (Bytes{0xA5, 0x5A, 0x04, 0x81}));
    p.faults = kFaultSilent;
    EXPECT_TRUE(ScreenAnswer(p, kScreenRequest).empty());
}

TEST(SerialDeviceTest, ModemEchoesAndAnswersCompleteAtLines)
{
    SerialPort p;
    p.device = DeviceKind::Modem;
    ModemState st;
    EXPECT_EQ(ModemAnswer(p, st, Text("AT\r")), Text("AT\r\r\nOK\r\n"));
    // A command typed in two parts is answered once its line is complete.
    EXPECT_EQ(ModemAnswer(p, st, Text("A")), Text("A"));
    EXPECT_EQ(ModemAnswer(p, st, Text("T\r")), Text("T\r\r\nOK\r\n"));
    EXPECT_EQ(ModemAnswer(p, st, Text("hello\r")), Text("hello\r"));

    p.faults = kFaultNoOk;
    Bytes noOk = ModemAnswer(p, st, Text("AT\r"));
    EXPECT_EQ(std::string(noOk.begin(), noOk.end()).find("OK"), std::string::npos);

    p.faults = kFaultFill;
    Bytes fill = ModemAnswer(p, st, Text("AT\r"));
    ASSERT_GT(fill.size(), 64u);
    const std::string first64(fill.begin(), fill.begin() + 64);
    EXPECT_EQ(first64.find("OK"), std::string::npos);
    EXPECT_EQ(std::find(fill.begin(), fill.end(), 0), fill.end());

    p.faults = kFaultSilent;
    EXPECT_TRUE(ModemAnswer(p, st, Text("AT\r")).empty());
}

TEST(SerialDeviceTest, SensorRequestAndAnswerFaults)
{
    const char check[] = "123456789";
    EXPECT_EQ(ModbusCrc((const uint8_t*)check, 9), 0x4B37);
    EXPECT_TRUE(CrcOk(kSensorRequest));

    SerialPort p;
    p.device = DeviceKind::Sensor;
    EXPECT_EQ(SensorRequest(p, kSensorRequest), kSensorRequest);
    p.faults = kFaultLong;
    Bytes longReq = SensorRequest(p, kSensorRequest);
    ASSERT_EQ(longReq.size(), 8u);
    EXPECT_EQ(longReq[5], kSensorRegisters);
    EXPECT_TRUE(CrcOk(longReq));
    // A request the program got wrong is not repaired on its way to the sensor.
    Bytes broken = kSensorRequest;
    broken[7] ^= 1;
    EXPECT_EQ(SensorRequest(p, broken), broken);

    const Bytes answer = {0x10, 0x03, 0x04, 0x01, 0xF4, 0x00, 0xFA, 0x3B, 0x7F};
    p.faults = kFaultBadCrc;
    Bytes bad = SensorAnswer(p, answer);
    EXPECT_EQ(bad.size(), answer.size());
    EXPECT_FALSE(CrcOk(bad));
    EXPECT_TRUE(std::equal(answer.begin(), answer.end() - 1, bad.begin()));
    p.faults = kFaultShort;
    EXPECT_EQ(SensorAnswer(p, answer), Bytes(answer.begin(), answer.begin() + 8));
}

// ---- routing and receive faults ----

TEST(SerialRoutingTest, ReceiveFaultsChangeOrLoseTheCopy)
{
    SerialBoard b = Parse(R"({"rs485": ["RS485-1", {"name": "RS485-2", "faults": [{"drop_rx": [2]}, "stray"]},
                                        {"name": "RS485-3", "faults": ["deaf"]}, {"name": "RS485-4", "faults": ["corrupt"]}]})");
    std::vector<int> counts(b.ports.size(), 0);
    const std::vector<LineSettings> lines(b.ports.size());
    const Bytes msg = Text("ABCDEFGH");
    for (int frame = 1; frame <= 3; ++frame) {
        std::vector<Delivery> d = RoutePortFrame(b, lines, counts, 0, msg);
        ASSERT_EQ(d.size(), 3u);
        SCOPED_TRACE("frame " + std::to_string(frame));
        EXPECT_EQ(d[0].label, "RS485-2");
        EXPECT_EQ(d[0].lost, frame == 2);
        if (frame != 2) {
            ASSERT_EQ(d[0].bytes.size(), msg.size() + 1);
            EXPECT_NE(d[0].bytes[0], 0);
            EXPECT_TRUE(std::equal(msg.begin(), msg.end(), d[0].bytes.begin() + 1));
        }
        EXPECT_TRUE(d[1].lost);
        EXPECT_EQ(d[1].note, "deaf");
        ASSERT_EQ(d[2].bytes.size(), msg.size());
        size_t changed = 0;
        for (size_t i = 0; i < msg.size(); ++i)
            changed += d[2].bytes[i] != msg[i];
        EXPECT_EQ(changed, 1u);
    }
}

TEST(SerialRoutingTest, CableFaultsDecideWhoHearsTheSender)
{
    SerialBoard b = Parse(R"({"rs232": [{"name": "RS232-1", "faults": ["self_loop"]}, "RS232-2",
                                        {"name": "RS232-3", "faults": ["hear_self"]}, "RS232-4", {"device": "screen"}]})");
    std::vector<int> counts(b.ports.size(), 0);
    std::vector<LineSettings> lines(b.ports.size());
    std::vector<Delivery> loop = RoutePortFrame(b, lines, counts, Find(b, "RS232-1"), Text("x"));
    ASSERT_EQ(loop.size(), 1u);
    EXPECT_EQ(loop[0].port, Find(b, "RS232-1"));
    EXPECT_EQ(loop[0].note, "self_loop");

    std::vector<Delivery> both = RoutePortFrame(b, lines, counts, Find(b, "RS232-3"), Text("x"));
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].port, Find(b, "RS232-4"));
    EXPECT_EQ(both[1].port, Find(b, "RS232-3"));

    // "RS232-5" sorts last, but the device sits on the unnamed fifth entry.
    const int screen = Find(b, "RS232-5");
    ASSERT_GE(screen, 0);
    std::vector<Delivery> dev = RoutePortFrame(b, lines, counts, screen, kScreenRequest);
    ASSERT_EQ(dev.size(), 1u);
    EXPECT_EQ(dev[0].port, -1);
    EXPECT_EQ(dev[0].devicePort, screen);
    EXPECT_EQ(dev[0].bytes, kScreenRequest);

    // Two ports the program set alike talk whatever the setting; set apart, or
    // with RTS/CTS on and no CTS wired (the default), they do not.
    const int p1 = Find(b, "RS232-1"), p2 = Find(b, "RS232-2");
    std::string err;
    ASSERT_EQ(ParseLine("19200 7E2", lines[p2], err), 0);
    ASSERT_EQ(ParseLine("19200 7E2", lines[p1], err), 0);
    EXPECT_EQ(RoutePortFrame(b, lines, counts, p2, Text("xyz"))[0].bytes, Text("xyz"));
    lines[p1].speed = 9600;
    std::vector<Delivery> apart = RoutePortFrame(b, lines, counts, p2, Text("xyz"));
    EXPECT_NE(apart[0].bytes, Text("xyz"));
    EXPECT_EQ(apart[0].note.substr(0, 4), "line");
    lines[p2].rtscts = true;
    std::vector<Delivery> stalled = RoutePortFrame(b, lines, counts, p2, Text("xyz"));
    ASSERT_EQ(stalled.size(), 1u);
    EXPECT_TRUE(stalled[0].lost);
    EXPECT_EQ(stalled[0].note, "cts");
}

TEST(SerialCaptureTest, OneLinePerBurstAndOneForEachChangedCopy)
{
    Delivery plain;
    plain.label = "RS485-2";
    plain.bytes = Text("AB");
    Delivery stray = plain;
    stray.label = "RS485-3";
    stray.note = "stray";
    stray.bytes = {0xFF, 'A', 'B'};
    Delivery deaf = plain;
    deaf.label = "RS485-4";
    deaf.note = "deaf";
    deaf.lost = true;
    EXPECT_EQ(CaptureLines(3.3012345, 3.3046, "RS485-1", Text("AB"), {plain, stray, deaf}),
              "  3.301235 RS485-1 > RS485-2,RS485-3[stray],RS485-4[deaf]  41 42  |AB|  last 3.304600\n"
              "  3.301235 RS485-1 > RS485-3[stray]  FF 41 42  |.AB|  last 3.304600\n");
    EXPECT_EQ(HexAndText({0x00, 0x7E, 0x7F}), "00 7E 7F  |.~.|");
}

// ---- the simulator as a process ----

// serial-sim started on a board with --dev-dir and --out in a temporary folder.
class SimProcess {
public:
    explicit SimProcess(const std::string& board)
    {
        char tmpl[] = "/tmp/serial-sim-test-XXXXXX";
        root_ = mkdtemp(tmpl);
        dev_ = root_ + "/dev";
        out_ = root_ + "/out";
        mkdir(dev_.c_str(), 0755);
        mkdir(out_.c_str(), 0755);
        std::ofstream(root_ + "/board.json") << board;
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            setenv("FIXTURE_T0_NS", std::to_string((long long)now.tv_sec * 1000000000LL + now.tv_nsec).c_str(), 1);
            std::string fd = std::to_string(ready[1]);
            execl(SERIAL_SIM_PATH, "serial-sim", "--board", (root_ + "/board.json").c_str(), "--out", out_.c_str(),
                  "--ready-fd", fd.c_str(), "--dev-dir", dev_.c_str(), "--lines-socket", Socket().c_str(),
                  (char*)nullptr);
            _exit(127);
        }
        close(ready[1]);
        pollfd p{ready[0], POLLIN, 0};
        char c = 0;
        ready_ = poll(&p, 1, kStartMs) == 1 && read(ready[0], &c, 1) == 1;
        close(ready[0]);
    }
    ~SimProcess()
    {
        Stop();
        std::string cmd = "rm -rf '" + root_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    // Returns the exit status after SIGTERM; -1 when it did not end normally.
    int Stop()
    {
        if (pid_ <= 0)
            return status_;
        kill(pid_, SIGTERM);
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return status_;
    }
    bool Ready() const { return ready_; }
    std::string Dev(const std::string& name) const { return dev_ + "/" + name; }
    std::string Capture() const { return File("capture.txt"); }
    std::string Lines() const { return File("lines.txt"); }
    std::string Socket() const { return root_ + "/lines.sock"; }

private:
    std::string File(const std::string& name) const
    {
        std::ifstream in(out_ + "/" + name);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static constexpr int kStartMs = 5000;
    std::string root_, dev_, out_;
    pid_t pid_ = -1;
    bool ready_ = false;
    int status_ = -1;
};

// Returns an open raw line, as the program opens its ports; -1 on failure.
int OpenLine(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        return fd < 0 ? -1 : (close(fd), -1);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Returns what arrives on fd within ms (by the clock: bytes come one
// character time apart, each waking the poll), and on until want bytes have
// come, however late a busy machine brings them (kHangMs stops a wait that
// would never end).
Bytes ReadFor(int fd, int ms, size_t want = 0)
{
    constexpr int kHangMs = 60000;
    Bytes got;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(ms);
    const auto hang = start + std::chrono::milliseconds(kHangMs);
    for (auto now = start; now < end || (got.size() < want && now < hang); now = std::chrono::steady_clock::now()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) == 1) {
            uint8_t buf[512];
            ssize_t n = read(fd, buf, sizeof(buf));
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
        }
    }
    return got;
}

void Send(int fd, const Bytes& b)
{
    ASSERT_EQ(write(fd, b.data(), b.size()), (ssize_t)b.size());
}

constexpr int kAnswerMs = 300;  // what the program waits before it reads

TEST(SerialSimProcessTest, BusPairAndSensorAreWiredAndCaptured)
{
    SimProcess sim(R"({"rs485": ["RS485-1", "RS485-2", {"name": "RS485-3", "faults": ["deaf"]}],
                       "rs232": ["RS232-1", "RS232-2", {"name": "RS232-3", "humidity": 612, "temperature": 198}]})");
    ASSERT_TRUE(sim.Ready());
    int a = OpenLine(sim.Dev("RS485-1")), b = OpenLine(sim.Dev("RS485-2")), c = OpenLine(sim.Dev("RS485-3"));
    int p1 = OpenLine(sim.Dev("RS232-1")), p2 = OpenLine(sim.Dev("RS232-2")), s = OpenLine(sim.Dev("RS232-3"));
    ASSERT_TRUE(a >= 0 && b >= 0 && c >= 0 && p1 >= 0 && p2 >= 0 && s >= 0);

    const Bytes withZero = {'b', 'u', 's', 0};
    Send(b, withZero);
    EXPECT_EQ(ReadFor(a, kAnswerMs, withZero.size()), withZero);
    EXPECT_TRUE(ReadFor(b, 50).empty()) << "a bus port hears itself";
    EXPECT_TRUE(ReadFor(c, 50).empty()) << "a deaf port hears the bus";
    Send(c, Text("deaf talks"));
    EXPECT_EQ(ReadFor(a, kAnswerMs, Text("deaf talks").size()), Text("deaf talks"));

    Send(p2, Text("null modem"));
    EXPECT_EQ(ReadFor(p1, kAnswerMs, Text("null modem").size()), Text("null modem"));
    EXPECT_TRUE(ReadFor(p2, 50).empty());

    // The sensor is libmodbus: it answers a correct request only.
    Send(s, kSensorRequest);
    constexpr size_t kAnswerSize = 9;  // slave, function, count, two registers, CRC
    Bytes answer = ReadFor(s, kAnswerMs, kAnswerSize);
    ASSERT_EQ(answer.size(), kAnswerSize);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 7), (Bytes{0x10, 0x03, 0x04, 0x02, 0x64, 0x00, 0xC6}));
    EXPECT_TRUE(CrcOk(answer));
    Bytes otherSlave = {0x11, 0x03, 0x00, 0x00, 0x00, 0x02};
    uint16_t crc = ModbusCrc(otherSlave.data(), otherSlave.size());
    otherSlave.push_back(crc & 0xFF);
    otherSlave.push_back(crc >> 8);
    Send(s, otherSlave);
    EXPECT_TRUE(ReadFor(s, kAnswerMs).empty()) << "answered another slave address";
    Bytes badCrc = kSensorRequest;
    badCrc[6] ^= 0x10;
    Send(s, badCrc);
    EXPECT_TRUE(ReadFor(s, kAnswerMs).empty()) << "answered a request with a wrong CRC";

    for (int fd : {a, b, c, p1, p2, s})
        close(fd);
    EXPECT_EQ(sim.Stop(), 0);
    const std::string cap = sim.Capture();
    EXPECT_NE(cap.find(" RS485-2 > RS485-1,RS485-3[deaf]  62 75 73 00  |bus.|  last "), std::string::npos) << cap;
    EXPECT_NE(cap.find(" RS232-3 > sensor  10 03 00 00 00 02 C7 4A  |.......J|  last "), std::string::npos) << cap;
    EXPECT_NE(cap.find(" sensor > RS232-3  10 03 04 02 64 00 C6"), std::string::npos) << cap;
    EXPECT_NE(cap.find("# end "), std::string::npos);
    struct stat st;
    EXPECT_NE(lstat(sim.Dev("RS485-1").c_str(), &st), 0) << "the /dev link outlives the simulator";
}

TEST(SerialSimProcessTest, PortFaultsAndDevicesOnTheWire)
{
    SimProcess sim(R"({"rs485": [{"faults": ["long"]}],
                       "rs232": [{"name": "RS232-1", "faults": ["missing"]}, {"name": "RS232-2", "faults": ["no_open"]},
                                 {"name": "RS232-3", "faults": ["not_tty"]}, "RS232-4",
                                 "RS232-5", {"name": "RS232-6", "faults": [{"drop_rx": [2]}, "stray"]},
                                 {"name": "RS232-7", "device": "screen", "faults": ["wrong_head"]},
                                 {"name": "RS232-8", "device": "modem", "faults": ["stream"]}]})");
    ASSERT_TRUE(sim.Ready());
    struct stat st;
    EXPECT_NE(lstat(sim.Dev("RS232-1").c_str(), &st), 0) << "a missing port has a /dev entry";
    ASSERT_EQ(lstat(sim.Dev("RS232-2").c_str(), &st), 0) << "the port that does not open must be listed";
    EXPECT_LT(open(sim.Dev("RS232-2").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), 0);
    int notTty = open(sim.Dev("RS232-3").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(notTty, 0);
    struct termios t;
    EXPECT_NE(tcgetattr(notTty, &t), 0);
    close(notTty);

    int sensor = OpenLine(sim.Dev("RS485-1"));
    ASSERT_GE(sensor, 0);
    Send(sensor, kSensorRequest);
    const size_t longSize = 3u + 2u * kSensorRegisters + 2u;
    Bytes longAnswer = ReadFor(sensor, kAnswerMs, longSize);
    EXPECT_EQ(longAnswer.size(), longSize);
    EXPECT_TRUE(longAnswer.size() > 2 && CrcOk(longAnswer));

    int p5 = OpenLine(sim.Dev("RS232-5")), p6 = OpenLine(sim.Dev("RS232-6"));
    ASSERT_TRUE(p5 >= 0 && p6 >= 0);
    for (int frame = 1; frame <= 3; ++frame) {
        Send(p5, Text("frame"));
        Bytes got = ReadFor(p6, kAnswerMs, frame == 2 ? 0 : Text("frame").size() + 1);
        if (frame == 2) {
            EXPECT_TRUE(got.empty()) << "the second frame was not dropped";
        } else {
            ASSERT_EQ(got.size(), 6u);
            EXPECT_NE(got[0], 0);
            EXPECT_EQ(Bytes(got.begin() + 1, got.end()), Text("frame"));
        }
    }

    int screen = OpenLine(sim.Dev("RS232-7"));
    ASSERT_GE(screen, 0);
    Send(screen, kScreenRequest);
    const Bytes screenAnswer = {0x5A, 0xA5, 0x04, 0x81, 0x00, 0x01, 0x21};
    EXPECT_EQ(ReadFor(screen, kAnswerMs, screenAnswer.size()), screenAnswer);

    int modem = OpenLine(sim.Dev("RS232-8"));
    ASSERT_GE(modem, 0);
    tcflush(modem, TCIOFLUSH);
    constexpr size_t kStreamedAtLeast = 256;
    Bytes streamed = ReadFor(modem, 2 * kAnswerMs, kStreamedAtLeast);
    EXPECT_GE(streamed.size(), kStreamedAtLeast);
    EXPECT_EQ(std::find(streamed.begin(), streamed.end(), 0), streamed.end());

    for (int fd : {sensor, p5, p6, screen, modem})
        close(fd);
    EXPECT_EQ(sim.Stop(), 0);
    const std::string cap = sim.Capture();
    EXPECT_NE(cap.find(" RS485-1 > sensor[long]  10 03 00 00 00 02 C7 4A"), std::string::npos) << cap;
    EXPECT_NE(cap.find(" RS232-5 > RS232-6[drop_rx]  "), std::string::npos) << cap;
    EXPECT_NE(cap.find(" RS232-5 > RS232-6[stray]  FF 66 72"), std::string::npos) << cap;
    EXPECT_NE(cap.find(" stream > RS232-8  "), std::string::npos);
}

// Sends serial-sim the line report the preload library sends when the program sets a line.
void Report(const SimProcess& sim, int fd, tcflag_t cflag)
{
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    char text[64];
    snprintf(text, sizeof(text), "line %u %u %lo\n", major(st.st_rdev), minor(st.st_rdev), (unsigned long)cflag);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", sim.Socket().c_str());
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    EXPECT_EQ(sendto(s, text, strlen(text), 0, (sockaddr*)&addr, sizeof(addr)), (ssize_t)strlen(text));
    EXPECT_EQ(sendto(s, "line x", 6, 0, (sockaddr*)&addr, sizeof(addr)), 6);  // refused alone
    const char byIndex[] = "port 0 7777\n";  // the twin's form: refused alone where ports are ptys
    EXPECT_EQ(sendto(s, byIndex, strlen(byIndex), 0, (sockaddr*)&addr, sizeof(addr)), (ssize_t)strlen(byIndex));
    close(s);
}

TEST(SerialSimProcessTest, LineSettingsFromThePtyAndFromReports)
{
    SimProcess sim(R"({"rs232": ["RS232-1", "RS232-2"]})");
    ASSERT_TRUE(sim.Ready());
    int a = OpenLine(sim.Dev("RS232-1")), b = OpenLine(sim.Dev("RS232-2"));
    ASSERT_TRUE(a >= 0 && b >= 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(a, &t), 0);

    // What a pty keeps (speed, stop bits, RTS/CTS) is read from it: set
    // alike, the pair talks; RTS/CTS on with no CTS wired, a port sends nothing.
    cfsetospeed(&t, B19200);
    t.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(a, TCSANOW, &t), 0);
    ASSERT_EQ(tcsetattr(b, TCSANOW, &t), 0);
    Send(a, Text("alike"));
    EXPECT_EQ(ReadFor(b, kAnswerMs, Text("alike").size()), Text("alike"));
    t.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(a, TCSANOW, &t), 0);
    Send(a, Text("stalled"));
    EXPECT_TRUE(ReadFor(b, kAnswerMs).empty());

    // What it does not keep (size, parity) comes in a report: one port at 7E2
    // garbles the other's 8N2; both at 7E2 talk again.
    t.c_cflag &= ~(CRTSCTS | CSIZE);
    ASSERT_EQ(tcsetattr(a, TCSANOW, &t), 0);
    Report(sim, a, t.c_cflag | CS7 | PARENB);
    Send(b, Text("apart"));
    EXPECT_NE(ReadFor(a, kAnswerMs), Text("apart"));
    Report(sim, b, t.c_cflag | CS7 | PARENB);
    Send(b, Text("again"));
    EXPECT_EQ(ReadFor(a, kAnswerMs, Text("again").size()), Text("again"));

    close(a);
    close(b);
    EXPECT_EQ(sim.Stop(), 0);
    std::vector<std::string> seen;
    std::istringstream in(sim.Lines());
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#')
            seen.push_back(line.substr(line.find(' ') + 1));
    EXPECT_EQ(seen, (std::vector<std::string>{"RS232-1 9600 8N1", "RS232-2 9600 8N1", "RS232-1 19200 8N2",
                                              "RS232-2 19200 8N2", "RS232-1 19200 8N2 rtscts", "RS232-1 19200 7E2",
                                              "RS232-2 19200 7E2"}))
        << sim.Lines();
    const std::string cap = sim.Capture();
    EXPECT_NE(cap.find(" RS232-1 > RS232-2[cts]  73 74 61"), std::string::npos) << cap;
    EXPECT_NE(cap.find(" RS232-2 > RS232-1[line"), std::string::npos) << cap;
}

}  // namespace
