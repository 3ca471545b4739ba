// Serial line setup and the timed read shared by every serial test and probe.
#ifndef SELFTEST_SERIAL_H
#define SELFTEST_SERIAL_H

#include <termios.h>

#include <cstddef>

// The line every serial test uses: 9600 baud, 8N1, no flow control.
constexpr int kLineSpeed = 9600;
constexpr int kLineBits = 8;
constexpr char kLineParity = 'n';
constexpr int kLineStop = 1;
constexpr char kLineFlow = 'N';

// Device paths of the serial tests are formed in buffers of this size.
constexpr size_t kPortPathSize = 32;

// How OpenTestPort leaves a port it has opened.
enum {
    kOpenNonBlocking = 0,    // reads return at once (RS485)
    kOpenBlockingFirst = 1,  // made blocking right after open, then set up (a single RS232 port)
    kOpenBlockingLast = 2,   // set up, then made blocking (the RS232 open loop)
};

// Changes opt in place to the given speed, character size, parity, stop bits
// and flow control, raw output and a 0.2 s read wait; every other flag stays.
void SetLineFlags(termios& opt, int speed, int bits, char parity, int stop, char flow);

// Configures an open serial port: speed, character size, parity, stop bits,
// flow control, raw mode and a 0.2 s read wait. Returns 0; -1 on failure.
int set_opt(int fd, int speed, int bits, char parity, int stop, char flow);

// Collects up to len bytes into buf until len is reached or a read returns
// nothing; a leading 0x00 is dropped. Returns the byte count; -1 when fd < 1.
int Read(int fd, char* buf, int len, int timeout);

// Opens a serial test port and gives it the test line, blocking or not as mode
// says; a port that fails is logged under caller and left closed. Returns the
// descriptor; 0 on failure.
int OpenTestPort(const char* path, int mode, const char* caller);

// Forms "/dev/<name>" into path. Returns 0; -1 when the name does not fit
// (path then holds the cut text).
int FormDevPath(char (&path)[kPortPathSize], const char* name);

#endif
