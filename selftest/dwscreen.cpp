// The display screen probe: read the version register, check the frame head.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "probes.h"
#include "serial.h"
#include "zrLog.h"

namespace {
constexpr unsigned int kHeadDefault0 = 0xA5;
constexpr unsigned int kHeadDefault1 = 0x5A;
constexpr unsigned char kFollowLen = 0x03;    // bytes after the length byte
constexpr unsigned char kCmdReadReg = 0x81;   // read register
constexpr unsigned char kRegVersion = 0x00;   // the version register
constexpr unsigned char kReadOneByte = 0x01;  // number of bytes to read
constexpr int kRequestLen = 6;
constexpr int kAnswerMin = 5;  // fewer bytes are no answer
constexpr int kVersionPos = 6;
constexpr useconds_t kAnswerWaitUs = 500000;  // the screen answers within 500 ms
constexpr int kReadTimeout = 64;              // passed to Read, which ignores it
}  // namespace

int DWinFrameHead(unsigned char (&head)[kDWinHeadLen])
{
    unsigned int head0 = kHeadDefault0;
    unsigned int head1 = kHeadDefault1;
    int n = 0;
    if (!strDWinFramHead.empty())
        n = sscanf(strDWinFramHead.c_str(), "%02X %02X", &head0, &head1);  // a number not read keeps its default
    head[0] = (unsigned char)head0;
    head[1] = (unsigned char)head1;
    return n > 0 ? n : 0;
}

int DWScreenTest(_tag_PortData_& port, const char* name)
{
    unsigned char head[kDWinHeadLen];
    DWinFrameHead(head);
    const unsigned char request[kRequestLen] = {head[0], head[1], kFollowLen, kCmdReadReg, kRegVersion, kReadOneByte};
    unsigned char answer[kProbeAnswerSize];

    tcflush(port.fdPort, TCIOFLUSH);  // drop whatever is queued both ways
    int iwrite = (int)write(port.fdPort, request, sizeof(request));
    if (iwrite < kRequestLen) {
        port.bySta |= bWrErr;
        RTLOG("%s write Err iwrite=%d", name, iwrite);
    } else {
        RTLOG("%s iwrite:%d write:%02X %02X %02X %02X %02X %02X ", name, iwrite, request[0], request[1], request[2],
              request[3], request[4], request[5]);
    }

    usleep(kAnswerWaitUs);

    memset(answer, 0, sizeof(answer));
    int iread = Read(port.fdPort, (char*)answer, sizeof(answer), kReadTimeout);
    return JudgeScreenAnswer(port, name, head, iwrite, answer, iread, __func__);
}

int JudgeScreenAnswer(_tag_PortData_& port, const char* name, const unsigned char (&head)[kDWinHeadLen], int iwrite,
                      const unsigned char* answer, int iread, const char* caller)
{
    char dump[kHexDumpSize];
    memset(dump, 0, sizeof(dump));
    bool failed = iwrite < kRequestLen;
    unsigned char version = 0;
    if (iread < kAnswerMin) {
        RTLOG_AS(caller, "iwrite:%d iread:%d Err!!!", iwrite, iread);
        failed = true;
    } else {
        if (answer[0] != head[0] || answer[1] != head[1]) {
            RTLOG_AS(caller, "Err frame head:%02X %02X  !!!", answer[0], answer[1]);
            failed = true;
        }
        FormHexDump(dump, sizeof(dump), name, answer, iread);
        RTLOG_AS(caller, "%s", dump);
        version = answer[kVersionPos];  // 0 from the cleared buffer when the answer is shorter
    }

    if (failed) {
        port.bySta |= bRdErr;
        RTLOG_AS(caller, "Port:%s Test Err !!!", name);
        return -1;
    }
    port.bySta = kPortStaPass;
    RTLOG_AS(caller, "Port:%s Test OK !!! DWin iVersion=%02X", name, version);
    return 0;
}
