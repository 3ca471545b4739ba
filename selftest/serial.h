// Serial line setup and the timed read shared by every serial test and probe.
#ifndef SELFTEST_SERIAL_H
#define SELFTEST_SERIAL_H

// The line every serial test uses: 9600 baud, 8N1, no flow control.
constexpr int kLineSpeed = 9600;
constexpr int kLineBits = 8;
constexpr char kLineParity = 'n';
constexpr int kLineStop = 1;
constexpr char kLineFlow = 'N';

// Configures an open serial port: speed, character size, parity, stop bits,
// flow control, raw mode and a 0.2 s read wait. Returns 0; -1 on failure.
int set_opt(int fd, int speed, int bits, char parity, int stop, char flow);

// Collects up to len bytes into buf until len is reached or a read returns
// nothing; a leading 0x00 is dropped. Returns the byte count; -1 when fd < 1.
int Read(int fd, char* buf, int len, int timeout);

#endif
