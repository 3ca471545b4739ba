// Serial line setup (the flags set_opt leaves in force) and the timed read,
// on a pseudo-terminal.
#include <cstring>

#include "pty_fixture.h"
#include "serial.h"

namespace {

class SetOptTest : public PtyTest {
protected:
    // Applies set_opt to the port and reads the settings back.
    termios Apply(int speed, int bits, char parity, int stop, char flow)
    {
        EXPECT_EQ(0, set_opt(pty.port(), speed, bits, parity, stop, flow));
        termios t;
        EXPECT_EQ(0, tcgetattr(pty.port(), &t));
        return t;
    }
};

TEST_F(SetOptTest, TestLineIsRaw8N1At9600WithAShortReadWait)
{
    termios t = Apply(9600, 8, 'n', 1, 'N');
    EXPECT_EQ(B9600, cfgetispeed(&t));
    EXPECT_EQ(B9600, cfgetospeed(&t));
    EXPECT_EQ(CS8, t.c_cflag & CSIZE);
    EXPECT_EQ(0u, t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ((tcflag_t)(CLOCAL | CREAD), t.c_cflag & (CLOCAL | CREAD));
    EXPECT_EQ(0u, t.c_iflag & (INPCK | IXON | IXOFF | IXANY | INLCR | IGNCR | ICRNL));
    EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ECHOE | ISIG));
    EXPECT_EQ(0u, t.c_oflag & (OPOST | ONLCR | OCRNL));
    EXPECT_EQ(2, t.c_cc[VTIME]);
    EXPECT_EQ(0, t.c_cc[VMIN]);
}

TEST_F(SetOptTest, SpeedsMapAndAnythingElseIs115200)
{
    const std::pair<int, speed_t> table[] = {{600, B600},       {1200, B1200},   {2400, B2400},   {4800, B4800},
                                             {19200, B19200},   {38400, B38400}, {57600, B57600}, {115200, B115200},
                                             {230400, B230400}, {300, B115200},  {0, B115200},    {-9600, B115200}};
    for (const auto& [speed, code] : table) {
        termios t = Apply(speed, 8, 'n', 1, 'N');
        EXPECT_EQ(code, cfgetispeed(&t)) << speed;
        EXPECT_EQ(code, cfgetospeed(&t)) << speed;
    }
}

// Pseudo-terminals keep neither character size nor parity, so those flags
// are checked on a settings record; start gives one with every flag set or
// every flag clear, so that both setting and clearing show.
termios Flags(bool start, int bits, char parity, int stop)
{
    termios t;
    memset(&t, start ? 0xFF : 0x00, sizeof(t));
    SetLineFlags(t, 9600, bits, parity, stop, 'N');
    return t;
}

TEST(LineFlagsTest, CharacterSizeFallsBackToEightBits)
{
    const std::pair<int, tcflag_t> table[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}, {9, CS8}, {0, CS8}};
    for (const auto& [bits, size] : table)
        for (bool start : {false, true})
            EXPECT_EQ(size, Flags(start, bits, 'n', 1).c_cflag & CSIZE) << bits;
}

TEST(LineFlagsTest, ParityLettersInEitherCase)
{
    for (bool start : {false, true}) {
        for (char p : {'O', 'o'}) {
            termios t = Flags(start, 8, p, 1);
            EXPECT_EQ((tcflag_t)(PARENB | PARODD), t.c_cflag & (PARENB | PARODD)) << p;
            EXPECT_TRUE(t.c_iflag & INPCK) << p;
        }
        for (char p : {'E', 'e'}) {
            termios t = Flags(start, 8, p, 1);
            EXPECT_EQ((tcflag_t)PARENB, t.c_cflag & (PARENB | PARODD)) << p;
            EXPECT_TRUE(t.c_iflag & INPCK) << p;
        }
        for (char p : {'S', 's'}) {
            termios t = Flags(start, 8, p, 1);
            EXPECT_EQ(0u, t.c_cflag & PARENB) << p;
            EXPECT_TRUE(t.c_iflag & INPCK) << p;
        }
        for (char p : {'N', 'n', 'x'}) {
            termios t = Flags(start, 8, p, 1);
            EXPECT_EQ(0u, t.c_cflag & PARENB) << p;
            EXPECT_EQ(0u, t.c_iflag & INPCK) << p;
        }
    }
}

TEST(LineFlagsTest, OnlyStopTwoGivesTwoStopBitsAlsoWithSpaceParity)
{
    EXPECT_TRUE(Flags(false, 8, 'S', 2).c_cflag & CSTOPB);
    EXPECT_TRUE(Flags(false, 8, 'n', 2).c_cflag & CSTOPB);
    for (int stop : {1, 0, 3})
        EXPECT_EQ(0u, Flags(true, 8, 'S', stop).c_cflag & CSTOPB) << stop;
}

