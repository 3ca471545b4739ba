// The attached-device probes on a pseudo-terminal, the far side playing the
// sensor, the screen or the modem; and the Modbus framing they use.
#include <cstring>

#include "probes.h"
#include "pty_fixture.h"
#include "serial.h"

namespace {

const char kName[] = "/dev/ttyTest1";

// A sensor answer: data followed by its CRC, low byte first.
std::string WithCrc(const std::string& data)
{
    uint16_t crc = crc16((const unsigned char*)data.data(), (unsigned char)data.size());
    return data + Bytes({(unsigned char)(crc & 0xFF), (unsigned char)(crc >> 8)});
}

TEST(ModbusFramingTest, CrcCheckValuesAndTheRequestConstant)
{
    const char check[] = "123456789";
    EXPECT_EQ(0x4B37, crc16((const unsigned char*)check, 9));
    EXPECT_EQ(0xFFFF, crc16((const unsigned char*)check, 0));
    EXPECT_EQ(Bytes({0x10, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC7, 0x4A}),
              std::string((const char*)kSensorRequest, kSensorRequestLen));
    EXPECT_EQ(wdFromBufLH(kSensorRequest + 6), crc16(kSensorRequest, 6));
    const unsigned char w[] = {0x12, 0x34};
    EXPECT_EQ(0x3412, wdFromBufLH(w));
    EXPECT_EQ(0x1234, wdFromBuf(w));
}

TEST(HexDumpTest, StopsAtTheLastWholeByteThatFits)
{
    const unsigned char data[64] = {0xAB, 0x01};
    char out[kHexDumpSize];
    EXPECT_EQ(18, FormHexDump(out, sizeof(out), "/dev/x", data, 2));
    EXPECT_STREQ("/dev/x read:AB 01 ", out);

    memset(out, '#', sizeof(out));
    int len = FormHexDump(out, sizeof(out), "/dev/x", data, 64);
    EXPECT_EQ(12 + 3 * 17, len);  // 17 whole bytes fit beside the head
    EXPECT_EQ((size_t)len, strlen(out));

    const std::string longName(100, 'n');
    len = FormHexDump(out, sizeof(out), longName.c_str(), data, 64);
    EXPECT_EQ((int)sizeof(out) - 1, len);
    EXPECT_EQ(longName.substr(0, sizeof(out) - 1), out);
}

class ProbeTest : public PtyTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, set_opt(pty.port(), kLineSpeed, kLineBits, kLineParity, kLineStop, kLineFlow));
        record.fdPort = pty.port();
    }
    void TearDown() override { strDWinFramHead.clear(); }
    _tag_PortData_ record;
};

// --- temperature and humidity sensor ---

class SensorTest : public ProbeTest {
protected:
    // Runs the probe against a device that answers with answer. Returns the
    // probe's result; request gets what the device received.
    int Probe(const std::string& answer)
    {
        ScriptedDevice dev(pty.device(), kSensorRequestLen, answer);
        int r = THSensorTest(record, kName);
        request = dev.Request();
        return r;
    }
    std::string request;
};

TEST_F(SensorTest, StandardAnswerPassesAndReportsBothValues)
{
    const std::string answer = Bytes({0x10, 0x03, 0x04, 0x01, 0xF4, 0x00, 0xFA, 0x3B, 0x7F});
    EXPECT_EQ(0, Probe(answer));
    EXPECT_EQ(Bytes({0x10, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC7, 0x4A}), request);
    EXPECT_EQ(kPortStaPass, record.bySta);
    EXPECT_EQ(pty.port(), record.fdPort) << "the probe leaves the port to its caller";
    auto texts = log.Texts();
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ(std::string(kName) + " iwrite:8 write:10 03 00 00 00 02 C7 4A ", texts[0]);
    EXPECT_EQ(std::string(kName) + " read:" + Hex(answer), texts[1]);
    EXPECT_EQ(std::string("Port:") + kName + " Test OK !!! iTem=25.0 iHum=50.0", texts[2]);
}

TEST_F(SensorTest, AnyFrameWithACorrectCrcPassesAndWordsAreUnsigned)
{
    EXPECT_EQ(0, Probe(WithCrc(Bytes({0x01, 0x04, 0x00, 0xFF, 0xFF, 0x80, 0x00}))));
    EXPECT_EQ(kPortStaPass, record.bySta);
    EXPECT_TRUE(log.Has("iTem=3276.8 iHum=6553.5"));
}

