// Device-specific settings: which RS232 variant runs, the screen's frame head
// and the DO count, from the settings file and the device type (host name).
#include "settings.h"

#include <cstring>

#include "SimpleIni.h"
#include "portinfo.h"
#include "zrLog.h"

const char* const kSettingsFile = "rigchkEx.ini";

namespace {
const char kScreenSection[] = "DWin_SCREEN";
const char kModemSection[] = "4GTest";
const char kDOSection[] = "DO";
const char kFlagKey[] = "bTest";
const char kFrameHeadKey[] = "frameH";
const char kCountKey[] = "cnt";
const char kDefaultFrameHead[] = "A5 5A";
const char* const kScreenDeviceTypes[] = {"ZR-C3-P500A", "ZR-C3-P500B", "ZR-C3-P500C"};
const char kModemDeviceType[] = "ZR-H6-R70N";
constexpr unsigned short kModemDOCount = 2;

// Returns true when the device type has a display screen on its first RS232 port.
bool IsScreenDevice(const char* hostName)
{
    for (const char* type : kScreenDeviceTypes)
        if (strcmp(hostName, type) == 0)
            return true;
    return false;
}

// Returns true when the device type has a 4G modem on its last RS232 port.
bool IsModemDevice(const char* hostName)
{
    return strcmp(hostName, kModemDeviceType) == 0;
}
}  // namespace

DeviceSettings LoadDeviceSettings(SimpleIni& ini, const char* hostName, const char* caller)
{
    DeviceSettings settings;
    ini.Load(kSettingsFile);

    settings.bTestDWin = ini.GetValue<int>(kScreenSection, kFlagKey, 0);
    strDWinFramHead = ini.GetValue(kScreenSection, kFrameHeadKey, kDefaultFrameHead);
    if (IsScreenDevice(hostName))
        settings.bTestDWin = 1;
    RTLOG_AS(caller, "***Load rigchkEx.ini:***");
    RTLOG_AS(caller, "@:bTestDWin:%d", settings.bTestDWin);
    if (settings.bTestDWin != 0)
        RTLOG_AS(caller, "@:strDWinFramHead:%s", strDWinFramHead.c_str());
    RTLOG_AS(caller, "******************************************");

    settings.bTest4G = ini.GetValue<int>(kModemSection, kFlagKey, 0);
    if (IsModemDevice(hostName))
        settings.bTest4G = 1;
    RTLOG_AS(caller, "@:bTest4G:%d", settings.bTest4G);
    RTLOG_AS(caller, "******************************************");
    return settings;
}

unsigned short ApplyDOCountSettings(SimpleIni& ini, const char* hostName, unsigned short nDOCnt)
{
    if (IsModemDevice(hostName))
        nDOCnt = kModemDOCount;
    return (unsigned short)ini.GetValue<int>(kDOSection, kCountKey, nDOCnt);
}
