// The RS485 and RS232 tests of one try.
#ifndef SELFTEST_SERIALTESTS_H
#define SELFTEST_SERIALTESTS_H

#include <vector>

#include "portinfo.h"

// One RS485 try: the sensor on a single port, bus loopback on two or more.
// Returns 0; -1 on no port, a failed sensor read, or a failed last port.
int RS485Test(unsigned short nCnt, std::vector<_tag_PortData_>& vPorts);
// One RS232 try: pairs in inventory order, the sensor on an odd port out.
// Returns 0; -1 when the last port (or the sensor on it) failed.
int RS232Test(unsigned short count, std::vector<_tag_PortData_>& ports);
// RS232 try with the display screen on port 0. Returns as RS232Test would for
// the remaining ports; -1 on no port.
int RS232Test_Fixed_screen(unsigned short count, std::vector<_tag_PortData_>& ports);
// RS232 try with the 4G modem on the last port. Returns as RS232Test would for
// the remaining ports; -1 on no port.
int RS232Test_Fixed_4G(unsigned short count, std::vector<_tag_PortData_>& ports);

#endif
