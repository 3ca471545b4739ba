// rigchkEx: factory self-test of the board's RS485, RS232 and DIO ports.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "SimpleIni.h"
#include "cmdline.h"
#include "endtips.h"
#include "global.h"
#include "portinfo.h"
#include "report.h"
#include "runseq.h"
#include "settings.h"
#include "shell.h"
#include "zrLog.h"

namespace {
const char kVersion[] = "1.0.0.2";
const char kOldLogsPattern[] = "/NandFlash/tmp/rigChkEx*log";
const char kMainAppName[] = "zrAppSU";
const char kDateTimeFormat[] = "%Y-%m-%d %H:%M:%S";
constexpr size_t kTextBufSize = 256;
constexpr unsigned int kBeforeTrayS = 2;
constexpr useconds_t kBeforeExitUs = 500000;
constexpr int kTrayStartParam1 = 2;
constexpr int kTrayStartParam2 = 0;
constexpr int kExitInventoryFailed = -1;

// Writes the report: its text with room for the tail, then the file.
void WriteReport(const std::string& report)
{
    std::vector<char> text(report.begin(), report.end());
    text.resize(report.size() + 3, '\0');
    RecordrigChk(text.data(), (int)report.size());
}

// Installs sig_handler for one signal and logs the outcome under caller.
void InstallHandler(int sig, const char* caller)
{
    if (signal(sig, sig_handler) == SIG_ERR)
        RTLOG_AS(caller, "signal err");
    else
        RTLOG_AS(caller, "signal %d", sig);
}

// Empties the four port vectors, then the six tally vectors.
void EmptyRecords(_tag_ZrPortInfo_& info)
{
    info.vRS485.clear();
    info.vRS232.clear();
    info.vDI.clear();
    info.vDO.clear();
    info.vRS485Sta.clear();
    info.vRS232Sta.clear();
    info.vDINOSta.clear();
    info.vDONOSta.clear();
    info.vDINCSta.clear();
    info.vDONCSta.clear();
}
}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);  // the operator sees each console line at once

    char hostName[kTextBufSize];
    char dateTime[kTextBufSize];
    char argText[kTextBufSize];
    memset(hostName, 0, sizeof(hostName));
    memset(dateTime, 0, sizeof(dateTime));

    RunShellf(argText, sizeof(argText), "rm -rf %s", kOldLogsPattern);

    memset(hostName, 0, sizeof(hostName));
    gethostname(hostName, sizeof(hostName) - 1);  // the last byte stays the terminator
    memset(argText, 0, sizeof(argText));
    std::string report;

    Getimx6ullID(g_szimx6ullID, kChipIdSize);

    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(dateTime, sizeof(dateTime), kDateTimeFormat, &local);

    for (int i = 1; i < argc; ++i) {
        size_t used = strlen(argText);
        snprintf(argText + used, sizeof(argText) - used, " %s", argv[i]);
    }

    RTLOG("%s %s", argv[0], argText);
    RTLOG("******************************************");
    RTLOG("hostname:%s", hostName);
    RTLOG("DateTime:%s", dateTime);
    RTLOG("Build:%s %s", __DATE__, __TIME__);
    RTLOG("Version:%s", kVersion);
    RTLOG("iMx6ull:%s", g_szimx6ullID);
    RTLOG("******************************************");

    SimpleIni ini("");
    DeviceSettings settings = LoadDeviceSettings(ini, hostName, __func__);

    RunShellf(argText, sizeof(argText), "rm -rf %s", kReportPath);

    int iPortSelect = 0;
    int nTestCnt = 1;
    int iTestSta = 0;
    ComposeReportHead(report, hostName, dateTime);

    PrintUsage(argv[0]);
    ParseCmdLine(argc, argv, &iPortSelect, &nTestCnt);
    if (iPortSelect == 0)
        iPortSelect = kSelAll;

    StartInterruptThread(__func__);
    InstallHandler(SIGINT, __func__);
    InstallHandler(SIGTERM, __func__);

    sleep(kBeforeTrayS);

    int qid = msgget(kTrayQueueKey, kTrayQueueFlags);
    SendMsgToTray(qid, kTrayStartParam1, kTrayStartParam2);

    RunShellf(argText, sizeof(argText), "killall %s", kMainAppName);

    if (initPortInfo(&zrPortInfo) < 0) {
        RTLOG("Err Get Port Info!!!");
        WriteReport(report);
        mvLogFileName(hostName, dateTime);
        TestEndTips(-2);
        WaitInterruptDone();
        return kExitInventoryFailed;
    }

    zrPortInfo.nDOCnt = ApplyDOCountSettings(ini, hostName, zrPortInfo.nDOCnt);

    RTLOG("@:nTestCnt:%d", nTestCnt);
    RTLOG("@:iPortSelect:%d", iPortSelect);
    RTLOG("***Load Port Info:***");
    RTLOG("@:RS485 Cnt:%d", zrPortInfo.nRS485Cnt);
    RTLOG("@:RS232 Cnt:%d", zrPortInfo.nRS232Cnt);
    RTLOG("@:DO Cnt:%d", zrPortInfo.nDOCnt);
    RTLOG("@:DI Cnt:%d", zrPortInfo.nDICnt);
    printf("\n");

    RunParams params = {nTestCnt, iPortSelect, settings.bTestDWin, settings.bTest4G};
    RunTries(params, zrPortInfo, __func__);
    iTestSta = ComposeReportPorts(report, iPortSelect, zrPortInfo);

    EmptyRecords(zrPortInfo);
    WriteReport(report);
    RTLOG("iTestSta:%d", iTestSta);
    mvLogFileName(hostName, dateTime);
    TestEndTips(iTestSta);
    usleep(kBeforeExitUs);
    WaitInterruptDone();
    return 0;
}
