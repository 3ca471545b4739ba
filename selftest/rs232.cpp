// The RS232 loopback test: ports wired in pairs exchange the test text both
// ways; an odd port out carries the temperature and humidity sensor.
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "loopback.h"
#include "probes.h"
#include "serial.h"
#include "serialtests.h"
#include "zrLog.h"

namespace {
constexpr useconds_t kSendWaitUs = 300000;  // the partner has the whole text after 300 ms

// Forms the path of RS232 port idx into path and opens the port as mode says;
// a name too long for the path counts as a port that does not open. Failures
// are logged under caller. Returns the descriptor; 0 on failure.
int OpenRS232Port(char (&path)[kPortPathSize], unsigned short idx, int mode, const char* caller)
{
    if (FormDevPath(path, RS232strinfo[idx].c_str()) < 0) {
        RTLOG_AS(caller, "open Port:%s Err!!!", path);
        return 0;
    }
    return OpenTestPort(path, mode, caller);
}

// Returns the RS232 device name of port idx, as the exchange messages show it.
const char* PortName(unsigned short idx)
{
    return RS232strinfo[idx].c_str();
}

// Sends the whole test text on port. Returns the count written; -1 on failure.
int SendTestMsg(const _tag_PortData_& port)
{
    tcflush(port.fdPort, TCIOFLUSH);  // drop whatever is queued both ways
    return (int)write(port.fdPort, msgsend, kTestMsgLen);
}

// Reads the line of port into the cleared msgrecv. Returns the byte count.
int ReceiveTestMsg(const _tag_PortData_& port)
{
    memset(msgrecv, 0, sizeof(msgrecv));
    return Read(port.fdPort, msgrecv, sizeof(msgrecv), kLoopReadTimeout);
}

// After sender s has sent: the sender must not hear its own text. Logged
// under caller.
void EchoCheck(std::vector<_tag_PortData_>& ports, unsigned short s, const char* caller)
{
    int iread = ReceiveTestMsg(ports[s]);
    if (RecvIsTestMsg()) {
        MarkReadErr(ports[s]);
        RTLOG_AS(caller, "Write %s msgSend:%s,Read %s Error! iread:%d msg: %.*s", PortName(s), msgsend, PortName(s),
                 iread, RecvTextLen(), msgrecv);
    } else {
        RTLOG_AS(caller, "Write %s msgSend:%s,Read %s iread:%d msg: %.*s", PortName(s), msgsend, PortName(s), iread,
                 RecvTextLen(), msgrecv);
    }
}

// After sender s has sent: receiver r must have the whole text. Logged under
// caller.
void Receipt(std::vector<_tag_PortData_>& ports, unsigned short s, unsigned short r, const char* caller)
{
    int iread = ReceiveTestMsg(ports[r]);
    if (RecvIsTestMsg()) {
        RTLOG_AS(caller, "Write %s msgSend:%s,Read %s OK! iread:%d msg: %.*s", PortName(s), msgsend, PortName(r), iread,
                 RecvTextLen(), msgrecv);
        MarkReadOK(ports[r]);
    } else {
        MarkReadErr(ports[r]);
        RTLOG_AS(caller, "Write %s msgSend:%s,Read %s Error! iread:%d msg: %.*s", PortName(s), msgsend, PortName(r),
                 iread, RecvTextLen(), msgrecv);
    }
}
}  // namespace

void RS232PairExchange(std::vector<_tag_PortData_>& ports, unsigned short a, unsigned short b, const char* caller)
{
    int iwrite = SendTestMsg(ports[a]);
    if (iwrite < kTestMsgLen) {
        MarkWriteErr(ports[a]);
        RTLOG_AS(caller, "Write %s msgSend:%s,Err! iwrite=%d", PortName(a), msgsend, iwrite);
        return;
    }
    MarkWriteOK(ports[a]);
    usleep(kSendWaitUs);
    EchoCheck(ports, a, caller);

    if (ports[b].fdPort == 0)
        return;
    Receipt(ports, a, b, caller);

    iwrite = SendTestMsg(ports[b]);
    if (iwrite < kTestMsgLen) {
        MarkWriteErr(ports[b]);
        RTLOG_AS(caller, "Err Write %s msgSend:%s iwrite=%d", PortName(b), msgsend, iwrite);
        return;
    }
    MarkWriteOK(ports[b]);
    usleep(kSendWaitUs);
    EchoCheck(ports, b, caller);

    Receipt(ports, b, a, caller);
}

int RS232ProbePort(std::vector<_tag_PortData_>& ports, unsigned short idx, PortProbe probe, const char* caller)
{
    _tag_PortData_ record;
    char path[kPortPathSize];
    int result = -1;
    int fd = OpenRS232Port(path, idx, kOpenBlockingFirst, caller);
    if (fd > 0) {
        record.fdPort = fd;
        result = probe(record, path);
        close(fd);
        record.fdPort = 0;
    }
    ports[idx] = record;
    return result;
}

int RS232Ports(std::vector<_tag_PortData_>& ports, unsigned short first, unsigned short n, const char* caller)
{
    if (n == 0)
        return 0;
    if (n == 1)
        return RS232ProbePort(ports, first, THSensorTest, caller);

    const int end = first + n;
    char path[kPortPathSize];
    int result = 0;
    for (int i = first; i < end; ++i) {
        _tag_PortData_ record;
        record.fdPort = OpenRS232Port(path, (unsigned short)i, kOpenBlockingLast, caller);
        result = (record.fdPort > 0) ? 0 : -1;  // only the last port decides
        ports[i] = record;
    }

    for (int a = first; a < end; a += 2) {
        const int b = a + 1;
        if (ports[a].fdPort == 0)
            continue;  // the pair is skipped; a sensor port that did not open is not probed
        if (b == end) {
            FormDevPath(path, PortName((unsigned short)a));  // it opened, so its path fits
            result = THSensorTest(ports[a], path);
        } else {
            RS232PairExchange(ports, (unsigned short)a, (unsigned short)b, caller);
        }
    }

    for (int i = first; i < end; ++i) {
        if (ports[i].fdPort != 0) {
            close(ports[i].fdPort);
            ports[i].fdPort = 0;
        }
    }
    return result;
}

int RS232Test(unsigned short count, std::vector<_tag_PortData_>& ports)
{
    return RS232Ports(ports, 0, count, __func__);
}
