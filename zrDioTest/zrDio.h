// Access to the board's DIO device: the base class, whose operations succeed
// without touching any device.
#ifndef ZRDIOTEST_ZRDIO_H
#define ZRDIOTEST_ZRDIO_H

constexpr char kZrDioPath[] = "/dev/zrdio";  // the board's DIO device
constexpr int kZrDioInitFlag = 1;            // the flag every test opens it with
constexpr int kDioBufSize = 256;             // m_szBuf

// DIO types: the kinds of channel the device counts.
constexpr int kDioTypeDI = 1;
constexpr int kDioTypeDO = 2;
constexpr int kDioTypeSysDI = 3;
constexpr int kDioTypeSysDO = 4;

// Bit 7 of a channel or group index selects the system channels.
constexpr unsigned char kDioSysIndexBase = 0x80;
constexpr int kDioGroupSize = 8;  // channels per group of the group reads

class CzrDio {
public:
    CzrDio();
    // Does not close the device; uninit does.
    ~CzrDio();

    // Opens path read-write and stores nFlag. Returns 0; -1 when path is null
    // or the device cannot be opened.
    int init(const char* path, int nFlag);
    // Closes the device if it was opened; the object is not used afterwards.
    void uninit();

    // Each returns the device's answer (0 in this class); negative on failure.
    virtual int GetDioNum(int DIOType);
    virtual int SetDOOutput(unsigned char DOIndex);
    virtual int SetDOOFF(unsigned char DOIndex);
    virtual int GetDOSta(unsigned char DOIndex);
    virtual int GetDISta(unsigned char DIIndex);
    virtual int GetDioBuffSta(int, int);
    virtual int GetAllDioSta();
    virtual int GetDIOSta(int, unsigned char) { return 0; }
    virtual int WriteDODateByte(unsigned char, unsigned char*, int) { return 0; }

    int m_nFlag;  // the flag of the last init
    int m_fdDio;  // the open device; -1 when not open
    char m_szBuf[kDioBufSize];

    CzrDio(const CzrDio&) = delete;
    CzrDio& operator=(const CzrDio&) = delete;
};

#endif