TEST(LineFlagsTest, FlagsNotNamedStayAsTheyWere)
{
    termios t = Flags(true, 8, 'n', 1);
    EXPECT_TRUE(t.c_iflag & (IGNBRK | ISTRIP));
    EXPECT_TRUE(t.c_lflag & (IEXTEN | ECHONL));
    EXPECT_TRUE(t.c_cflag & (CLOCAL | CREAD | HUPCL));
    EXPECT_EQ(0u, t.c_oflag & OPOST);
}

TEST_F(SetOptTest, HardwareAndSoftwareFlowKeepLocalModesButNotOutputProcessing)
{
    const tcflag_t local = ICANON | ECHO | ECHOE | ISIG;
    for (char f : {'H', 'h', 'S', 's'}) {
        termios cooked;
        tcgetattr(pty.port(), &cooked);
        cooked.c_lflag |= local;
        cooked.c_iflag |= ICRNL;
        cooked.c_oflag |= OPOST | ONLCR;
        ASSERT_EQ(0, tcsetattr(pty.port(), TCSANOW, &cooked));

        termios t = Apply(9600, 8, 'n', 1, f);
        EXPECT_EQ(local, t.c_lflag & local) << f;
        EXPECT_TRUE(t.c_iflag & ICRNL) << f;
        EXPECT_TRUE(t.c_oflag & ONLCR) << f;
        EXPECT_EQ(0u, t.c_oflag & OPOST) << f;
        EXPECT_EQ(2, t.c_cc[VTIME]) << f;
        EXPECT_EQ(0, t.c_cc[VMIN]) << f;
        const bool hard = (f == 'H' || f == 'h');
        EXPECT_EQ(hard, (t.c_cflag & CRTSCTS) != 0) << f;
        EXPECT_EQ(hard ? 0u : (tcflag_t)(IXON | IXOFF | IXANY), t.c_iflag & (IXON | IXOFF | IXANY)) << f;
    }
    for (char f : {'N', 'q'}) {
        Apply(9600, 8, 'n', 1, 'S');
        termios t = Apply(9600, 8, 'n', 1, f);
        EXPECT_EQ(0u, t.c_lflag & local) << f;
        EXPECT_EQ(0u, t.c_cflag & CRTSCTS) << f;
        EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF | IXANY)) << f;
    }
    termios t = Apply(9600, 8, 'n', 2, 'N');
    EXPECT_TRUE(t.c_cflag & CSTOPB) << "the line keeps two stop bits";
}

TEST_F(SetOptTest, NotATerminalFailsAtOnce)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    EXPECT_EQ(-1, set_opt(fds[0], 9600, 8, 'n', 1, 'N'));
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(-1, set_opt(-1, 9600, 8, 'n', 1, 'N'));
    auto texts = log.Texts();
    ASSERT_EQ(2u, texts.size());
    EXPECT_EQ("tcgetattr error", texts[0]);
    EXPECT_EQ("tcgetattr error", texts[1]);
}

class ReadTest : public PtyTest {
protected:
    void SetUp() override { ASSERT_EQ(0, set_opt(pty.port(), 9600, 8, 'n', 1, 'N')); }
};

TEST_F(ReadTest, OnlyAVeryFirstZeroByteIsDropped)
{
    ASSERT_TRUE(WriteAll(pty.device(), Bytes({0x00, 0x00, 'A', 0x00, 'B'})));
    char buf[16];
    memset(buf, 0, sizeof(buf));
    ASSERT_EQ(4, Read(pty.port(), buf, sizeof(buf), 200));
    EXPECT_EQ(Bytes({0x00, 'A', 0x00, 'B'}), std::string(buf, 4));
}

TEST_F(ReadTest, StopsAtLenAndLeavesTheRestOnTheLine)
{
    ASSERT_TRUE(WriteAll(pty.device(), "0123456789"));
    char buf[8];
    memset(buf, '#', sizeof(buf));
    ASSERT_EQ(7, Read(pty.port(), buf, 7, 200));
    EXPECT_EQ("0123456", std::string(buf, 7));
    EXPECT_EQ('#', buf[7]) << "the byte after len was written";
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(3, Read(pty.port(), buf, 7, 200));
    EXPECT_STREQ("789", buf);
}

