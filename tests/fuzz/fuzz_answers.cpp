// Fuzzes what the device probes and the loopback tests do with the bytes a
// read returned: the sensor answer (RS232 probe and the single RS485 port),
// the screen answer with a frame head text of its own, the modem answer and
// the loopback receive buffer. Each judge runs on the probe's own cleared
// buffer holding the input's bytes, counts -1 and 0 included, with the trace
// log in a scratch file; the outcome, the status byte and the logged lines
// must agree with a reference of the rules.
//
// Input: the integral choices come from the end (which answer, the status
// the record arrives with, the write's count, the read's count), the port
// name and the head text are random-length strings, the rest is the answer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "loopback.h"
#include "probes.h"
#include "zrLog.h"

namespace {

constexpr size_t kMaxNameLen = 40;
constexpr size_t kMaxHeadTextLen = 16;
constexpr int kSensorRequestBytes = 8;
constexpr int kScreenRequestBytes = 6;
constexpr int kModemRequestBytes = 3;
constexpr int kModemWriteDone = 2;
constexpr int kScreenAnswerMin = 5;
constexpr int kScreenVersionPos = 6;
constexpr int kStartFd = 77;  // the judges never touch the descriptor

enum { kSensor, kRS485Sensor, kScreen, kModem, kLoopback, kKinds };

std::string LogPath()
{
    static const std::string path = FuzzScratchDir() + "/rigChkEx.log";
    return path;
}

// Empties the trace log and its backup, so that the next lines are this run's.
void ClearLog()
{
    remove((LogPath() + ".bak").c_str());
    remove(LogPath().c_str());
}

// This run's log text: a rotation during the run moved its first lines to the backup.
std::string LogText()
{
    return FuzzSlurp(LogPath() + ".bak") + FuzzSlurp(LogPath());
}

bool Has(const std::string& log, const std::string& text)
{
    return log.find(text) != std::string::npos;
}

std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* fmt, ...)
{
    char buf[512];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof(buf), fmt, args);
    va_end(args);
    return buf;
}

// Every line is "<counter>=[RtLog][<date> <time>] <message>\t<file> <function> line=<n>\n".
void CheckLogShape(const std::string& log, size_t lines)
{
    size_t stamps = 0;
    for (size_t p = log.find("=[RtLog]["); p != std::string::npos; p = log.find("=[RtLog][", p + 1))
        ++stamps;
    FUZZ_CHECK(stamps >= lines);
    FUZZ_CHECK(!log.empty() && log.back() == '\n');
    FUZZ_CHECK(log[0] >= '0' && log[0] <= '9');
    size_t tail = log.rfind(" line=");
    FUZZ_CHECK(tail != std::string::npos);
    for (size_t i = tail + 6; i + 1 < log.size(); ++i)
        FUZZ_CHECK(log[i] >= '0' && log[i] <= '9');
}

// CRC-16/MODBUS by a table, low byte first on the wire.
uint16_t RefCrc(const unsigned char* p, size_t n)
{
    static uint16_t table[256];
    static bool ready = false;
    if (!ready) {
        for (unsigned v = 0; v < 256; ++v) {
            uint16_t c = (uint16_t)v;
            for (int k = 0; k < 8; ++k)
                c = (uint16_t)((c >> 1) ^ ((c & 1) ? 0xA001 : 0));
            table[v] = c;
        }
        ready = true;
    }
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i)
        crc = (uint16_t)((crc >> 8) ^ table[(crc ^ p[i]) & 0xFF]);
    return crc;
}

// The logged dump: "<name> read:" and "%02X " per byte, whole bytes only, in 63 characters.
std::string RefDump(const std::string& name, const unsigned char* p, int n)
{
    const size_t room = kHexDumpSize - 1;
    std::string out = name + " read:";
    if (out.size() >= room)
        return out.substr(0, room);
    for (int i = 0; i < n && out.size() + 3 <= room; ++i)
        out += Fmt("%02X ", p[i]);
    return out;
}

struct Case {
    std::string name;
    unsigned char sta0;
    int iwrite;
    int iread;
    unsigned char answer[kRecvBufSize];  // the probes use the first kProbeAnswerSize bytes
};

// The probe's answer buffer, exactly as large as the probe's, holding c's bytes.
std::unique_ptr<unsigned char[]> ProbeBuffer(const Case& c)
{
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kProbeAnswerSize]);
    memcpy(buf.get(), c.answer, kProbeAnswerSize);
    return buf;
}

