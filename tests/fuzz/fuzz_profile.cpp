// Fuzzes the profile-string functions: the positions the scan reports are
// consistent with the text, reading agrees with the scan, and a value written
// reads back (or, when refused, the file is left as it was).
//
// Input: section, key and value as libFuzzer random-length strings (each ended
// by a backslash and one other byte), then the file's text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "zrProfile.h"

namespace {

constexpr size_t kMaxNameLen = 24;
constexpr size_t kMaxValueLen = 64;
constexpr int kValueBufSize = 128;  // larger than any value text of the input

bool IsLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

// s without NUL, 0xFF and the bytes of banned.
std::string Without(const std::string& s, const char* banned)
{
    std::string r;
    for (char c : s)
        if (c != '\0' && (unsigned char)c != 0xFF && strchr(banned, c) == nullptr)
            r += c;
    return r;
}

struct Found {
    int iRet, sec_s, sec_e, key_s, key_e, value_s, value_e;
};

// Runs the scan on text and checks that the positions describe it.
Found CheckParse(const std::string& section, const std::string& key, const char* text)
{
    Found f;
    f.iRet =
        parse_file(section.c_str(), key.c_str(), text, &f.sec_s, &f.sec_e, &f.key_s, &f.key_e, &f.value_s, &f.value_e);
    const int len = (int)strlen(text);
    if (f.sec_s != -1) {
        FUZZ_CHECK(f.sec_s >= 1 && f.sec_s <= len && text[f.sec_s - 1] == '[');
        FUZZ_CHECK(f.sec_e >= f.sec_s && f.sec_e <= len);
    }
    if (f.iRet == 0) {
        FUZZ_CHECK(f.key_s == -1 && f.key_e == -1 && f.value_s == -1 && f.value_e == -1);
        return f;
    }
    FUZZ_CHECK(f.iRet == 1 && f.sec_s != -1);
    FUZZ_CHECK(f.key_s >= f.sec_e && f.key_e >= f.key_s - 1);
    FUZZ_CHECK(f.value_s == f.key_e + 2 && text[f.key_e + 1] == '=');
    FUZZ_CHECK(f.value_e >= f.value_s && f.value_e <= len);
    FUZZ_CHECK(text[f.value_e] == '\0' || IsLineEnd(text[f.value_e]));
    FUZZ_CHECK(text[f.key_s] != ';');
    FUZZ_CHECK(f.key_s == f.sec_e || IsLineEnd(text[f.key_s - 1]));
    for (int i = f.key_s; i < f.value_e; ++i)
        FUZZ_CHECK(!IsLineEnd(text[i]));
    FUZZ_CHECK(memchr(text + f.key_s, '=', (size_t)(f.key_e + 1 - f.key_s)) == nullptr);
    FUZZ_CHECK(strncmp(key.c_str(), text + f.key_s, (size_t)(f.key_e + 1 - f.key_s)) == 0);
    return f;
}

// Returns true when every header at a line start closes on its own line, so
// that text appended after it cannot become part of a header name.
bool HeadersClose(const std::string& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '[' || (i > 0 && !IsLineEnd(text[i - 1])))
            continue;
        size_t close = text.find(']', i);
        size_t end = text.find_first_of("\n\r", i);
        if (close == std::string::npos || (end != std::string::npos && end < close))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    const std::string section = Without(fdp.ConsumeRandomLengthString(kMaxNameLen), "\n\r[]");
    const std::string key = Without(fdp.ConsumeRandomLengthString(kMaxNameLen), "\n\r[]=; \t\v\f");
    const std::string value = Without(fdp.ConsumeRandomLengthString(kMaxValueLen), "\n\r");
    const std::string text = fdp.ConsumeRemainingBytesAsString();
    if (section.empty() || key.empty())
        return 0;

    const std::string path = FuzzScratchDir() + "/p.ini";
    FuzzPutFile(path, text);

    // The readers see the text up to its first 0xFF byte.
    const std::string seen = text.substr(0, text.find('\xff'));
    Found f = CheckParse(section, key, seen.c_str());
    char buf[kValueBufSize];
    int iRead = read_profile_string(section.c_str(), key.c_str(), buf, sizeof(buf), "", path.c_str());
    FUZZ_CHECK(iRead == f.iRet);
    if (iRead == 1)
        FUZZ_CHECK(seen.compare((size_t)f.value_s, (size_t)(f.value_e - f.value_s), buf) == 0 ||
                   f.value_e - f.value_s >= kValueBufSize);

    int iWrite = write_profile_string(section.c_str(), key.c_str(), value.c_str(), path.c_str());
    if (iWrite == 0) {
        FUZZ_CHECK(seen.size() != text.size());  // only a cut text is refused at this size
        FUZZ_CHECK(FuzzSlurp(path) == text);
        return 0;
    }
    FUZZ_CHECK(seen.size() == text.size());
    std::string expected;
    if (f.iRet == 1)
        expected = text.substr(0, (size_t)f.value_s) + value + text.substr((size_t)f.value_e);
    else if (f.sec_e != -1)  // a header that ends the text gets its line end first
        expected = text.substr(0, (size_t)f.sec_e) +
                   ((size_t)f.sec_e == text.size() && !IsLineEnd(text[(size_t)f.sec_e - 1]) ? "\n" : "") + key + "=" +
                   value + "\n" + text.substr((size_t)f.sec_e);
    else
        expected = text + (text.empty() ? "[" : "\n[") + section + "]\n" + key + "=" + value + "\n";
    FUZZ_CHECK(FuzzSlurp(path) == expected);
    if (text.find('\0') == std::string::npos && HeadersClose(text)) {
        FUZZ_CHECK(read_profile_string(section.c_str(), key.c_str(), buf, sizeof(buf), "", path.c_str()) == 1);
        FUZZ_CHECK(value == buf);
    }
    return 0;
}
