// The records every test fills, the port inventory and the shared globals of
// the run driver.
#ifndef SELFTEST_PORTINFO_H
#define SELFTEST_PORTINFO_H

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

// Bits of _tag_PortData_::bySta. Setting an OK bit clears its error bit.
enum {
    bWrOK = 1,   // the write (serial send, or setting a DO) succeeded
    bRdOK = 2,   // the read-back (serial receive and compare, or DI check) succeeded
    bWrErr = 4,  // the write failed, or has not been done
    bRdErr = 8,  // the read-back failed, or has not been done
};
constexpr unsigned char kPortStaFresh = bWrErr | bRdErr;  // 12: nothing has passed yet
constexpr unsigned char kPortStaPass = bWrOK | bRdOK;     // 3: the only value that counts as a pass

// State of one port or channel within the current try.
struct _tag_PortData_ {
    int fdPort;           // open descriptor while a serial test holds the port, 0 otherwise
    unsigned char bySta;  // result of the current try, bits above
    _tag_PortData_() : fdPort(0), bySta(kPortStaFresh) {}
};

// Tally of one port over all tries.
struct _tag_TestSta_ {
    int nSuccCnt;
    int nErrCnt;
    _tag_TestSta_() : nSuccCnt(0), nErrCnt(0) {}
};

// The port inventory: counts from initPortInfo, one record and one or two
// tallies per port, filled by the run sequence.
struct _tag_ZrPortInfo_ {
    unsigned short nRS485Cnt = 0;
    unsigned short nRS232Cnt = 0;
    unsigned short nDICnt = 0;
    unsigned short nDOCnt = 0;
    std::vector<_tag_PortData_> vRS485;  // entry i is /dev/RS485-(i+1)
    std::vector<_tag_PortData_> vRS232;  // entry i is RS232strinfo[i]
    std::vector<_tag_PortData_> vDI;     // entry i is channel i+1
    std::vector<_tag_PortData_> vDO;
    std::vector<_tag_TestSta_> vRS485Sta;
    std::vector<_tag_TestSta_> vRS232Sta;
    std::vector<_tag_TestSta_> vDINOSta;  // also the single DO test and the DI switching test
    std::vector<_tag_TestSta_> vDONOSta;  // also the single DO test
    std::vector<_tag_TestSta_> vDINCSta;  // also the DI switching test
    std::vector<_tag_TestSta_> vDONCSta;
};

extern _tag_ZrPortInfo_ zrPortInfo;
extern std::vector<std::string> RS232strinfo;  // RS232 device names in listing order
extern std::string strDWinFramHead;            // the display screen's frame head as text
extern std::atomic<int> g_bRun;                // 1 until SIGINT or SIGTERM clears it

constexpr int kTestMsgLen = 32;    // the serial test text, its terminating zero included
constexpr int kRecvBufSize = 256;  // the serial tests' receive buffer
extern const char msgsend[kTestMsgLen];
extern char msgrecv[kRecvBufSize];
extern const char _AT0[4];   // the modem probe's request
extern const char _ATOK[3];  // the modem probe's expected answer

// Fills the four counts from the /dev listing and /etc/zrdio.conf and appends
// the RS232 names to RS232strinfo. Returns 0; -1 on failure.
int initPortInfo(_tag_ZrPortInfo_* pPortInfo);

// Reads the DIO configuration from the open file fp to its end: every line
// holding "zr_di" (or else "zr_do") and longer than 7 characters recounts
// that key's channels, one plus one per comma after the key, in an 8-bit
// counter; nDICnt and nDOCnt take the counter at each such line, so the last
// one wins. Lines are read in pieces of at most 4,095 characters. Returns 0.
int ReadDioConf(FILE* fp, _tag_ZrPortInfo_* pPortInfo);

#endif
