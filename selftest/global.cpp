// Chip identity of the i.MX6ULL: the OTP fuse word HW_OCOTP_CFG1.
#include "global.h"

#include <cstdio>
#include <cstring>

#include "shell.h"
#include "zrLog.h"

char g_szimx6ullID[kChipIdSize];

namespace {
constexpr size_t kCmdBufSize = 256;
constexpr size_t kLineBufSize = 256;
const char kChipIdCmd[] = "cat /sys/fsl_otp/HW_OCOTP_CFG1 | tr -d '\\n'";
}  // namespace

int Getimx6ullID(char* buf, int size)
{
    if (buf == nullptr)
        return -1;

    char cmd[kCmdBufSize];
    memset(cmd, 0, sizeof(cmd));
    snprintf(cmd, sizeof(cmd), "%s", kChipIdCmd);
    RTLOG("%s...", cmd);

    // The last line wins; the copy is cut to leave room for the terminator.
    if (ReadShellLines(
            cmd, kLineBufSize,
            [&](const char* line) {
                memset(buf, 0, size);
                if (size > 0)
                    strncpy(buf, line, size - 1);
            },
            __func__) < 0)
        return -1;
    return 0;
}
