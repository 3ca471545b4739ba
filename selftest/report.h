// The JSON result report and the kept trace log.
#ifndef SELFTEST_REPORT_H
#define SELFTEST_REPORT_H

#include <string>

#include "portinfo.h"

extern const char* const kReportPath;  // "/NandFlash/tmp/rigChkEx.js"

// Appends the report head for the host name and start time to report.
void ComposeReportHead(std::string& report, const char* hostName, const char* dateTime);
// Appends the port list of every selected kind to report. Returns the overall
// result: 0 when every reported port passed, -1 otherwise.
int ComposeReportPorts(std::string& report, int iPortSelect, const _tag_ZrPortInfo_& info);

// Closes the report text (len characters composed; room for 3 more) and writes
// it to the report file. Returns 0; -1 when text is null or the file cannot be
// opened.
int RecordrigChk(char* text, int len);
// Moves the trace log to its kept name. Returns 0.
int mvLogFileName(const char* hostName, const char* dateTime);

#endif
