// Command line of the self-test: port selection and number of tries.
#ifndef SELFTEST_CMDLINE_H
#define SELFTEST_CMDLINE_H

// Bits of iPortSelect.
enum {
    kSelDIO = 1,
    kSelRS232 = 2,
    kSelRS485 = 4,
    kSelAll = kSelDIO | kSelRS232 | kSelRS485,
};
constexpr int kMinTries = 1;
constexpr int kMaxTries = 50;

// Examines argv[1..argc-1]: ORs the port selections into *iPortSelect and
// replaces *nTestCnt by every try count found. Returns 0.
int ParseCmdLine(int argc, char** argv, int* iPortSelect, int* nTestCnt);

// Prints the usage text with the program name as invoked.
void PrintUsage(const char* progName);

#endif
