// Trace log of the self-test: one line per call, appended to a single file.
#ifndef ZRPUB_ZRLOG_H
#define ZRPUB_ZRLOG_H

// Path of the trace log file; nothing changes it at run time.
extern const char* filename;

// Appends one stamped line to the trace log, rotating it to ".bak" after
// 20,000 lines. Returns 1 (also when the file could not be opened); -1 when
// logName is null. Safe to call from several threads: a line is never torn.
int trace_log(const char* logName, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// Logs a message under "RtLog" with the caller's source file, function and
// line appended, as every message of the system is logged.
#define RTLOG(fmt, ...) \
    trace_log("RtLog", fmt "\t%s %s line=%d\n", ##__VA_ARGS__, __FILE__, __FUNCTION__, __LINE__)

#endif
