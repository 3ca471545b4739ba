// The DIO tests of one try.
#ifndef SELFTEST_DIOTESTS_H
#define SELFTEST_DIOTESTS_H

#include <vector>

#include "portinfo.h"

class CzrDioIoctl;

// Switches every DO to level and checks the DI pair wired to each. Returns 0;
// -1 when the DIO device cannot be opened.
int DIOTest(unsigned short nDO, unsigned short nDI, unsigned char level, std::vector<_tag_PortData_>& doVec,
            std::vector<_tag_PortData_>& diVec);
// Switches and reads back the DOs only, for boards with fewer than two DIs
// per DO. Returns 0; -1 when the DIO device cannot be opened.
int DIOTest1(unsigned short nDO, unsigned short nDI, unsigned char level, std::vector<_tag_PortData_>& doVec,
             std::vector<_tag_PortData_>& diVec);
// Takes the DIs one at a time while output 3 toggles. Returns 0; -1 when the
// DIO device cannot be opened.
int DITest(unsigned short nDI, std::vector<_tag_PortData_>& diVec);
// Returns how many DIs other than DI k+1 (of n) read active.
int GetDIstaUn(int k, int n, CzrDioIoctl& dio);

#endif
