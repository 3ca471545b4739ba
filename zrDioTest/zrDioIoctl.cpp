// The DIO device by ioctl: one call per operation, the argument passed by
// value, the driver's answer as the result.
#include "zrDioIoctl.h"

#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

#include "zrLog.h"

namespace {
constexpr size_t kNumTextSize = 64;  // the count line of GetDioNum

// Returns the number of groups of 8 that n channels fill; 0 for n <= 0.
int GroupCount(int n)
{
    if (n <= 0)
        return 0;
    return n / kDioGroupSize + (n % kDioGroupSize != 0 ? 1 : 0);
}
}  // namespace

CzrDioIoctl::CzrDioIoctl()
{
    m_nFlag = 0;
    m_fdDio = -1;
    memset(m_szBuf, 0, sizeof(m_szBuf));
}

CzrDioIoctl::~CzrDioIoctl()
{
}

int CzrDioIoctl::GetDioNum(int DIOType)
{
    if (m_fdDio == -1) {
        RTLOG("------Err m_fdDio:%d------", m_fdDio);
        return -1;
    }
    char text[kNumTextSize];
    memset(text, 0, sizeof(text));
    // Asks the driver how many channels of this kind the board has.
    int iret = ioctl(m_fdDio, ZRDIO_GET_NUM, (unsigned long)DIOType);
    if (iret < 0) {
        RTLOG("------Err iret:%d DIOType:%d------", iret, DIOType);
        return iret;
    }
    switch (DIOType) {
    case kDioTypeDI: snprintf(text, sizeof(text), "**DI Num=%d DIOType=%d\n", iret, DIOType); break;
    case kDioTypeDO: snprintf(text, sizeof(text), "**DO Num=%d DIOType=%d\n", iret, DIOType); break;
    case kDioTypeSysDI: snprintf(text, sizeof(text), "**SYSDI Num=%d DIOType=%d\n", iret, DIOType); break;
    case kDioTypeSysDO: snprintf(text, sizeof(text), "**SYSDO Num=%d DIOType=%d\n", iret, DIOType); break;
    default:
        snprintf(text, sizeof(text), "**SYSDO Num=%d\n", iret);
        RTLOG("------Err DIOType:%d,nCntNum:%d------", DIOType, iret);
        break;
    }
    fputs(text, stdout);
    return iret;
}

int CzrDioIoctl::SetDOOutput(unsigned char DOIndex)
{
    if (m_fdDio == -1) {
        RTLOG("------Err m_fdDio:%d------", m_fdDio);
        return -1;
    }
    // Switches the output on.
    int iret = ioctl(m_fdDio, ZRDIO_DO_ON, (unsigned long)DOIndex);
    if (iret < 0)
        RTLOG("------Err iret:%d DOIndex:0x%02X------", iret, DOIndex);
    return iret;
}

int CzrDioIoctl::SetDOOFF(unsigned char DOIndex)
{
    if (m_fdDio == -1) {
        RTLOG("------Err m_fdDio:%d------", m_fdDio);
        return -1;
    }
    // Switches the output off.
    int iret = ioctl(m_fdDio, ZRDIO_DO_OFF, (unsigned long)DOIndex);
    if (iret < 0)
        RTLOG("------Err iret:%d DOIndex:0x%02X------", iret, DOIndex);
    return iret;
}

int CzrDioIoctl::GetDOSta(unsigned char DOIndex)
{
    if (m_fdDio == -1) {
        RTLOG("------Err m_fdDio:%d------", m_fdDio);
        return -1;
    }
    // Reads back the state of the output.
    int iret = ioctl(m_fdDio, ZRDIO_RD_DO, (unsigned long)DOIndex);
    if (iret < 0)
        RTLOG("------Err ZRDIO_RD_DO:%d iret:%d DOIndex:0x%02X------", ZRDIO_RD_DO, iret, DOIndex);
    return iret;
}

int CzrDioIoctl::GetDISta(unsigned char DIIndex)
{
    if (m_fdDio == -1) {
        RTLOG("------Err m_fdDio:%d------", m_fdDio);
        return -1;
    }
    // Reads the state of the input.
    int iret = ioctl(m_fdDio, ZRDIO_RD_DI, (unsigned long)DIIndex);
    if (iret < 0)
        RTLOG("------Err ZRDIO_RD_DI:%d iret:%d DIIndex:0x%02X------", ZRDIO_RD_DI, iret, DIIndex);
    return iret;
}

