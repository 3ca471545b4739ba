// The DO-to-DI loopback tests: every DO is switched and read back, then each
// DI of the pair wired to it is checked against the DO's state.
#include <unistd.h>

#include "diotests.h"
#include "zrDioIoctl.h"
#include "zrLog.h"

namespace {
constexpr unsigned int kSettleS = 1;    // inputs settle after the DOs are switched
constexpr unsigned char kLevelOff = 0;  // NC run: every DO off
constexpr unsigned char kLevelOn = 1;   // NO run: every DO on
constexpr unsigned int kDisPerDo = 2;   // DIs wired to each DO

// Clears the first n records to fdPort 0, bySta 0.
void ClearRecords(std::vector<_tag_PortData_>& v, unsigned short n)
{
    for (unsigned short i = 0; i < n; ++i) {
        v[i].fdPort = 0;
        v[i].bySta = 0;
    }
}

// Switches DO d to level (nothing for another level) and reads it back,
// logging under caller; switched tells whether the DO now reads level.
// Returns the write's result, or the previous one r when nothing was written.
int WriteDO(CzrDioIoctl& dio, unsigned short d, unsigned char level, int r, bool& switched, const char* caller)
{
    switched = false;
    if (level == kLevelOff)
        r = dio.SetDOOFF((unsigned char)d);
    else if (level == kLevelOn)
        r = dio.SetDOOutput((unsigned char)d);
    if (r < 0) {
        RTLOG_AS(caller, "Write DO%d:%d Err!", d, r);
        return r;
    }
    switched = dio.GetDOSta((unsigned char)d) == level;
    if (switched)
        RTLOG_AS(caller, "Write DO%d:%d!", d, level);
    else
        RTLOG_AS(caller, "Write DO%d:%d Err!", d, level);
    return r;
}

// Returns whether a DI reading diSta behaves as the first (m even) or second
// (m odd) DI of a pair whose DO reads doSta: the first is active while the DO
// is off, the second while it is on.
bool DIBehaves(unsigned short m, int doSta, int diSta)
{
    bool expectActive = (m % 2 != 0) ? (doSta == 1) : (doSta == 0);
    return expectActive ? (diSta != 0) : (diSta == 0);
}

// Checks every DI paired with DO l+1 and marks the records, logging under
// caller. A DO that could not be switched to the level is never marked passed,
// even when its DIs agree with the state it stayed in.
void CheckDO(CzrDioIoctl& dio, unsigned short l, unsigned short nDO, unsigned short nDI, bool switched,
             std::vector<_tag_PortData_>& doVec, std::vector<_tag_PortData_>& diVec, const char* caller)
{
    int doSta = dio.GetDOSta((unsigned char)(l + 1));
    const unsigned int period = kDisPerDo * nDO;
    const unsigned int first = kDisPerDo * l;  // position of DO l+1's first DI in each period
    for (unsigned short m = 0; m < nDI; ++m) {
        int diSta = dio.GetDISta((unsigned char)(m + 1));
        unsigned int p = m % period;
        if (p != first && p != first + 1)
            continue;
        if (diSta >= 0) {
            diVec[m].bySta |= DIBehaves(m, doSta, diSta) ? kPortStaPass : (unsigned char)bRdErr;
            if (doSta == diSta && switched)
                doVec[l].bySta = kPortStaPass;
        }
        if (diVec[m].bySta == kPortStaPass)
            RTLOG_AS(caller, "Write DO%d:%d Read DI%d:%d OK!", l + 1, doSta, m + 1, diSta);
        else
            RTLOG_AS(caller, "Write DO%d:%d Read DI%d:%d Err!", l + 1, doSta, m + 1, diSta);
    }
}
// Opens the DIO device and clears both record sets. Returns 0; -1, after
// logging under caller, when the device cannot be opened (the records stay
// untouched).
int OpenAndClear(CzrDioIoctl& dio, unsigned short nDO, unsigned short nDI, std::vector<_tag_PortData_>& doVec,
                 std::vector<_tag_PortData_>& diVec, const char* caller)
{
    if (dio.init(kZrDioPath, kZrDioInitFlag) != 0) {
        RTLOG_AS(caller, "#######Err OpenDio:%s##", kZrDioPath);
        return -1;
    }
    ClearRecords(doVec, nDO);
    ClearRecords(diVec, nDI);
    return 0;
}
}  // namespace

int DIOTest(unsigned short nDO, unsigned short nDI, unsigned char level, std::vector<_tag_PortData_>& doVec,
            std::vector<_tag_PortData_>& diVec)
{
    CzrDioIoctl dio;
    if (OpenAndClear(dio, nDO, nDI, doVec, diVec, __func__) < 0)
        return -1;

    int r = 0;
    std::vector<bool> switched(nDO, false);
    for (unsigned short d = 1; d <= nDO; ++d) {
        bool ok = false;
        r = WriteDO(dio, d, level, r, ok, __func__);
        switched[d - 1] = ok;
    }
    sleep(kSettleS);
    for (unsigned short l = 0; l < nDO; ++l)
        CheckDO(dio, l, nDO, nDI, switched[l], doVec, diVec, __func__);

    dio.uninit();
    return 0;
}

int DIOTest1(unsigned short nDO, unsigned short nDI, unsigned char level, std::vector<_tag_PortData_>& doVec,
             std::vector<_tag_PortData_>& diVec)
{
    CzrDioIoctl dio;
    if (OpenAndClear(dio, nDO, nDI, doVec, diVec, __func__) < 0)
        return -1;

    // Each DO is switched as often as the DIs would cover 2 per DO; with no DI
    // there is nothing to cover and no DO is switched.
    const unsigned int wanted = kDisPerDo * nDO;
    const unsigned int repeat = (nDI == 0) ? 0 : wanted / nDI + (wanted % nDI > 0 ? 1 : 0);
    const unsigned short pairs = nDI / kDisPerDo;
    int r = 0;
    bool switched = false;  // not judged: this test marks no record
    for (unsigned short d = 1; d <= pairs; ++d)
        for (unsigned int n = 0; n < repeat; ++n)
            r = WriteDO(dio, d, level, r, switched, __func__);

    dio.uninit();
    return 0;
}
