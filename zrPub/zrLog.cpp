// Trace log: every line is "%ld=[name][date time] message", opened, appended
// and closed per call so that a line written is on the medium at once.
#include "zrLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

const char* filename = "/NandFlash/tmp/rigChkEx.log";

namespace {
constexpr unsigned int kLinesBeforeRotation = 20000;  // lines appended before the file moves to ".bak"
constexpr size_t kLineBufSize = 20482;                // the finished line
constexpr size_t kMessageBufSize = 20484;             // a copy of the formatted message
constexpr size_t kMessageBound = 20480;               // at most 20,479 characters of message survive
const char kBackupSuffix[] = ".bak";

std::mutex g_logMutex;  // one line at a time, whichever thread logs
}  // namespace

int trace_log(const char* logName, const char* fmt, ...)
{
    if (logName == nullptr)
        return -1;

    static unsigned int icount = 0;
    static char buffer[kLineBufSize];
    static char message[kMessageBufSize];

    std::lock_guard<std::mutex> lock(g_logMutex);

    if (icount > kLinesBeforeRotation - 1) {
        std::string backup = std::string(filename) + kBackupSuffix;
        remove(backup.c_str());
        rename(filename, backup.c_str());
        icount = 0;
    }

    memset(buffer, 0, sizeof(buffer));
    memset(message, 0, sizeof(message));

    va_list args;
    va_start(args, fmt);
    vsnprintf(buffer, kMessageBound, fmt, args);
    va_end(args);
    memcpy(message, buffer, sizeof(buffer));

    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);

    // A message near the bound is cut so that the header and the terminator
    // still fit: the line is always whole and always terminated.
    int n = snprintf(buffer, sizeof(buffer), "%ld=[%s][%d-%02d-%02d %02d:%02d:%02d] %s", (long)icount, logName,
                     local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                     message);
    if (n < 0)
        buffer[0] = '\0';  // an output error leaves nothing to write

    FILE* fp = fopen(filename, "a+");
    if (fp != nullptr) {
        icount++;
        fputs(buffer, fp);
        fflush(fp);
        fclose(fp);
    }
    return 1;
}
