// Fixed waits that a signal does not cut short.
#ifndef SELFTEST_FULLSLEEP_H
#define SELFTEST_FULLSLEEP_H

// Waits us microseconds, resuming after any signal that interrupts the wait.
// Returns 0 once the whole time has passed; -1 when the clock cannot be read.
int SleepFullUs(unsigned long us);

#endif