// The outcome every probe logs last and marks in the record.
void CheckVerdict(const Case& c, const _tag_PortData_& port, int result, bool pass, const std::string& log,
                  const std::string& okText)
{
    FUZZ_CHECK(port.fdPort == kStartFd);
    if (pass) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(port.bySta == kPortStaPass);
        FUZZ_CHECK(Has(log, "Port:" + c.name + okText + "\t"));
    } else {
        FUZZ_CHECK(result == -1);
        FUZZ_CHECK(port.bySta == (unsigned char)(c.sta0 | bRdErr));
        FUZZ_CHECK(Has(log, "Port:" + c.name + " Test Err !!!\t"));
    }
}

void SensorCase(const Case& c, bool rs485, bool writeFailed)
{
    _tag_PortData_ port;
    port.fdPort = kStartFd;
    port.bySta = c.sta0;
    ClearLog();
    const auto answer = ProbeBuffer(c);
    const int result =
        rs485 ? JudgeRS485SensorAnswer(port, c.name.c_str(), writeFailed, answer.get(), c.iread, "RS485Test")
              : JudgeSensorAnswer(port, c.name.c_str(), c.iwrite, answer.get(), c.iread, "THSensorTest");
    const std::string log = LogText();

    const bool wrote = rs485 ? !writeFailed : c.iwrite >= kSensorRequestBytes;
    const bool longEnough = c.iread >= kSensorAnswerMin;
    const bool crcOK = longEnough && RefCrc(c.answer, (size_t)c.iread) == 0;  // the CRC closes on zero
    const bool pass = wrote && crcOK;
    std::string okText;
    if (crcOK) {
        const unsigned hum = c.answer[3] * 256u + c.answer[4];
        const unsigned tem = c.answer[5] * 256u + c.answer[6];
        okText = Fmt(" Test OK !!! iTem=%.1f iHum=%.1f", tem * 0.1, hum * 0.1);
        FUZZ_CHECK(Has(log, RefDump(c.name, c.answer, c.iread) + "\t"));
    } else if (longEnough) {
        FUZZ_CHECK(Has(log, "Err crc!!!\t"));
    } else if (rs485) {
        FUZZ_CHECK(Has(log, Fmt("iread:%d Err!!!\t", c.iread)));
    } else {
        FUZZ_CHECK(Has(log, Fmt("iwrite:%d iread:%d Err!!!\t", c.iwrite, c.iread)));
    }
    CheckVerdict(c, port, result, pass, log, okText);
    CheckLogShape(log, 2);
}

void ScreenCase(const Case& c, const std::string& headText)
{
    strDWinFramHead = headText;
    unsigned char head[kDWinHeadLen];
    const int nHead = DWinFrameHead(head);
    FUZZ_CHECK(nHead >= 0 && nHead <= kDWinHeadLen);
    if (headText.empty())
        FUZZ_CHECK(nHead == 0);
    if (nHead < 1)
        FUZZ_CHECK(head[0] == 0xA5);
    if (nHead < 2)
        FUZZ_CHECK(head[1] == 0x5A);

    _tag_PortData_ port;
    port.fdPort = kStartFd;
    port.bySta = c.sta0;
    ClearLog();
    const auto answer = ProbeBuffer(c);
    const int result = JudgeScreenAnswer(port, c.name.c_str(), head, c.iwrite, answer.get(), c.iread, "DWScreenTest");
    const std::string log = LogText();

    const bool longEnough = c.iread >= kScreenAnswerMin;
    const bool headOK = longEnough && c.answer[0] == head[0] && c.answer[1] == head[1];
    const bool pass = c.iwrite >= kScreenRequestBytes && headOK;
    if (!longEnough) {
        FUZZ_CHECK(Has(log, Fmt("iwrite:%d iread:%d Err!!!\t", c.iwrite, c.iread)));
    } else {
        if (!headOK)
            FUZZ_CHECK(Has(log, Fmt("Err frame head:%02X %02X  !!!\t", c.answer[0], c.answer[1])));
        FUZZ_CHECK(Has(log, RefDump(c.name, c.answer, c.iread) + "\t"));
    }
    const unsigned char version = c.iread > kScreenVersionPos ? c.answer[kScreenVersionPos] : 0;
    CheckVerdict(c, port, result, pass, log, Fmt(" Test OK !!! DWin iVersion=%02X", version));
    CheckLogShape(log, 2);
    strDWinFramHead.clear();
}

