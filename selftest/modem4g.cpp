// The 4G modem probe: "AT" must be answered with "OK".
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "probes.h"
#include "serial.h"
#include "zrLog.h"

namespace {
constexpr int kCommandLen = 3;                // "AT\r" without its terminating zero
constexpr int kWriteDoneMin = 2;              // the write counts as done from two bytes on
constexpr useconds_t kAnswerWaitUs = 500000;  // the modem answers within 500 ms
constexpr int kReadTimeout = 200;             // passed to Read, which ignores it
}  // namespace

int Test4GModel(_tag_PortData_& port, const char* name)
{
    char answer[kProbeAnswerSize];

    tcflush(port.fdPort, TCIOFLUSH);  // drop whatever is queued both ways
    int iwrite = (int)write(port.fdPort, _AT0, kCommandLen);
    if (iwrite < kWriteDoneMin) {
        port.bySta |= bWrErr;
        RTLOG("%s write Err iwrite=%d", name, iwrite);
    } else {
        RTLOG("%s iwrite:%d write:%s", name, iwrite, _AT0);
    }

    usleep(kAnswerWaitUs);

    memset(answer, 0, sizeof(answer));
    int iread = Read(port.fdPort, answer, sizeof(answer), kReadTimeout);
    return JudgeModemAnswer(port, name, iwrite, answer, iread, __func__);
}

int JudgeModemAnswer(_tag_PortData_& port, const char* name, int iwrite, const char* answer, int iread,
                     const char* caller)
{
    bool failed = iwrite < kWriteDoneMin;
    // The answer is text up to its first zero byte, and never beyond what arrived.
    const size_t textLen = strnlen(answer, iread > 0 ? (size_t)iread : 0);
    const std::string_view text(answer, textLen);
    if (text.find(_ATOK) != std::string_view::npos) {
        RTLOG_AS(caller, "%s read: %.*s", name, (int)textLen, answer);
    } else {
        RTLOG_AS(caller, "iwrite:%d iread:%d Err!!!", iwrite, iread);
        failed = true;
    }

    if (failed) {
        port.bySta |= bRdErr;
        RTLOG_AS(caller, "Port:%s Test Err !!!", name);
        return -1;
    }
    port.bySta = kPortStaPass;
    RTLOG_AS(caller, "Port:%s Test OK !!! ", name);
    return 0;
}
