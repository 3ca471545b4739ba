// The DI switching test, for boards without DOs: each DI in turn must become
// active on its own while output 3 toggles.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "diotests.h"
#include "shell.h"
#include "zrDioIoctl.h"
#include "zrLog.h"

namespace {
constexpr size_t kCmdBufSize = 256;
constexpr int kOutToggle = 3;             // the signal output toggled while a DI is tested
constexpr int kMaxPolls = 14;             // reads of one DI before it is given up
constexpr useconds_t kPollUs = 500000;    // between two reads of a DI
constexpr unsigned int kBetweenDIsS = 3;  // output 3 off between two DIs
constexpr int kDIActive = 1;              // the only state that accepts the DI under test

// Polls DI k+1 until it reads active, the poll limit, or the end of the run;
// toggles output 3 after each read that is not active. Returns the last state read (0 if none).
int PollDI(int k, unsigned short nDI, CzrDioIoctl& dio, std::vector<_tag_PortData_>& diVec, char (&cmd)[kCmdBufSize],
           bool& soffNext)
{
    int diSta = 0;
    for (int nPoll = 0; nPoll < kMaxPolls; ++nPoll) {
        if (g_bRun == 0)
            break;
        diSta = dio.GetDISta((unsigned char)(k + 1));
        if (diSta == kDIActive) {
            if (GetDIstaUn(k, nDI, dio) == 0)
                diVec[k].bySta = kPortStaPass;
            break;
        }
        RunShellf(cmd, sizeof(cmd), "echo %s=%d > %s", soffNext ? "SOFF" : "SON", kOutToggle, kZrDioPath);
        soffNext = !soffNext;
        usleep(kPollUs);
    }
    return diSta;
}
}  // namespace

int GetDIstaUn(int k, int n, CzrDioIoctl& dio)
{
    int nActive = 0;
    for (int i = 0; i < n; ++i) {
        if (i == k)
            continue;
        int v = dio.GetDISta((unsigned char)(i + 1));
        if (v > 0)
            nActive++;
        RTLOG("DISta DI%d:%d", i + 1, v);
    }
    return nActive;
}

int DITest(unsigned short nDI, std::vector<_tag_PortData_>& diVec)
{
    CzrDioIoctl dio;
    char cmd[kCmdBufSize];
    memset(cmd, 0, sizeof(cmd));
    bool soffNext = true;
    if (dio.init(kZrDioPath, kZrDioInitFlag) != 0) {
        RTLOG("#######Err OpenDio:%s##", kZrDioPath);
        return -1;
    }
    for (unsigned short k = 0; k < nDI; ++k) {
        diVec[k].fdPort = 0;
        diVec[k].bySta = 0;
    }

    for (unsigned short k = 0; k < nDI; ++k) {
        int diSta = PollDI(k, nDI, dio, diVec, cmd, soffNext);
        RunShellf(cmd, sizeof(cmd), "echo SOFF=%d > %s", kOutToggle, kZrDioPath);
        if (diVec[k].bySta == kPortStaPass)
            RTLOG("DISta DI%d:%d OK!", k + 1, diSta);
        else
            RTLOG("DISta DI%d:%d Err!", k + 1, diSta);
        sleep(kBetweenDIsS);
        RunShellf(cmd, sizeof(cmd), "echo SON=%d > %s", kOutToggle, kZrDioPath);
    }
    RunShellf(cmd, sizeof(cmd), "echo SON=%d > %s", kOutToggle, kZrDioPath);

    dio.uninit();
    return 0;
}
