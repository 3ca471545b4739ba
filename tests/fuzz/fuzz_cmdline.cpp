// Fuzzes the command line parser: the input, split at zero bytes, is the
// argument vector after the program name. The selection must stay a set of
// the three kinds, the try count within 1..50 (untouched when no argument is
// a try count), and both must equal a reference read from the rules:
//   - "Port=", "port=", "Port:" or "port:" anywhere: the text after the first
//     ':' and the text after the first '=' each name DIO, RS232, RS485 or All;
//   - "Cnt=", "cnt=", "Cnt:" or "cnt:" anywhere: the text after the first ':'
//     (else after the first '=') is an integer of automatic base, cut to its
//     low 8 bits, then held to 1..50; a later count replaces an earlier one.
#include <cctype>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "cmdline.h"
#include "fuzz_check.h"

namespace {

constexpr size_t kMaxArgs = 64;
constexpr int kCountUntouched = -7;  // no try count can take this value
const char kProgName[] = "rigchkEx";

bool HasAny(const std::string& arg, const char* const (&keys)[4])
{
    for (const char* key : keys)
        if (arg.find(key) != std::string::npos)
            return true;
    return false;
}

// The value of a digit in base, or -1 when c is none.
int DigitValue(char c, int base)
{
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'z')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'Z')
        v = c - 'A' + 10;
    return v < base ? v : -1;
}

// An integer as C reads one with automatic base: blanks, a sign, "0x" for
// hex (only when a hex digit follows), a leading 0 for octal; it stops at the
// first character that does not fit and holds to the range of long.
long ReadInteger(const std::string& s)
{
    size_t i = 0;
    while (i < s.size() && isspace((unsigned char)s[i]))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    int base = 10;
    if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        if (i + 2 < s.size() && DigitValue(s[i + 2], 16) >= 0) {
            base = 16;
            i += 2;
        } else {
            return 0;  // "0x" without a hex digit is the number 0
        }
    } else if (i < s.size() && s[i] == '0') {
        base = 8;
    }
    // Accumulate the magnitude, stopping once it has left the range.
    unsigned __int128 magnitude = 0;
    const unsigned __int128 limit = (unsigned __int128)LONG_MAX + 1;
    bool over = false;
    for (; i < s.size() && DigitValue(s[i], base) >= 0; ++i) {
        if (!over) {
            magnitude = magnitude * (unsigned)base + (unsigned)DigitValue(s[i], base);
            over = magnitude > limit;
        }
    }
    if (negative)
        return (over || magnitude >= limit) ? LONG_MIN : -(long)magnitude;
    return (over || magnitude > (unsigned __int128)LONG_MAX) ? LONG_MAX : (long)magnitude;
}

int NamedKinds(const std::string& text)
{
    if (text == "DIO")
        return 1;
    if (text == "RS232")
        return 2;
    if (text == "RS485")
        return 4;
    if (text == "All")
        return 7;
    return 0;
}

// The text after the first sep in arg; npos-free: found says whether there is one.
std::string After(const std::string& arg, char sep, bool& found)
{
    size_t p = arg.find(sep);
    found = p != std::string::npos;
    return found ? arg.substr(p + 1) : std::string();
}

void Reference(const std::vector<std::string>& args, int& select, int& count)
{
    static const char* const kPort[4] = {"Port=", "port=", "Port:", "port:"};
    static const char* const kCnt[4] = {"Cnt=", "cnt=", "Cnt:", "cnt:"};
    for (const std::string& arg : args) {
        bool found = false;
        if (HasAny(arg, kPort)) {
            std::string text = After(arg, ':', found);
            if (found)
                select |= NamedKinds(text);
            text = After(arg, '=', found);
            if (found)
                select |= NamedKinds(text);
        }
        if (HasAny(arg, kCnt)) {
            std::string text = After(arg, ':', found);
            if (!found)
                text = After(arg, '=', found);
            int n = (int)((unsigned long)ReadInteger(text) & 0xFFu);
            count = n < 1 ? 1 : (n > 50 ? 50 : n);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args;
    const std::string input((const char*)data, size);
    for (size_t start = 0; start <= input.size() && args.size() < kMaxArgs;) {
        size_t end = input.find('\0', start);
        if (end == std::string::npos)
            end = input.size();
        args.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    if (size == 0)
        args.clear();

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(kProgName));
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    int iPortSelect = 0;
    int nTestCnt = kCountUntouched;
    FUZZ_CHECK(ParseCmdLine((int)argv.size() - 1, argv.data(), &iPortSelect, &nTestCnt) == 0);

    int refSelect = 0;
    int refCount = kCountUntouched;
    Reference(args, refSelect, refCount);
    FUZZ_CHECK(iPortSelect >= 0 && iPortSelect <= kSelAll);
    FUZZ_CHECK(nTestCnt == kCountUntouched || (nTestCnt >= kMinTries && nTestCnt <= kMaxTries));
    FUZZ_CHECK(iPortSelect == refSelect);
    FUZZ_CHECK(nTestCnt == refCount);
    return 0;
}