TEST_F(SensorTest, BadCrcAddsTheReadErrorToWhatWasThere)
{
    record.bySta = kPortStaPass;
    EXPECT_EQ(-1, Probe(Bytes({0x10, 0x03, 0x04, 0x01, 0xF4, 0x00, 0xFA, 0x3B, 0x7E})));
    EXPECT_EQ(kPortStaPass | bRdErr, record.bySta);
    EXPECT_TRUE(log.Has("Err crc!!!"));
    EXPECT_FALSE(log.Has(" read:")) << "a frame failing its CRC is not dumped";
    EXPECT_EQ(std::string("Port:") + kName + " Test Err !!!", log.Texts().back());
}

TEST_F(SensorTest, ShortOrMissingAnswersFailWithBothCounts)
{
    EXPECT_EQ(-1, Probe(WithCrc(Bytes({0x10, 0x03, 0x04, 0x01, 0xF4, 0x00}))));
    EXPECT_TRUE(log.Has("iwrite:8 iread:8 Err!!!"));
    EXPECT_EQ(kPortStaFresh, record.bySta);

    record.bySta = kPortStaPass;
    EXPECT_EQ(-1, Probe(""));
    EXPECT_TRUE(log.Has("iwrite:8 iread:0 Err!!!"));
    EXPECT_EQ(kPortStaPass | bRdErr, record.bySta);
}

TEST_F(SensorTest, LongAnswerPassesWithABoundedDump)
{
    std::string data = Bytes({0x10, 0x03, 0x04, 0x01, 0xF4, 0x00, 0xFA});
    data += std::string(40, '\x5A');
    EXPECT_EQ(0, Probe(WithCrc(data)));
    EXPECT_EQ(kPortStaPass, record.bySta);
    std::string dump = log.Find(" read:");
    EXPECT_LT(dump.size(), kHexDumpSize);
    EXPECT_EQ(0u, dump.find(std::string(kName) + " read:10 03 04 01 F4 00 FA 5A "));
    EXPECT_TRUE(log.Has("iTem=25.0 iHum=50.0"));
}

TEST_F(SensorTest, FailedWriteIsMarkedAndTheReadStillHappens)
{
    int readOnly = open(pty.path(), O_RDONLY | O_NOCTTY);
    ASSERT_GT(readOnly, 0);
    record.fdPort = readOnly;
    record.bySta = kPortStaPass;
    ASSERT_TRUE(WriteAll(pty.device(), "stale"));  // dropped by the probe's flush
    EXPECT_EQ(-1, THSensorTest(record, kName));
    close(readOnly);
    EXPECT_EQ(kPortStaPass | bWrErr | bRdErr, record.bySta);
    auto texts = log.Texts();
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ(std::string(kName) + " write Err iwrite=-1", texts[0]);
    EXPECT_EQ("iwrite:-1 iread:0 Err!!!", texts[1]);
    EXPECT_EQ("", ReadUpTo(pty.device(), 1, 100)) << "nothing went out";
}

// --- display screen ---

class ScreenTest : public ProbeTest {
protected:
    int Probe(const std::string& answer)
    {
        ScriptedDevice dev(pty.device(), 6, answer);
        int r = DWScreenTest(record, kName);
        request = dev.Request();
        return r;
    }
    std::string request;
};

TEST_F(ScreenTest, DefaultHeadRequestAndVersionByte)
{
    EXPECT_EQ(0, Probe(Bytes({0xA5, 0x5A, 0x99, 0x99, 0x99, 0x99, 0x21})));
    EXPECT_EQ(Bytes({0xA5, 0x5A, 0x03, 0x81, 0x00, 0x01}), request);
    EXPECT_EQ(kPortStaPass, record.bySta);
    auto texts = log.Texts();
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ(std::string(kName) + " iwrite:6 write:A5 5A 03 81 00 01 ", texts[0]);
    EXPECT_EQ(std::string(kName) + " read:A5 5A 99 99 99 99 21 ", texts[1]);
    EXPECT_EQ(std::string("Port:") + kName + " Test OK !!! DWin iVersion=21", texts[2]);
}

TEST_F(ScreenTest, HeadTextSetsTheRequestAndTheCheck)
{
    strDWinFramHead = "5A A5";
    EXPECT_EQ(-1, Probe(Bytes({0xA5, 0x5A, 0x03, 0x81, 0x00, 0x01, 0x21})));
    EXPECT_EQ(Bytes({0x5A, 0xA5, 0x03, 0x81, 0x00, 0x01}), request);
    EXPECT_EQ(kPortStaFresh, record.bySta);
    auto texts = log.Texts();
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ("Err frame head:A5 5A  !!!", texts[1]);
    EXPECT_EQ(std::string(kName) + " read:A5 5A 03 81 00 01 21 ", texts[2]) << "a wrong head is still dumped";
    EXPECT_EQ(std::string("Port:") + kName + " Test Err !!!", texts[3]);
}

