// The test run sequence: records, tries, tallies, summary and verdicts.
#ifndef SELFTEST_RUNSEQ_H
#define SELFTEST_RUNSEQ_H

#include <vector>

#include "portinfo.h"

// Adds the first n records into their tallies (3 is a pass). Returns n.
int LogTestDat(int n, std::vector<_tag_PortData_>& portVec, std::vector<_tag_TestSta_>& staVec);

// What the run sequence needs from start-up.
struct RunParams {
    int nTestCnt;
    int iPortSelect;
    int bTestDWin;
    int bTest4G;
};

// Creates the records, runs nTestCnt tries of the selected kinds and logs the
// summary, all under caller (the run sequence is main's). Returns the number of
// tries run.
int RunTries(const RunParams& params, _tag_ZrPortInfo_& info, const char* caller);

#endif
