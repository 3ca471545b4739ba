// Serial line setup, the timed read and the opening of a serial test port.
#include "serial.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "zrLog.h"

namespace {
constexpr cc_t kReadWaitDs = 2;  // a read waits at most 0.2 s for its first byte
constexpr cc_t kReadMinBytes = 0;

// Returns the line speed code for a plain baud rate; B115200 for any other.
speed_t SpeedCode(int speed)
{
    switch (speed) {
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B115200;
    }
}

// Returns the character size flag for a bit count; CS8 for any other.
tcflag_t SizeFlag(int bits)
{
    switch (bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

// Applies the parity letter (either case; any other letter is none).
void SetParity(termios& opt, char parity)
{
    switch (parity) {
    case 'O':
    case 'o':
        opt.c_cflag |= (PARENB | PARODD);  // odd parity generated and checked
        opt.c_iflag |= INPCK;              // input parity checking on
        break;
    case 'E':
    case 'e':
        opt.c_cflag |= PARENB;   // parity generated and checked
        opt.c_cflag &= ~PARODD;  // even
        opt.c_iflag |= INPCK;    // input parity checking on
        break;
    case 'S':
    case 's':
        opt.c_cflag &= ~PARENB;  // no parity bit
        opt.c_cflag &= ~CSTOPB;  // one stop bit (the stop setting decides again)
        opt.c_iflag |= INPCK;    // input parity checking on
        break;
    default:
        opt.c_cflag &= ~PARENB;  // no parity bit
        opt.c_iflag &= ~INPCK;   // input parity checking off
        break;
    }
}

// Applies the flow-control letter (either case; any other letter is none).
void SetFlow(termios& opt, char flow)
{
    switch (flow) {
    case 'H':
    case 'h':
        opt.c_cflag |= CRTSCTS;                  // RTS/CTS handshake
        opt.c_iflag &= ~(IXON | IXOFF | IXANY);  // no XON/XOFF
        break;
    case 'S':
    case 's':
        opt.c_cflag &= ~CRTSCTS;                // no RTS/CTS handshake
        opt.c_iflag |= (IXON | IXOFF | IXANY);  // XON/XOFF both ways, any byte restarts
        break;
    default:
        opt.c_cflag &= ~CRTSCTS;                         // no RTS/CTS handshake
        opt.c_iflag &= ~(IXON | IXOFF | IXANY);          // no XON/XOFF
        opt.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);  // raw input: no lines, echo or signal keys
        opt.c_iflag &= ~(INLCR | IGNCR | ICRNL);         // CR and NL arrive as sent
        opt.c_oflag &= ~(ONLCR | OCRNL);                 // CR and NL leave as written
        break;
    }
}
}  // namespace

void SetLineFlags(termios& opt, int speed, int bits, char parity, int stop, char flow)
{
    opt.c_cflag |= (CLOCAL | CREAD);  // ignore modem lines, enable the receiver

    speed_t code = SpeedCode(speed);
    cfsetispeed(&opt, code);
    cfsetospeed(&opt, code);

    opt.c_cflag &= ~CSIZE;  // character size is set anew
    opt.c_cflag |= SizeFlag(bits);

    SetParity(opt, parity);

    if (stop == 2)
        opt.c_cflag |= CSTOPB;  // two stop bits
    else
        opt.c_cflag &= ~CSTOPB;  // one stop bit

    SetFlow(opt, flow);

    opt.c_oflag &= ~OPOST;  // raw output
    opt.c_cc[VTIME] = kReadWaitDs;
    opt.c_cc[VMIN] = kReadMinBytes;  // a read returns with whatever has arrived
}

int set_opt(int fd, int speed, int bits, char parity, int stop, char flow)
{
    termios opt;
    if (tcgetattr(fd, &opt) != 0) {
        RTLOG("tcgetattr error");
        return -1;
    }
    tcflush(fd, TCIOFLUSH);  // drop whatever is queued both ways
    SetLineFlags(opt, speed, bits, parity, stop, flow);
    tcflush(fd, TCIOFLUSH);  // drop whatever arrived meanwhile
    if (tcsetattr(fd, TCSANOW, &opt) != 0) {
        RTLOG("serial setup error");
        return -1;
    }
    return 0;
}

int Read(int fd, char* buf, int len, int timeout)
{
    (void)timeout;  // the line's read wait bounds every read
    if (fd <= 0)
        return -1;

    int total = 0;
    ssize_t n = read(fd, buf, 1);
    if (n > 0 && buf[0] != 0x00)
        total = (int)n;  // a leading 0x00 is overwritten by the next read

    while (total < len) {
        n = read(fd, buf + total, (size_t)(len - total));
        if (n <= 0)
            break;
        total += (int)n;
    }
    return total;
}

int OpenTestPort(const char* path, int mode, const char* caller)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);  // no controlling terminal; open never waits
    if (fd < 1) {
        if (fd == 0)
            close(fd);  // 0 stands for "no port" in every record: never keep it
        RTLOG_AS(caller, "open Port:%s Err!!!", path);
        return 0;
    }
    if (mode == kOpenBlockingFirst)
        fcntl(fd, F_SETFL, 0);  // blocking: reads wait for the line's read wait
    if (set_opt(fd, kLineSpeed, kLineBits, kLineParity, kLineStop, kLineFlow) < 0) {
        RTLOG_AS(caller, "set_opt Port:%s Err!!!", path);
        close(fd);
        return 0;
    }
    if (mode == kOpenBlockingLast)
        fcntl(fd, F_SETFL, 0);  // blocking: reads wait for the line's read wait
    return fd;
}

int FormDevPath(char (&path)[kPortPathSize], const char* name)
{
    int n = snprintf(path, sizeof(path), "/dev/%s", name);
    return (n < 0 || (size_t)n >= sizeof(path)) ? -1 : 0;
}
