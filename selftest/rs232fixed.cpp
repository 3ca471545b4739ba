// The RS232 tests of boards with a device on one RS232 port: the display
// screen on the first port or the 4G modem on the last. The device is probed
// first; the other ports are then tested as the RS232 loopback test does.
#include "loopback.h"
#include "probes.h"
#include "serialtests.h"
#include "zrLog.h"

namespace {
// Probes the device on port device, then tests the count-1 other ports from
// index first, logging under caller. Returns what the other ports give; -1 on
// no port.
int FixedDeviceTest(unsigned short count, std::vector<_tag_PortData_>& ports, unsigned short device,
                    unsigned short first, PortProbe probe, const char* caller)
{
    if (count == 0) {
        RTLOG_AS(caller, "nCnt:%d Err!!!", count);
        return -1;
    }
    RS232ProbePort(ports, device, probe, caller);  // its outcome lives in the record only
    return RS232Ports(ports, first, (unsigned short)(count - 1), caller);
}
}  // namespace

int RS232Test_Fixed_screen(unsigned short count, std::vector<_tag_PortData_>& ports)
{
    return FixedDeviceTest(count, ports, 0, 1, DWScreenTest, __func__);
}

int RS232Test_Fixed_4G(unsigned short count, std::vector<_tag_PortData_>& ports)
{
    return FixedDeviceTest(count, ports, (unsigned short)(count - 1), 0, Test4GModel, __func__);
}
