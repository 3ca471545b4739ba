// Access to the board's DIO device by ioctl: the command numbers of the DIO
// driver and the class that issues them.
#ifndef ZRDIOTEST_ZRDIOIOCTL_H
#define ZRDIOTEST_ZRDIOIOCTL_H

#include "zrDio.h"

// Commands of the DIO driver. The argument is an integer passed by value:
// a channel index, a group index or a DIO type. 2 to 9 are not used here.
constexpr int ZRDIO_DO_OFF = 0;       // DO index: switch the output off
constexpr int ZRDIO_DO_ON = 1;        // DO index: switch the output on
constexpr int ZRDIO_RD_DI = 10;       // DI index: 1 active, 0 inactive
constexpr int ZRDIO_RD_DO = 11;       // DO index: 1 on, 0 off
constexpr int ZRDIO_GET_NUM = 12;     // DIO type: number of channels of that kind
constexpr int ZRDIO_RD_DI_GRP1 = 13;  // group index: state word of one group of inputs
constexpr int ZRDIO_RD_DI_GRP2 = 14;  // first group: state word of the first two input groups
constexpr int ZRDIO_RD_DI_GRP3 = 15;  // first group: state word of the first three input groups
constexpr int ZRDIO_RD_DO_GRP1 = 16;  // group index: state word of one group of outputs
constexpr int ZRDIO_RD_DO_GRP2 = 17;  // first group: state word of the first two output groups
constexpr int ZRDIO_RD_DO_GRP3 = 18;  // first group: state word of the first three output groups
constexpr int ZRDIO_CMD_LAST = ZRDIO_RD_DO_GRP3;

class CzrDioIoctl : public CzrDio {
public:
    CzrDioIoctl();
    ~CzrDioIoctl();

    // Each returns the driver's answer (count, state or state word); the
    // driver's negative result on failure; -1 when the device is not open.
    int GetDioNum(int DIOType) override;
    int SetDOOutput(unsigned char DOIndex) override;
    int SetDOOFF(unsigned char DOIndex) override;
    int GetDOSta(unsigned char DOIndex) override;
    int GetDISta(unsigned char DIIndex) override;
    // Returns 0 after dumping every count, channel and group to the console;
    // -1 when the device is not open.
    int GetAllDioSta() override;
    // Issues any command 0 to 18. Returns the driver's answer; -1 for another
    // command or when the device is not open.
    int GetDIOSta(int nCMD, unsigned char DIOIndex) override;
};

#endif
