// Attached-device probes: one request and one answer on an open serial port.
#ifndef SELFTEST_PROBES_H
#define SELFTEST_PROBES_H

#include <cstddef>
#include <cstdint>

#include "portinfo.h"

// The sensor's read request: slave 16, read holding registers 0 and 1, CRC.
constexpr int kSensorRequestLen = 8;
extern const unsigned char kSensorRequest[kSensorRequestLen];
constexpr int kSensorAnswerMin = 9;   // address, function, count, two words, CRC
constexpr int kSensorHumPos = 3;      // humidity word, high byte first
constexpr int kSensorTemPos = 5;      // temperature word, high byte first
constexpr double kSensorScale = 0.1;  // both words count tenths
constexpr int kProbeAnswerSize = 64;  // answer buffer of every probe
constexpr size_t kHexDumpSize = 64;   // text buffer of a logged answer dump

// CRC-16/MODBUS of len bytes. Returns the CRC (0xFFFF over nothing).
uint16_t crc16(const unsigned char* data, unsigned char len);
// Returns the 16-bit word p[0] + 256 * p[1] (low byte first).
uint16_t wdFromBufLH(const unsigned char* p);
// Returns the 16-bit word 256 * p[0] + p[1] (high byte first).
uint16_t wdFromBuf(const unsigned char* p);

// Returns whether the last two of n received bytes (n >= 2) are the CRC, low
// byte first, of the bytes before them.
bool SensorCrcOK(const unsigned char* answer, int n);

// Forms "<name> read:" and "%02X " per byte into out, as many bytes as fit.
// Returns the length of the text.
int FormHexDump(char* out, size_t size, const char* name, const unsigned char* data, int n);

// Reads the Modbus temperature and humidity sensor. Returns 0; -1 on failure.
int THSensorTest(_tag_PortData_& port, const char* name);
// Reads the display screen's version register. Returns 0; -1 on failure.
int DWScreenTest(_tag_PortData_& port, const char* name);
// Sends "AT\r" to the 4G modem and looks for "OK". Returns 0; -1 on failure.
int Test4GModel(_tag_PortData_& port, const char* name);

// What each probe does with what came back: answer is the probe's cleared
// buffer of kProbeAnswerSize bytes after Read put iread bytes into it (iread
// may be -1 or 0), iwrite what the write of the request returned. Each logs
// the answer and the outcome under caller (the probe's name) and marks port as
// its probe does; the write's own mark and message are the probe's.

constexpr int kDWinHeadLen = 2;  // the display screen's frame head

// Judges the sensor's answer. Returns 0; -1 on failure.
int JudgeSensorAnswer(_tag_PortData_& port, const char* name, int iwrite, const unsigned char* answer, int iread,
                      const char* caller);

// The outcome of a sensor read, from the RS232 or the single RS485 port,
// logged under caller: a pass sets the status to 3, a failure adds bRdErr.
// Returns 0; -1 on failure.
int SensorVerdict(_tag_PortData_& port, const char* name, bool failed, uint16_t tem, uint16_t hum, const char* caller);
// Judges the sensor's answer on the single RS485 port, whose request went out
// complete unless writeFailed; logged under caller (the RS485 test's name).
// Returns 0; -1 on failure.
int JudgeRS485SensorAnswer(_tag_PortData_& port, const char* name, bool writeFailed, const unsigned char* answer,
                           int iread, const char* caller);
// Reads the frame head from strDWinFramHead ("%02X %02X"); a byte the text
// does not give keeps its default A5 / 5A. Returns the number of bytes read
// from the text.
int DWinFrameHead(unsigned char (&head)[kDWinHeadLen]);
// Judges the screen's answer to a request that began with head. Returns 0;
// -1 on failure.
int JudgeScreenAnswer(_tag_PortData_& port, const char* name, const unsigned char (&head)[kDWinHeadLen], int iwrite,
                      const unsigned char* answer, int iread, const char* caller);
// Judges the modem's answer. Returns 0; -1 on failure.
int JudgeModemAnswer(_tag_PortData_& port, const char* name, int iwrite, const char* answer, int iread,
                     const char* caller);

#endif
