// Command line: "Port=" / "Port:" selections and "Cnt=" / "Cnt:" try counts.
#include "cmdline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
const char* const kPortKeys[] = {"Port=", "port=", "Port:", "port:"};
const char* const kCntKeys[] = {"Cnt=", "cnt=", "Cnt:", "cnt:"};

struct PortName {
    const char* name;
    int bits;
};
const PortName kPortNames[] = {
    {"DIO", kSelDIO},
    {"RS232", kSelRS232},
    {"RS485", kSelRS485},
    {"All", kSelAll},
};

// Returns true when arg contains one of the keys.
template <size_t N>
bool ContainsAny(const char* arg, const char* const (&keys)[N])
{
    for (const char* key : keys)
        if (strstr(arg, key) != nullptr)
            return true;
    return false;
}

// Returns the selection bits named by text, compared whole; 0 for any other text.
int PortBits(const char* text)
{
    for (const PortName& port : kPortNames)
        if (strcmp(text, port.name) == 0)
            return port.bits;
    return 0;
}

// Returns the text after the first sep of arg; null when there is none.
const char* After(const char* arg, char sep)
{
    const char* p = strchr(arg, sep);
    return p != nullptr ? p + 1 : nullptr;
}

// Returns the try count read from text: any base, cut to 8 bits, then held to 1..50.
int TryCount(const char* text)
{
    int n = (unsigned char)strtol(text, nullptr, 0);
    if (n < kMinTries)
        n = kMinTries;
    if (n > kMaxTries)
        n = kMaxTries;
    return n;
}
}  // namespace

int ParseCmdLine(int argc, char** argv, int* iPortSelect, int* nTestCnt)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (ContainsAny(arg, kPortKeys)) {
            if (const char* text = After(arg, ':'))
                *iPortSelect |= PortBits(text);
            if (const char* text = After(arg, '='))
                *iPortSelect |= PortBits(text);
        }
        if (ContainsAny(arg, kCntKeys)) {
            const char* text = After(arg, ':');
            if (text == nullptr)
                text = After(arg, '=');
            *nTestCnt = TryCount(text);
        }
    }
    return 0;
}

void PrintUsage(const char* progName)
{
    printf("%s parameter\n", progName);
    printf("   Port:DIO(Port=DIO)\n");
    printf("   Port:RS232(Port=RS232)\n");
    printf("   Port:RS485(Port=RS485)\n");
    printf("   Port:All(Port=All)\n");
    printf("   Cnt:num(cnt=num)(num:1-50)\n");
}
