// The Modbus RTU temperature and humidity sensor: framing and the probe.
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "probes.h"
#include "serial.h"
#include "zrLog.h"

// Read holding registers 0 and 1 of slave 16; the CRC bytes are part of the constant.
const unsigned char kSensorRequest[kSensorRequestLen] = {0x10, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC7, 0x4A};

namespace {
constexpr uint16_t kCrcInit = 0xFFFF;
constexpr uint16_t kCrcPoly = 0xA001;  // 0x8005 bit-reversed
constexpr int kCrcLen = 2;
constexpr useconds_t kAnswerWaitUs = 500000;  // the sensor answers within 500 ms
constexpr int kReadTimeout = 64;              // passed to Read, which ignores it
}  // namespace

uint16_t crc16(const unsigned char* data, unsigned char len)
{
    uint16_t crc = kCrcInit;
    for (unsigned char i = 0; i < len; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ kCrcPoly) : (uint16_t)(crc >> 1);
    }
    return crc;
}

uint16_t wdFromBufLH(const unsigned char* p)
{
    return (uint16_t)(p[0] + 256 * p[1]);
}

uint16_t wdFromBuf(const unsigned char* p)
{
    return (uint16_t)(256 * p[0] + p[1]);
}

bool SensorCrcOK(const unsigned char* answer, int n)
{
    return crc16(answer, (unsigned char)(n - kCrcLen)) == wdFromBufLH(answer + n - kCrcLen);
}

int THSensorTest(_tag_PortData_& port, const char* name)
{
    unsigned char request[kSensorRequestLen];
    unsigned char answer[kProbeAnswerSize];
    memcpy(request, kSensorRequest, sizeof(request));

    tcflush(port.fdPort, TCIOFLUSH);  // drop whatever is queued both ways
    int iwrite = (int)write(port.fdPort, request, sizeof(request));
    if (iwrite < kSensorRequestLen) {
        port.bySta |= bWrErr;
        RTLOG("%s write Err iwrite=%d", name, iwrite);
    } else {
        RTLOG("%s iwrite:%d write:%02X %02X %02X %02X %02X %02X %02X %02X ", name, iwrite, request[0], request[1],
              request[2], request[3], request[4], request[5], request[6], request[7]);
    }

    usleep(kAnswerWaitUs);

    memset(answer, 0, sizeof(answer));
    int iread = Read(port.fdPort, (char*)answer, sizeof(answer), kReadTimeout);
    return JudgeSensorAnswer(port, name, iwrite, answer, iread, __func__);
}

int JudgeSensorAnswer(_tag_PortData_& port, const char* name, int iwrite, const unsigned char* answer, int iread,
                      const char* caller)
{
    char dump[kHexDumpSize];
    memset(dump, 0, sizeof(dump));
    bool failed = iwrite < kSensorRequestLen;
    uint16_t tem = 0;
    uint16_t hum = 0;
    if (iread < kSensorAnswerMin) {
        RTLOG_AS(caller, "iwrite:%d iread:%d Err!!!", iwrite, iread);
        failed = true;
    } else if (!SensorCrcOK(answer, iread)) {
        RTLOG_AS(caller, "Err crc!!!");
        failed = true;
    } else {
        FormHexDump(dump, sizeof(dump), name, answer, iread);
        RTLOG_AS(caller, "%s", dump);
        tem = wdFromBuf(answer + kSensorTemPos);
        hum = wdFromBuf(answer + kSensorHumPos);
    }

    return SensorVerdict(port, name, failed, tem, hum, caller);
}

int SensorVerdict(_tag_PortData_& port, const char* name, bool failed, uint16_t tem, uint16_t hum, const char* caller)
{
    if (failed) {
        port.bySta |= bRdErr;
        RTLOG_AS(caller, "Port:%s Test Err !!!", name);
        return -1;
    }
    port.bySta = kPortStaPass;
    RTLOG_AS(caller, "Port:%s Test OK !!! iTem=%.1f iHum=%.1f", name, tem * kSensorScale, hum * kSensorScale);
    return 0;
}
