// The test run sequence: one record and the tallies per port, the tries of the
// selected kinds, and the summary per port.
#include "runseq.h"

#include <unistd.h>

#include <cstdio>

#include "cmdline.h"
#include "diotests.h"
#include "serialtests.h"
#include "zrLog.h"

namespace {
constexpr useconds_t kBeforeTriesUs = 2000000;  // after the test banner
constexpr useconds_t kAfterTryUs = 1000000;     // after every try
constexpr unsigned int kBetweenNoNcS = 1;       // between the NO and NC DIO tests
constexpr unsigned char kLevelNO = 1;           // every DO on
constexpr unsigned char kLevelNC = 0;           // every DO off

// Appends n fresh records to v.
template <typename T>
void AppendFresh(std::vector<T>& v, unsigned short n)
{
    for (unsigned short i = 0; i < n; ++i)
        v.push_back(T());
}

// Creates the records of every kind, whatever kinds are selected.
void FillRecords(_tag_ZrPortInfo_& info)
{
    AppendFresh(info.vRS485, info.nRS485Cnt);
    AppendFresh(info.vRS485Sta, info.nRS485Cnt);
    AppendFresh(info.vRS232, info.nRS232Cnt);
    AppendFresh(info.vRS232Sta, info.nRS232Cnt);
    AppendFresh(info.vDO, info.nDOCnt);
    AppendFresh(info.vDONOSta, info.nDOCnt);
    AppendFresh(info.vDONCSta, info.nDOCnt);
    AppendFresh(info.vDI, info.nDICnt);
    AppendFresh(info.vDINOSta, info.nDICnt);
    AppendFresh(info.vDINCSta, info.nDICnt);
}

// One try of the RS232 kind, with the variant the settings choose.
void TryRS232(const RunParams& params, _tag_ZrPortInfo_& info)
{
    if (params.bTestDWin == 1)
        RS232Test_Fixed_screen(info.nRS232Cnt, info.vRS232);
    else if (params.bTest4G == 1)
        RS232Test_Fixed_4G(info.nRS232Cnt, info.vRS232);
    else
        RS232Test(info.nRS232Cnt, info.vRS232);
    LogTestDat(info.nRS232Cnt, info.vRS232, info.vRS232Sta);
}

// One try of the DIO kind, chosen by the channel counts; logged under caller.
void TryDIO(int t, _tag_ZrPortInfo_& info, const char* caller)
{
    if (info.nDICnt < 2 * info.nDOCnt) {
        RTLOG_AS(caller, "****Try Test DIO %d*****", t);
        DIOTest1(info.nDOCnt, info.nDICnt, kLevelNC, info.vDO, info.vDI);
        LogTestDat(info.nDOCnt, info.vDO, info.vDONOSta);
        LogTestDat(info.nDICnt, info.vDI, info.vDINOSta);
    } else if (info.nDOCnt == 0) {
        RTLOG_AS(caller, "****Try Test DI %d*****", t);
        DITest(info.nDICnt, info.vDI);
        LogTestDat(info.nDICnt, info.vDI, info.vDINOSta);
        LogTestDat(info.nDICnt, info.vDI, info.vDINCSta);
    } else {
        RTLOG_AS(caller, "****Try Test DIO_NO %d*****", t);
        DIOTest(info.nDOCnt, info.nDICnt, kLevelNO, info.vDO, info.vDI);
        LogTestDat(info.nDOCnt, info.vDO, info.vDONOSta);
        LogTestDat(info.nDICnt, info.vDI, info.vDINOSta);
        sleep(kBetweenNoNcS);
        printf("\n");
        RTLOG_AS(caller, "****Try Test DIO_NC %d*****", t);
        DIOTest(info.nDOCnt, info.nDICnt, kLevelNC, info.vDO, info.vDI);
        LogTestDat(info.nDOCnt, info.vDO, info.vDONCSta);
        LogTestDat(info.nDICnt, info.vDI, info.vDINCSta);
    }
    printf("\n");
}

// Logs the summary line of every port of the selected kinds under caller.
void LogSummary(int iPortSelect, const _tag_ZrPortInfo_& info, const char* caller)
{
    if (iPortSelect & kSelRS485) {
        for (size_t i = 0; i < info.vRS485Sta.size(); ++i)
            RTLOG_AS(caller, "RS485-%d:Test Succ Cnt %d,Error Cnt %d", (int)i + 1, info.vRS485Sta[i].nSuccCnt,
                     info.vRS485Sta[i].nErrCnt);
        printf("\n");
    }
    if (iPortSelect & kSelRS232) {
        for (size_t i = 0; i < info.vRS232Sta.size() && i < RS232strinfo.size(); ++i)
            RTLOG_AS(caller, "%s:Test Succ Cnt %d,Error Cnt %d", RS232strinfo[i].c_str(), info.vRS232Sta[i].nSuccCnt,
                     info.vRS232Sta[i].nErrCnt);
        printf("\n");
    }
    if (iPortSelect & kSelDIO) {
        for (size_t i = 0; i < info.vDONOSta.size(); ++i)
            RTLOG_AS(caller, "DO-%d:NO Test Succ Cnt %d,Error Cnt %d", (int)i + 1, info.vDONOSta[i].nSuccCnt,
                     info.vDONOSta[i].nErrCnt);
        for (size_t i = 0; i < info.vDONCSta.size(); ++i)
            RTLOG_AS(caller, "DO-%d:NC Test Succ Cnt %d,Error Cnt %d", (int)i + 1, info.vDONCSta[i].nSuccCnt,
                     info.vDONCSta[i].nErrCnt);
        printf("\n");
        for (size_t i = 0; i < info.vDINOSta.size(); ++i)
            RTLOG_AS(caller, "DI-%d:NO Test Succ Cnt %d,Error Cnt %d", (int)i + 1, info.vDINOSta[i].nSuccCnt,
                     info.vDINOSta[i].nErrCnt);
        for (size_t i = 0; i < info.vDINCSta.size(); ++i)
            RTLOG_AS(caller, "DI-%d:NC Test Succ Cnt %d,Error Cnt %d", (int)i + 1, info.vDINCSta[i].nSuccCnt,
                     info.vDINCSta[i].nErrCnt);
        printf("\n");
    }
}
}  // namespace

