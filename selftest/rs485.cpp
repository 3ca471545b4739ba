// The RS485 test: all ports on one bus, each sending the test text to every
// other; a board with a single port reads the temperature and humidity sensor
// on it instead.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "loopback.h"
#include "probes.h"
#include "serial.h"
#include "serialtests.h"
#include "zrLog.h"

namespace {
constexpr useconds_t kSendWaitUs = 300000;  // every port on the bus has the text after 300 ms
constexpr int kSensorReadTimeout = 64;      // passed to Read, which ignores it

// Forms the path of RS485 port number (counted from 1) into path and opens the
// port non-blocking, logging under caller. Returns the descriptor; 0 on failure.
int OpenRS485Port(char (&path)[kPortPathSize], int number, const char* caller)
{
    snprintf(path, sizeof(path), "/dev/RS485-%d", number);
    return OpenTestPort(path, kOpenNonBlocking, caller);
}

// Reads the sensor on the single RS485 port, logging under caller; the port's
// status of the last try is the starting point. Returns 0; -1 on failure.
int SensorTry(std::vector<_tag_PortData_>& vPorts, const char* caller)
{
    _tag_PortData_ record = vPorts[0];
    record.fdPort = 0;
    char path[kPortPathSize];
    int result = -1;

    int fd = OpenRS485Port(path, 1, caller);
    if (fd == 0) {
        result = SensorVerdict(record, path, true, 0, 0, caller);
    } else {
        tcflush(fd, TCIOFLUSH);  // drop whatever is queued both ways
        int iwrite = (int)write(fd, kSensorRequest, kSensorRequestLen);
        const bool writeFailed = iwrite < kSensorRequestLen;
        if (writeFailed) {
            record.bySta |= bWrErr;
            RTLOG_AS(caller, "%s write Err iwrite=%d", path, iwrite);
        } else {
            RTLOG_AS(caller, "%s write:%02X %02X %02X %02X %02X %02X %02X %02X ", path, kSensorRequest[0],
                     kSensorRequest[1], kSensorRequest[2], kSensorRequest[3], kSensorRequest[4], kSensorRequest[5],
                     kSensorRequest[6], kSensorRequest[7]);
        }

        usleep(kSendWaitUs);

        unsigned char answer[kProbeAnswerSize];
        memset(answer, 0, sizeof(answer));
        int iread = Read(fd, (char*)answer, sizeof(answer), kSensorReadTimeout);
        close(fd);
        result = JudgeRS485SensorAnswer(record, path, writeFailed, answer, iread, caller);
    }
    vPorts[0] = record;
    return result;
}

// Sender j's turn on the bus: it sends the test text, every other open port
// reads and compares it; the lines are logged under caller.
void SenderTurn(unsigned short nCnt, std::vector<_tag_PortData_>& vPorts, unsigned short j, const char* caller)
{
    _tag_PortData_& sender = vPorts[j];
    tcflush(sender.fdPort, TCIOFLUSH);  // drop whatever is queued both ways
    int iwrite = (int)write(sender.fdPort, msgsend, kTestMsgLen);
    if (iwrite < kTestMsgLen) {
        MarkWriteErr(sender);
        RTLOG_AS(caller, "Write RS485-%d msgSend:%s,Err! iwrite=%d", j + 1, msgsend, iwrite);
        return;
    }
    MarkWriteOK(sender);
    usleep(kSendWaitUs);

    for (unsigned short l = 0; l < nCnt; ++l) {
        _tag_PortData_& receiver = vPorts[l];
        if (l == j || receiver.fdPort == 0)
            continue;
        memset(msgrecv, 0, sizeof(msgrecv));
        Read(receiver.fdPort, msgrecv, sizeof(msgrecv), kLoopReadTimeout);
        if (RecvIsTestMsg()) {
            RTLOG_AS(caller, "Write RS485-%d msgSend:%s,Read RS485-%d OK! msg: %.*s", j + 1, msgsend, l + 1,
                     RecvTextLen(), msgrecv);
            MarkReadOK(receiver);
        } else {
            if (receiver.bySta != kPortStaPass)
                MarkReadErr(receiver);  // a port that has passed this try keeps its pass
            RTLOG_AS(caller, "Write RS485-%d msgSend:%s,Read RS485-%d Error! msg: %.*s", j + 1, msgsend, l + 1,
                     RecvTextLen(), msgrecv);
        }
    }
}

// One loopback try over nCnt ports on one bus, logged under caller. Returns 0;
// -1 when the last port could not be opened or set up.
int BusTry(unsigned short nCnt, std::vector<_tag_PortData_>& vPorts, const char* caller)
{
    char path[kPortPathSize];
    int result = 0;
    for (unsigned short i = 0; i < nCnt; ++i) {
        vPorts[i] = _tag_PortData_();
        vPorts[i].fdPort = OpenRS485Port(path, i + 1, caller);
        result = (vPorts[i].fdPort > 0) ? 0 : -1;  // only the last port decides
    }

    for (unsigned short j = 0; j < nCnt; ++j)
        if (vPorts[j].fdPort != 0)
            SenderTurn(nCnt, vPorts, j, caller);

    for (unsigned short i = 0; i < nCnt; ++i) {
        if (vPorts[i].fdPort != 0) {
            close(vPorts[i].fdPort);
            vPorts[i].fdPort = 0;
        }
    }
    return result;
}
}  // namespace

int JudgeRS485SensorAnswer(_tag_PortData_& port, const char* name, bool writeFailed, const unsigned char* answer,
                           int iread, const char* caller)
{
    bool failed = writeFailed;
    uint16_t tem = 0;
    uint16_t hum = 0;
    if (iread < kSensorAnswerMin) {
        RTLOG_AS(caller, "iread:%d Err!!!", iread);
        failed = true;
    } else if (!SensorCrcOK(answer, iread)) {
        RTLOG_AS(caller, "Err crc!!!");
        failed = true;
    } else {
        char dump[kHexDumpSize];
        memset(dump, 0, sizeof(dump));
        FormHexDump(dump, sizeof(dump), name, answer, iread);
        RTLOG_AS(caller, "%s", dump);
        tem = wdFromBuf(answer + kSensorTemPos);
        hum = wdFromBuf(answer + kSensorHumPos);
    }
    return SensorVerdict(port, name, failed, tem, hum, caller);
}

int RS485Test(unsigned short nCnt, std::vector<_tag_PortData_>& vPorts)
{
    if (nCnt == 0) {
        RTLOG("nCnt:%d Err!!!", nCnt);
        return -1;
    }
    if (nCnt == 1)
        return SensorTry(vPorts, __func__);
    return BusTry(nCnt, vPorts, __func__);
}
