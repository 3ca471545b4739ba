// The DIO base class: opening and closing the device, and placeholder
// operations that answer 0.
#include "zrDio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "zrLog.h"

CzrDio::CzrDio() : m_nFlag(0), m_fdDio(-1)
{
    memset(m_szBuf, 0, sizeof(m_szBuf));
}

CzrDio::~CzrDio()
{
}

int CzrDio::init(const char* path, int nFlag)
{
    int iret = -1;
    if (path != nullptr) {
        m_fdDio = open(path, O_RDWR);
        if (m_fdDio != -1) {
            RTLOG("---------------succ open DIO:%s---------------", path);
            iret = 0;
        }
    }
    m_nFlag = nFlag;
    return iret;
}

void CzrDio::uninit()
{
    if (m_fdDio != -1)
        close(m_fdDio);
}

int CzrDio::GetDioNum(int)
{
    return 0;
}

int CzrDio::SetDOOutput(unsigned char)
{
    return 0;
}

int CzrDio::SetDOOFF(unsigned char)
{
    return 0;
}

int CzrDio::GetDOSta(unsigned char)
{
    return 0;
}

int CzrDio::GetDISta(unsigned char)
{
    return 0;
}

int CzrDio::GetDioBuffSta(int, int)
{
    return 0;
}

int CzrDio::GetAllDioSta()
{
    return 0;
}
