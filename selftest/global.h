// Chip identity of the i.MX6ULL, read from its OTP fuses.
#ifndef SELFTEST_GLOBAL_H
#define SELFTEST_GLOBAL_H

constexpr int kChipIdSize = 256;
extern char g_szimx6ullID[kChipIdSize];

// Fills buf (size bytes, zero-padded) with the last line the OTP command
// printed. Returns 0 when the command was started; -1 when buf is null or
// the command could not be started.
int Getimx6ullID(char* buf, int size);

#endif