int CzrDioIoctl::GetDIOSta(int nCMD, unsigned char DIOIndex)
{
    if (m_fdDio == -1) {
        RTLOG("------Err m_fdDio:%d------", m_fdDio);
        return -1;
    }
    if (nCMD < 0 || nCMD > ZRDIO_CMD_LAST) {
        RTLOG("------Err nCMD:%d DIOIndex:%d------", nCMD, DIOIndex);
        return -1;
    }
    // Issues the command as it stands.
    int iret = ioctl(m_fdDio, (unsigned long)nCMD, (unsigned long)DIOIndex);
    if (iret < 0)
        RTLOG("------Err iret:%d DIOIndex:%d------", iret, DIOIndex);
    else
        printf("**iret:0x%04X nCMD:%d DIOIndex:0x%02X\n", (unsigned int)iret, nCMD, DIOIndex);
    return iret;
}

int CzrDioIoctl::GetAllDioSta()
{
    if (m_fdDio == -1) {
        RTLOG("------Err m_fdDio:%d------", m_fdDio);
        return -1;
    }
    const unsigned char sysGroup = kDioSysIndexBase + 1;
    const unsigned char firstGroup = 1;

    int nDI = GetDioNum(kDioTypeDI);
    for (int i = 1; i <= nDI; ++i)
        GetDISta((unsigned char)i);
    int nDO = GetDioNum(kDioTypeDO);
    for (int i = 1; i <= nDO; ++i)
        GetDOSta((unsigned char)i);
    int nSysDI = GetDioNum(kDioTypeSysDI);
    for (int i = 1; i <= nSysDI; ++i)
        GetDISta((unsigned char)(kDioSysIndexBase + i));
    int nSysDO = GetDioNum(kDioTypeSysDO);
    for (int i = 1; i <= nSysDO; ++i)
        GetDOSta((unsigned char)(kDioSysIndexBase + i));

    // The labels are GBK: "\xC7\xB0" digit "\xD7\xE9" reads "first <digit> groups".
    fputs("**SYSDI1:", stdout);
    GetDIOSta(ZRDIO_RD_DI_GRP1, sysGroup);
    fputs("**\xC7\xB0"
          "2\xD7\xE9SYSDI:",
          stdout);
    GetDIOSta(ZRDIO_RD_DI_GRP2, sysGroup);
    fputs("**\xC7\xB0"
          "3\xD7\xE9SYSDI:",
          stdout);
    GetDIOSta(ZRDIO_RD_DI_GRP3, sysGroup);
    fputs("**SYSDO1:", stdout);
    GetDIOSta(ZRDIO_RD_DO_GRP1, sysGroup);
    fputs("**\xC7\xB0"
          "2\xD7\xE9SYSDO:",
          stdout);
    GetDIOSta(ZRDIO_RD_DO_GRP2, sysGroup);
    fputs("**\xC7\xB0"
          "3\xD7\xE9SYSDO:",
          stdout);
    GetDIOSta(ZRDIO_RD_DO_GRP3, sysGroup);

    for (int g = 1; g <= GroupCount(nDI); ++g) {
        printf("**DI%d:", g);
        GetDIOSta(ZRDIO_RD_DI_GRP1, (unsigned char)g);
    }
    fputs("**\xC7\xB0"
          "2\xD7\xE9"
          "DI:",
          stdout);
    GetDIOSta(ZRDIO_RD_DI_GRP2, firstGroup);
    fputs("**\xC7\xB0"
          "3\xD7\xE9"
          "DI:",
          stdout);
    GetDIOSta(ZRDIO_RD_DI_GRP3, firstGroup);

    for (int g = 1; g <= GroupCount(nDO); ++g) {
        printf("**DO%d:", g);
        GetDIOSta(ZRDIO_RD_DO_GRP1, (unsigned char)g);
    }
    fputs("**\xC7\xB0"
          "2\xD7\xE9"
          "DO:",
          stdout);
    GetDIOSta(ZRDIO_RD_DO_GRP2, firstGroup);
    fputs("**\xC7\xB0"
          "3\xD7\xE9"
          "DO:",
          stdout);
    GetDIOSta(ZRDIO_RD_DO_GRP3, firstGroup);
    return 0;
}