TEST_F(ReadTest, SilentLineEndsAfterTwoReadWaits)
{
    char buf[64];
    int n = -2;
    double s = SecondsOf([&] { n = Read(pty.port(), buf, sizeof(buf), 200); });
    EXPECT_EQ(0, n);
    EXPECT_GT(s, 0.3);
    EXPECT_LT(s, 1.5);
}

TEST_F(ReadTest, CollectsAcrossShortGapsAndEndsOneWaitAfterTheLastByte)
{
    std::chrono::steady_clock::time_point lastByte;
    std::thread device([&] {
        for (char c : std::string("abc")) {
            WriteAll(pty.device(), std::string(1, c));
            lastByte = std::chrono::steady_clock::now();
            usleep(100000);
        }
    });
    char buf[64];
    memset(buf, 0, sizeof(buf));
    int n = Read(pty.port(), buf, sizeof(buf), 200);
    auto end = std::chrono::steady_clock::now();
    device.join();
    EXPECT_EQ(3, n);
    EXPECT_STREQ("abc", buf);
    double afterLast = std::chrono::duration<double>(end - lastByte).count();
    EXPECT_GT(afterLast, 0.12);
    EXPECT_LT(afterLast, 1.0);
}

TEST_F(ReadTest, NoPortIsAnError)
{
    char buf[4] = {};
    EXPECT_EQ(-1, Read(0, buf, sizeof(buf), 200));
    EXPECT_EQ(-1, Read(-1, buf, sizeof(buf), 200));
}

TEST_F(ReadTest, NonBlockingPortGivesWhatIsBufferedAtOnce)
{
    fcntl(pty.port(), F_SETFL, O_NONBLOCK);
    char buf[64];
    int n = -2;
    EXPECT_LT(SecondsOf([&] { n = Read(pty.port(), buf, sizeof(buf), 200); }), 0.1);
    EXPECT_EQ(0, n);

    ASSERT_TRUE(WriteAll(pty.device(), "hello"));
    usleep(50000);
    memset(buf, 0, sizeof(buf));
    EXPECT_LT(SecondsOf([&] { n = Read(pty.port(), buf, sizeof(buf), 200); }), 0.1);
    EXPECT_EQ(5, n);
    EXPECT_STREQ("hello", buf);
}

class OpenTestPortTest : public PtyTest {};

TEST_F(OpenTestPortTest, ModesDecideBlockingAndTheLineIsSetUp)
{
    for (int mode : {kOpenNonBlocking, kOpenBlockingFirst, kOpenBlockingLast}) {
        int fd = OpenTestPort(pty.path(), mode, "RS232Test");
        ASSERT_GT(fd, 0) << mode;
        EXPECT_EQ(mode == kOpenNonBlocking, (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0) << mode;
        termios t;
        tcgetattr(fd, &t);
        EXPECT_EQ(B9600, cfgetospeed(&t)) << mode;
        EXPECT_EQ(2, t.c_cc[VTIME]) << mode;
        close(fd);
    }
    EXPECT_TRUE(log.Texts().empty());
}

TEST_F(OpenTestPortTest, FailuresAreLoggedWithThePathAndLeaveNoPort)
{
    EXPECT_EQ(0, OpenTestPort("/nonexistent/RS485-1", kOpenNonBlocking, "RS485Test"));
    char tmpl[] = "/tmp/notatty-XXXXXX";
    int tmp = mkstemp(tmpl);
    ASSERT_GT(tmp, 0);
    close(tmp);
    EXPECT_EQ(0, OpenTestPort(tmpl, kOpenBlockingFirst, "RS232Test"));
    unlink(tmpl);
    auto texts = log.Texts();
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ("open Port:/nonexistent/RS485-1 Err!!!", texts[0]);
    EXPECT_EQ("tcgetattr error", texts[1]);
    EXPECT_EQ(std::string("set_opt Port:") + tmpl + " Err!!!", texts[2]);
    // Each line names the test that opened the port, not the helper.
    EXPECT_EQ((std::vector<std::string>{"RS485Test", "set_opt", "RS232Test"}), log.Functions());
}

TEST(FormDevPathTest, NamesThatDoNotFitAreRefused)
{
    char path[kPortPathSize];
    EXPECT_EQ(0, FormDevPath(path, "ttymxc1"));
    EXPECT_STREQ("/dev/ttymxc1", path);
    const std::string longest(kPortPathSize - 1 - 5, 'a');
    EXPECT_EQ(0, FormDevPath(path, longest.c_str()));
    EXPECT_EQ("/dev/" + longest, path);
    EXPECT_EQ(-1, FormDevPath(path, (longest + "b").c_str()));
    EXPECT_EQ("/dev/" + longest, path) << "the cut path stays terminated";
}

}  // namespace