void ModemCase(const Case& c)
{
    _tag_PortData_ port;
    port.fdPort = kStartFd;
    port.bySta = c.sta0;
    ClearLog();
    const auto answer = ProbeBuffer(c);
    const int result =
        JudgeModemAnswer(port, c.name.c_str(), c.iwrite, (const char*)answer.get(), c.iread, "Test4GModel");
    const std::string log = LogText();

    // The text is what arrived, up to its first zero byte.
    std::string text((const char*)c.answer, c.iread > 0 ? (size_t)c.iread : 0);
    text = text.substr(0, text.find('\0'));
    const bool found = text.find("OK") != std::string::npos;
    if (found)
        FUZZ_CHECK(Has(log, c.name + " read: " + text + "\t"));
    else
        FUZZ_CHECK(Has(log, Fmt("iwrite:%d iread:%d Err!!!\t", c.iwrite, c.iread)));
    CheckVerdict(c, port, result, found && c.iwrite >= kModemWriteDone, log, " Test OK !!! ");
    CheckLogShape(log, 2);
}

// The loopback tests' receive buffer, as a receipt judges and logs it.
void LoopbackCase(const Case& c)
{
    memset(msgrecv, 0, sizeof(msgrecv));
    const int n = c.iread > 0 ? c.iread : 0;
    memcpy(msgrecv, c.answer, (size_t)n);

    const bool isTest = memcmp(c.answer, msgsend, kTestMsgLen) == 0;  // the rest of c.answer is zero too
    const void* zero = memchr(c.answer, 0, kRecvBufSize);
    const int textLen = zero != nullptr ? (int)((const unsigned char*)zero - c.answer) : kRecvBufSize;
    FUZZ_CHECK(RecvIsTestMsg() == isTest);
    FUZZ_CHECK(RecvTextLen() == textLen);

    ClearLog();
    if (RecvIsTestMsg())
        RTLOG("Write RS485-%d msgSend:%s,Read RS485-%d OK! msg: %.*s", 1, msgsend, 2, RecvTextLen(), msgrecv);
    else
        RTLOG("Write %s msgSend:%s,Read %s Error! iread:%d msg: %.*s", c.name.c_str(), msgsend, c.name.c_str(), c.iread,
              RecvTextLen(), msgrecv);
    const std::string log = LogText();
    FUZZ_CHECK(Has(log, "msg: " + std::string((const char*)c.answer, (size_t)textLen) + "\t"));
    CheckLogShape(log, 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static const std::string path = LogPath();
    filename = path.c_str();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const int kind = fdp.ConsumeIntegralInRange<int>(0, kKinds - 1);
    Case c;
    c.sta0 = fdp.ConsumeIntegral<uint8_t>();
    const int requestLen = kind == kScreen  ? kScreenRequestBytes
                           : kind == kModem ? kModemRequestBytes
                                            : kSensorRequestBytes;
    c.iwrite = fdp.ConsumeIntegralInRange<int>(-1, requestLen);
    const int bufSize = kind == kLoopback ? kRecvBufSize : kProbeAnswerSize;
    c.iread = fdp.ConsumeIntegralInRange<int>(-1, bufSize);
    std::string name = fdp.ConsumeRandomLengthString(kMaxNameLen);
    c.name = name.substr(0, name.find('\0'));
    std::string headText;
    if (kind == kScreen) {
        headText = fdp.ConsumeRandomLengthString(kMaxHeadTextLen);
        headText = headText.substr(0, headText.find('\0'));
    }
    // The cleared buffer, then the bytes the read put in.
    memset(c.answer, 0, sizeof(c.answer));
    const std::string bytes = fdp.ConsumeBytesAsString(c.iread > 0 ? (size_t)c.iread : 0);
    memcpy(c.answer, bytes.data(), bytes.size());

    switch (kind) {
    case kSensor: SensorCase(c, false, false); break;
    case kRS485Sensor: SensorCase(c, true, c.iwrite < kSensorRequestBytes); break;
    case kScreen: ScreenCase(c, headText); break;
    case kModem: ModemCase(c); break;
    default: LoopbackCase(c); break;
    }
    return 0;
}
