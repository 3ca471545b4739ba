// Trace log of the self-test: one line per call, appended to a single file.
#ifndef ZRPUB_ZRLOG_H
#define ZRPUB_ZRLOG_H

// Path of the trace log file; nothing changes it at run time.
extern const char* filename;

// Appends one stamped line to the trace log, rotating it to ".bak" after
// 20,000 lines. Returns 1 (also when the file could not be opened); -1 when
// logName is null. Safe to call from several threads: a line is never torn.
int trace_log(const char* logName, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Logs a message under "RtLog" with the source file, the function name fn and
// the line appended. A helper that does part of a test's or of main's work
// takes that function's name as its parameter caller and logs with
// RTLOG_AS(caller, ...), so that every line names the function it belongs to.
#define RTLOG_AS(fn, fmt, ...) trace_log("RtLog", fmt "\t%s %s line=%d\n", ##__VA_ARGS__, __FILE__, fn, __LINE__)

// Logs a message from the function that it stands in.
#define RTLOG(fmt, ...) RTLOG_AS(__func__, fmt, ##__VA_ARGS__)

#endif
