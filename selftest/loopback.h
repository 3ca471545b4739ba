// What the RS485 and RS232 loopback tests share: the status changes of a
// send and of a receipt, the received text, and the RS232 procedures that the
// fixed-device variants reuse.
#ifndef SELFTEST_LOOPBACK_H
#define SELFTEST_LOOPBACK_H

#include <cstring>
#include <vector>

#include "portinfo.h"

constexpr int kLoopReadTimeout = 200;  // passed to Read, which ignores it

// A complete send: bWrOK set, bWrErr cleared.
inline void MarkWriteOK(_tag_PortData_& port)
{
    port.bySta = (unsigned char)((port.bySta & ~bWrErr) | bWrOK);
}
// A short or failed send: bWrErr set, bWrOK cleared.
inline void MarkWriteErr(_tag_PortData_& port)
{
    port.bySta = (unsigned char)((port.bySta & ~bWrOK) | bWrErr);
}
// The test text received: bRdOK set, bRdErr cleared.
inline void MarkReadOK(_tag_PortData_& port)
{
    port.bySta = (unsigned char)((port.bySta & ~bRdErr) | bRdOK);
}
// Something else received: bRdErr set, bRdOK cleared.
inline void MarkReadErr(_tag_PortData_& port)
{
    port.bySta = (unsigned char)((port.bySta & ~bRdOK) | bRdErr);
}

// Returns whether msgrecv holds the test text, its terminating zero included.
inline bool RecvIsTestMsg()
{
    return strncmp(msgrecv, msgsend, kTestMsgLen) == 0;
}
// Returns the length of the text in msgrecv, which a full read leaves without
// a terminating zero; print it with "%.*s".
inline int RecvTextLen()
{
    return (int)strnlen(msgrecv, sizeof(msgrecv));
}

// A probe of a device on an open, set-up port. Returns 0; -1 on failure.
typedef int (*PortProbe)(_tag_PortData_& port, const char* name);

// Opens RS232 port idx, makes it blocking, sets it up, runs probe on it and
// closes it again; ports[idx] gets the outcome. The probe logs under its own
// name, the rest under caller (the RS232 test's name), as in the two functions
// below. Returns the probe's result; -1 when the port could not be opened or
// set up.
int RS232ProbePort(std::vector<_tag_PortData_>& ports, unsigned short idx, PortProbe probe, const char* caller);

// Tests the n RS232 ports from index first: pairs in order, the sensor on an
// odd one out (a single port is the sensor port). Returns 0; -1 when the last
// port failed to open or set up, or the sensor on it failed.
int RS232Ports(std::vector<_tag_PortData_>& ports, unsigned short first, unsigned short n, const char* caller);

// Exchanges the test text both ways between the open RS232 port a and port b
// (b may be closed) and marks both records.
void RS232PairExchange(std::vector<_tag_PortData_>& ports, unsigned short a, unsigned short b, const char* caller);

#endif
