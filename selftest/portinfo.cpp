// The port inventory: serial ports from the /dev listing, DIO channels from
// the DIO configuration file.
#include "portinfo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell.h"
#include "zrLog.h"

_tag_ZrPortInfo_ zrPortInfo;
std::vector<std::string> RS232strinfo;
std::string strDWinFramHead;
std::atomic<int> g_bRun{1};

const char msgsend[kTestMsgLen] = "ABCDEFGHIJKLMNOPQRST1234567890!";
char msgrecv[kRecvBufSize];
const char _AT0[4] = "AT\r";
const char _ATOK[3] = "OK";

namespace {
constexpr size_t kCmdBufSize = 256;
constexpr size_t kLineBufSize = 4096;
constexpr size_t kMinKeyLineLen = 8;  // a key line of 7 characters or fewer is not counted
const char kCountRS485Cmd[] = "ls /dev | grep -c RS485";
const char kListRS232Cmd[] = "ls /dev | grep RS232";
const char kDioConfPath[] = "/etc/zrdio.conf";
const char kDIKey[] = "zr_di";
const char kDOKey[] = "zr_do";

// Recounts a key's channels from a configuration line: one, plus one per comma
// from the key to the end of the line. Lines too short to hold a list keep
// the previous count.
void CountKeyLine(const char* line, const char* key, unsigned char& counter, unsigned short& count)
{
    if (strlen(line) >= kMinKeyLineLen) {
        counter = 1;
        for (const char* p = strstr(line, key); *p != '\0'; ++p)
            if (*p == ',')
                counter++;
    }
    count = counter;
}
}  // namespace

int initPortInfo(_tag_ZrPortInfo_* pPortInfo)
{
    if (pPortInfo == nullptr) {
        RTLOG("pPortInfo==NULL error!");
        return -1;
    }

    char cmd[kCmdBufSize];
    memset(cmd, 0, sizeof(cmd));
    snprintf(cmd, sizeof(cmd), "%s", kCountRS485Cmd);
    if (ReadShellLines(
            cmd, kLineBufSize, [&](const char* line) { pPortInfo->nRS485Cnt = (unsigned short)atoi(line); }, __func__) <
        0)
        return -1;

    memset(cmd, 0, sizeof(cmd));
    snprintf(cmd, sizeof(cmd), "%s", kListRS232Cmd);
    if (ReadShellLines(
            cmd, kLineBufSize,
            [&](const char* line) {
                std::string name(line);
                if (!name.empty())
                    name.pop_back();  // the line feed
                RS232strinfo.push_back(name);
            },
            __func__) < 0)
        return -1;
    pPortInfo->nRS232Cnt = (unsigned short)RS232strinfo.size();
    RTLOG("RS232 cnt:%d", pPortInfo->nRS232Cnt);

    FILE* fp = fopen(kDioConfPath, "r");
    if (fp == nullptr) {
        RTLOG("fopen  error!");
        return -1;
    }
    ReadDioConf(fp, pPortInfo);
    fclose(fp);
    return 0;
}

int ReadDioConf(FILE* fp, _tag_ZrPortInfo_* pPortInfo)
{
    unsigned char diCounter = 0;
    unsigned char doCounter = 0;
    char line[kLineBufSize];
    for (;;) {
        memset(line, 0, sizeof(line));
        if (fgets(line, sizeof(line), fp) == nullptr)
            break;
        if (strstr(line, kDIKey) != nullptr)
            CountKeyLine(line, kDIKey, diCounter, pPortInfo->nDICnt);
        else if (strstr(line, kDOKey) != nullptr)
            CountKeyLine(line, kDOKey, doCounter, pPortInfo->nDOCnt);
    }
    return 0;
}
