// The JSON result report and the kept trace log.
#include "report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cmdline.h"
#include "endtips.h"
#include "zrLog.h"

const char* const kReportPath = "/NandFlash/tmp/rigChkEx.js";

namespace {
const char kLiveLogPath[] = "/NandFlash/tmp/rigChkEx.log";
const char kKeptLogFormat[] = "/NandFlash/tmp/rigChkEx_%s_%s.log";
const char kReportTail[] = "]}";
constexpr mode_t kReportMode = 0644;
constexpr size_t kPathBufSize = 256;
constexpr size_t kEntryBufSize = 64;

// Returns text as the inside of a JSON string: quote, backslash and control
// characters escaped, every other byte as it is.
std::string JsonEscape(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out;
}

// Returns 1 when a tally passed (at least one success, no error), else 0.
int Verdict(const _tag_TestSta_& sta)
{
    return (sta.nSuccCnt >= 1 && sta.nErrCnt == 0) ? 1 : 0;
}

// Appends one entry {"name":"<name>","port":<verdict>} and its separator.
void AppendEntry(std::string& report, const std::string& name, int verdict, bool last)
{
    report += "{\"name\":\"" + JsonEscape(name) + "\",\"port\":" + std::to_string(verdict) + "}";
    if (!last)
        report += ",";
}

// Appends the entries of numbered channels "<prefix>-<i+1>". Returns the
// number of failed entries.
int AppendNumbered(std::string& report, const char* prefix, const std::vector<_tag_TestSta_>& no,
                   const std::vector<_tag_TestSta_>* nc)
{
    int failed = 0;
    for (size_t i = 0; i < no.size(); ++i) {
        int verdict = Verdict(no[i]);
        if (nc != nullptr)
            verdict = verdict && Verdict((*nc)[i]);
        if (verdict == 0)
            failed++;
        char name[kEntryBufSize];
        snprintf(name, sizeof(name), "%s-%zu", prefix, i + 1);
        AppendEntry(report, name, verdict, i + 1 == no.size());
    }
    return failed;
}
}  // namespace

void ComposeReportHead(std::string& report, const char* hostName, const char* dateTime)
{
    report += "{\"rigchkEx\":\"testData\",\"DevType\":\"" + JsonEscape(hostName) + "\",\"DateTime\":\"" +
              JsonEscape(dateTime) + "\" ,\"logDate\":[";
}

int ComposeReportPorts(std::string& report, int iPortSelect, const _tag_ZrPortInfo_& info)
{
    int failed = 0;
    if (iPortSelect & kSelRS485) {
        report += "{\"name\":\"RS485\",\"info\":[";
        failed += AppendNumbered(report, "RS485", info.vRS485Sta, nullptr);
        report += "]},";
    }
    if (iPortSelect & kSelRS232) {
        report += "{ \"name\":\"RS232\", \"info\":[ ";
        for (size_t i = 0; i < info.vRS232Sta.size(); ++i) {
            int verdict = Verdict(info.vRS232Sta[i]);
            if (verdict == 0)
                failed++;
            AppendEntry(report, i < RS232strinfo.size() ? RS232strinfo[i] : std::string(), verdict,
                        i + 1 == info.vRS232Sta.size());
        }
        report += "]},";
    }
    if (iPortSelect & kSelDIO) {
        report += "{ \"name\":\"DO\", \"info\":[ ";
        failed += AppendNumbered(report, "DO", info.vDONOSta, &info.vDONCSta);
        report += "]},{ \"name\":\"DI\", \"info\":[ ";
        failed += AppendNumbered(report, "DI", info.vDINOSta, &info.vDINCSta);
        report += "]},";
    }
    if (!report.empty() && report.back() == ',')
        report.back() = ' ';
    return failed > 0 ? -1 : 0;
}

int RecordrigChk(char* text, int len)
{
    if (text == nullptr)
        return -1;
    memcpy(text + len, kReportTail, sizeof(kReportTail));
    len += (int)strlen(kReportTail);

    int fd = open(kReportPath, O_RDWR | O_CREAT | O_TRUNC, kReportMode);
    if (fd < 0) {
        RTLOG("open file:%s error!!!", kReportPath);
        TestEndTips(-2);
        return -1;
    }
    int written = 0;
    while (written < len) {
        ssize_t n = write(fd, text + written, len - written);
        if (n <= 0) {
            RTLOG("write:%s error!!!", text);
            break;
        }
        written += (int)n;
    }
    if (written == len)
        RTLOG("write %s ok:%s !!!", kReportPath, text);
    close(fd);
    return 0;
}

int mvLogFileName(const char* hostName, const char* dateTime)
{
    char kept[kPathBufSize];
    memset(kept, 0, sizeof(kept));
    snprintf(kept, sizeof(kept), kKeptLogFormat, hostName, dateTime);
    rename(kLiveLogPath, kept);  // a missing log is no error
    return 0;
}