int LogTestDat(int n, std::vector<_tag_PortData_>& portVec, std::vector<_tag_TestSta_>& staVec)
{
    for (int i = 0; i < n; ++i) {
        if (portVec[i].bySta == kPortStaPass)
            staVec[i].nSuccCnt++;
        else
            staVec[i].nErrCnt++;
    }
    return n;
}

int RunTries(const RunParams& params, _tag_ZrPortInfo_& info, const char* caller)
{
    FillRecords(info);
    RTLOG_AS(caller, "***************** test *******************");
    usleep(kBeforeTriesUs);

    int t = 1;
    for (; t <= params.nTestCnt; ++t) {
        RTLOG_AS(caller, "-----Try Test %d-----", t);
        if (params.iPortSelect & kSelRS485) {
            RTLOG_AS(caller, "****Try Test RS485 %d*****", t);
            RS485Test(info.nRS485Cnt, info.vRS485);
            LogTestDat(info.nRS485Cnt, info.vRS485, info.vRS485Sta);
            printf("\n");
        }
        if (params.iPortSelect & kSelRS232) {
            RTLOG_AS(caller, "****Try Test RS232 %d*****", t);
            TryRS232(params, info);
            printf("\n");
        }
        if (params.iPortSelect & kSelDIO)
            TryDIO(t, info, caller);
        printf("\n");
        usleep(kAfterTryUs);
    }
    LogSummary(params.iPortSelect, info, caller);
    return t - 1;
}