TEST_F(ScreenTest, PartlyReadableHeadKeepsTheDefaultsOfWhatIsMissing)
{
    const std::pair<const char*, std::string> heads[] = {{"AA", Bytes({0xAA, 0x5A})},
                                                         {"1 2", Bytes({0x01, 0x02})},
                                                         {"zz", Bytes({0xA5, 0x5A})},
                                                         {"7 q", Bytes({0x07, 0x5A})}};
    for (const auto& [text, head] : heads) {
        strDWinFramHead = text;
        record.bySta = kPortStaFresh;
        EXPECT_EQ(0, Probe(head + Bytes({0x00, 0x00, 0x00}))) << text;
        EXPECT_EQ(head + Bytes({0x03, 0x81, 0x00, 0x01}), request) << text;
    }
}

TEST_F(ScreenTest, FiveBytesAreEnoughFourAreNot)
{
    EXPECT_EQ(0, Probe(Bytes({0xA5, 0x5A, 0x01, 0x02, 0x03})));
    EXPECT_TRUE(log.Has("DWin iVersion=00"));

    record.bySta = kPortStaPass;
    EXPECT_EQ(-1, Probe(Bytes({0xA5, 0x5A, 0x01, 0x02})));
    EXPECT_TRUE(log.Has("iwrite:6 iread:4 Err!!!"));
    EXPECT_EQ(kPortStaPass | bRdErr, record.bySta);
}

TEST_F(ScreenTest, FullAnswerBufferGivesABoundedDump)
{
    std::string answer = Bytes({0xA5, 0x5A, 0x03, 0x81, 0x00, 0x01, 0x42});
    answer += std::string(kProbeAnswerSize - answer.size() + 10, '\x11');
    EXPECT_EQ(0, Probe(answer));
    EXPECT_TRUE(log.Has("DWin iVersion=42"));
    std::string dump = log.Find(" read:");
    EXPECT_LT(dump.size(), kHexDumpSize);
    EXPECT_EQ(0u, dump.find(std::string(kName) + " read:A5 5A 03 81 00 01 42 11 "));
}

// --- 4G modem ---

class ModemTest : public ProbeTest {
protected:
    int Probe(const std::string& answer)
    {
        ScriptedDevice dev(pty.device(), 3, answer);
        int r = Test4GModel(record, kName);
        request = dev.Request();
        return r;
    }
    std::string request;
};

TEST_F(ModemTest, EchoAndOkPasses)
{
    EXPECT_EQ(0, Probe("AT\r\r\nOK\r\n"));
    EXPECT_EQ(Bytes({0x41, 0x54, 0x0D}), request);
    EXPECT_EQ(kPortStaPass, record.bySta);
    EXPECT_EQ(std::string("Port:") + kName + " Test OK !!! ", log.Texts().back());
    EXPECT_TRUE(log.Has(std::string(kName) + " iwrite:3 write:AT\r"));
    EXPECT_TRUE(log.Has(std::string(kName) + " read: AT\r"));
}

TEST_F(ModemTest, NoOkFailsWithTheCounts)
{
    EXPECT_EQ(-1, Probe("ERROR\r\n"));
    EXPECT_TRUE(log.Has("iwrite:3 iread:7 Err!!!"));
    EXPECT_EQ(std::string("Port:") + kName + " Test Err !!!", log.Texts().back());

    record.bySta = kPortStaPass;
    EXPECT_EQ(-1, Probe(""));
    EXPECT_TRUE(log.Has("iwrite:3 iread:0 Err!!!"));
    EXPECT_EQ(kPortStaPass | bRdErr, record.bySta);
}

TEST_F(ModemTest, OnlyTheTextBeforeAZeroByteCounts)
{
    EXPECT_EQ(-1, Probe(std::string("AT\0OK\r\n", 7)));
    EXPECT_TRUE(log.Has("iwrite:3 iread:7 Err!!!"));
}

TEST_F(ModemTest, FullAnswerWithoutZeroStaysWithinTheBytesReceived)
{
    // The 64th byte is an "O" whose "K" is still on the line: no "OK" was received.
    EXPECT_EQ(-1, Probe(std::string(kProbeAnswerSize - 1, 'x') + "OK"));
    EXPECT_TRUE(log.Has("iwrite:3 iread:64 Err!!!"));

    record.bySta = kPortStaFresh;
    const std::string full = std::string(kProbeAnswerSize - 2, 'x') + "OK";
    EXPECT_EQ(0, Probe(full + "trailing"));
    EXPECT_EQ(std::string(kName) + " read: " + full, log.Find(" read: "));
}

}  // namespace
