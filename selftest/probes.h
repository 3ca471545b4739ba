// Attached-device probes: one request and one answer on an open serial port.
#ifndef SELFTEST_PROBES_H
#define SELFTEST_PROBES_H

#include <cstdint>

#include "portinfo.h"

// CRC-16/MODBUS of len bytes. Returns the CRC (0xFFFF over nothing).
uint16_t crc16(const unsigned char* data, unsigned char len);
// Returns the 16-bit word p[0] + 256 * p[1] (low byte first).
uint16_t wdFromBufLH(const unsigned char* p);
// Returns the 16-bit word 256 * p[0] + p[1] (high byte first).
uint16_t wdFromBuf(const unsigned char* p);

// Reads the Modbus temperature and humidity sensor. Returns 0; -1 on failure.
int THSensorTest(_tag_PortData_& port, const char* name);
// Reads the display screen's version register. Returns 0; -1 on failure.
int DWScreenTest(_tag_PortData_& port, const char* name);
// Sends "AT\r" to the 4G modem and looks for "OK". Returns 0; -1 on failure.
int Test4GModel(_tag_PortData_& port, const char* name);

#endif
