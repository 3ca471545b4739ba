// The text dump of a received answer, as the probes log it.
#include <cstdio>

#include "probes.h"

namespace {
constexpr size_t kHexByteLen = 3;  // "%02X " per byte
}

int FormHexDump(char* out, size_t size, const char* name, const unsigned char* data, int n)
{
    int head = snprintf(out, size, "%s read:", name);
    if (head < 0) {
        out[0] = '\0';
        return 0;
    }
    size_t len = (size_t)head;
    if (len >= size)
        return (int)(size - 1);  // the name alone fills the buffer
    for (int i = 0; i < n && len + kHexByteLen < size; ++i)
        len += (size_t)snprintf(out + len, size - len, "%02X ", data[i]);
    return (int)len;
}
