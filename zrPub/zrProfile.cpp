// Profile strings: single values of an INI-style file read and rewritten
// directly on the file's text.
#include "zrProfile.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "zrFileSwap.h"

namespace {

constexpr int kProfileTextMax = kProfileBufSize - 1;  // longest text the buffers hold
constexpr int kIntValueSize = 32;                     // buffer of read_profile_int
constexpr int kEndByte = 0xFF;                        // reading stops at this byte

// What reading a file into a buffer came to.
constexpr int kLoadWhole = 1;    // the whole file is in the buffer
constexpr int kLoadCut = 2;      // the buffer holds the text before a 0xFF byte
constexpr int kLoadMissing = 0;  // there is no such file
constexpr int kLoadFailed = -1;  // unreadable, or too large for the buffer

// Ends the process with an assertion message naming text, in every build type.
[[noreturn]] void RequireFailed(const char* text, const char* file, int line, const char* func)
{
    fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, func, text);
    abort();
}

#define ZR_REQUIRE(cond, text) ((cond) ? (void)0 : RequireFailed(text, __FILE__, __LINE__, __func__))

struct FreeText {
    void operator()(char* p) const { free(p); }
};
typedef std::unique_ptr<char[], FreeText> TextBuf;

// Returns a zero-filled buffer for a whole file's text; null when out of memory.
// (calloc: fresh pages come zeroed, only the pages used are touched.)
TextBuf NewTextBuf()
{
    return TextBuf((char*)calloc(kProfileBufSize, 1));
}

// Reads the file into buf up to its end or its first 0xFF byte, NUL-terminated.
// Returns kLoadWhole or kLoadCut with *file_size set; otherwise kLoadMissing or
// kLoadFailed with *file_size 0 and buf empty.
int LoadText(const char* file, char* buf, int* file_size)
{
    *file_size = 0;
    buf[0] = '\0';
    FILE* in = fopen(file, "r");
    if (in == nullptr)
        return errno == ENOENT ? kLoadMissing : kLoadFailed;

    struct stat st;
    if (fstat(fileno(in), &st) != 0 || (S_ISREG(st.st_mode) && st.st_size > kProfileTextMax)) {
        fclose(in);
        return kLoadFailed;
    }
    int i = 0;
    int c;
    while ((c = fgetc(in)) != EOF && c != kEndByte) {
        if (i == kProfileTextMax)
            break;
        buf[i++] = (char)c;
    }
    int iRet = c == kEndByte ? kLoadCut : kLoadWhole;
    if (ferror(in) || (c != EOF && c != kEndByte))
        iRet = kLoadFailed;
    fclose(in);
    if (iRet == kLoadFailed) {
        buf[0] = '\0';
        return kLoadFailed;
    }
    buf[i] = '\0';
    *file_size = i;
    return iRet;
}

// Appends len bytes to the text out of *nOut bytes. Returns 0; -1 when the
// text would no longer fit a buffer.
int AppendText(char* out, int* nOut, const char* data, size_t len)
{
    if (len > (size_t)(kProfileTextMax - *nOut))
        return -1;
    memcpy(out + *nOut, data, len);
    *nOut += (int)len;
    return 0;
}

// Appends a NUL-terminated string to the text out. Returns 0; -1 when it does not fit.
int AppendStr(char* out, int* nOut, const char* text)
{
    return AppendText(out, nOut, text, strlen(text));
}

// Builds in out the text buf with key in section set to value, given the
// positions parse_file found. Returns the new length; -1 when it does not fit.
int ComposeProfile(const char* section, const char* key, const char* value, const char* buf, int file_size, int sec_e,
                   int value_s, int value_e, char* out)
{
    int n = 0;
    int iRet = 0;
    if (value_s != -1) {
        iRet |= AppendText(out, &n, buf, (size_t)value_s);
        iRet |= AppendStr(out, &n, value);
        iRet |= AppendText(out, &n, buf + value_e, (size_t)(file_size - value_e));
    } else if (sec_e != -1) {
        iRet |= AppendText(out, &n, buf, (size_t)sec_e);
        // A header that ends the text without a line end gets one, so that
        // the new key stands on a line of its own.
        if (sec_e == file_size && !newline(buf[sec_e - 1]))
            iRet |= AppendStr(out, &n, "\n");
        iRet |= AppendStr(out, &n, key);
        iRet |= AppendStr(out, &n, "=");
        iRet |= AppendStr(out, &n, value);
        iRet |= AppendStr(out, &n, "\n");
        iRet |= AppendText(out, &n, buf + sec_e, (size_t)(file_size - sec_e));
    } else {
        iRet |= AppendText(out, &n, buf, (size_t)file_size);
        iRet |= AppendStr(out, &n, file_size == 0 ? "[" : "\n[");
        iRet |= AppendStr(out, &n, section);
        iRet |= AppendStr(out, &n, "]\n");
        iRet |= AppendStr(out, &n, key);
        iRet |= AppendStr(out, &n, "=");
        iRet |= AppendStr(out, &n, value);
        iRet |= AppendStr(out, &n, "\n");
    }
    return iRet == 0 ? n : -1;
}

// Replaces the file with the len bytes of text. Returns 0; -1 on failure (old file untouched).
int ReplaceFile(const char* file, const char* text, int len)
{
    _tag_FileSwap_ swap;
    if (OpenFileSwap(&swap, file) != 0)
        return -1;
    if (WriteFileSwap(&swap, text, (size_t)len) != 0) {
        DropFileSwap(&swap);
        return -1;
    }
    return CommitFileSwap(&swap);
}

}  // namespace

int newline(char c)
{
    return ('\n' == c || '\r' == c) ? 1 : 0;
}

int end_of_string(char c)
{
    return '\0' == c ? 1 : 0;
}

int left_barce(char c)
{
    return '[' == c ? 1 : 0;
}

int isright_brace(char c)
{
    return ']' == c ? 1 : 0;
}

int load_ini_file(const char* file, char* buf, int* file_size)
{
    *file_size = 0;
    ZR_REQUIRE(file != nullptr, "file !=__null");
    ZR_REQUIRE(buf != nullptr, "buf !=__null");
    int iRet = LoadText(file, buf, file_size);
    return (iRet == kLoadWhole || iRet == kLoadCut) ? 1 : 0;
}

int parse_file(const char* section, const char* key, const char* buf, int* sec_s, int* sec_e, int* key_s, int* key_e,
               int* value_s, int* value_e)
{
    ZR_REQUIRE(buf != nullptr, "buf!=__null");
    ZR_REQUIRE(section != nullptr && strlen(section), "section != __null && strlen(section)");
    ZR_REQUIRE(key != nullptr && strlen(key), "key != __null && strlen(key)");

    *sec_s = *sec_e = *key_s = *key_e = *value_s = *value_e = -1;
    int i = 0;
    while (!end_of_string(buf[i])) {
        if (!((i == 0 || newline(buf[i - 1])) && left_barce(buf[i]))) {
            ++i;
            continue;
        }
        int name_s = i + 1;
        do {
            ++i;
        } while (!isright_brace(buf[i]) && !end_of_string(buf[i]));
        // Only the header's length is compared: a header that is a leading
        // part of the requested name matches too.
        if (strncmp(buf + name_s, section, (size_t)(i - name_s)) != 0)
            continue;

        if (isright_brace(buf[i]))
            ++i;
        while (isspace((unsigned char)buf[i]))
            ++i;
        *sec_s = name_s;
        *sec_e = i;
        while (!(newline(buf[i - 1]) && left_barce(buf[i])) && !end_of_string(buf[i])) {
            int line_s = i;
            while (!newline(buf[i]) && !end_of_string(buf[i]))
                ++i;
            if (buf[line_s] != ';') {
                const char* eq = (const char*)memchr(buf + line_s, '=', (size_t)(i - line_s));
                int key_len = eq == nullptr ? -1 : (int)(eq - buf) - line_s;
                // Compared over the line key's length only, as for the header.
                if (eq != nullptr && strncmp(key, buf + line_s, (size_t)key_len) == 0) {
                    *key_s = line_s;
                    *key_e = line_s + key_len - 1;
                    *value_s = line_s + key_len + 1;
                    *value_e = i;
                    return 1;
                }
            }
            if (!end_of_string(buf[i]))
                ++i;
        }
    }
    return 0;
}

int read_profile_string(const char* section, const char* key, char* value, int size, const char* default_value,
                        const char* file)
{
    ZR_REQUIRE(section != nullptr && strlen(section), "section != __null && strlen(section)");
    ZR_REQUIRE(key != nullptr && strlen(key), "key != __null && strlen(key)");
    ZR_REQUIRE(value != nullptr, "value != __null");
    ZR_REQUIRE(size > 0, "size > 0");
    ZR_REQUIRE(file != nullptr && strlen(key), "file !=__null &&strlen(key)");

    TextBuf buf = NewTextBuf();
    int file_size = 0;
    int sec_s, sec_e, key_s, key_e, value_s, value_e;
    if (!buf || !load_ini_file(file, buf.get(), &file_size) ||
        !parse_file(section, key, buf.get(), &sec_s, &sec_e, &key_s, &key_e, &value_s, &value_e)) {
        if (default_value != nullptr)
            snprintf(value, (size_t)size, "%s", default_value);
        return 0;
    }
    memset(value, 0, (size_t)size);
    int nCopy = value_e - value_s;
    if (nCopy > size - 1)
        nCopy = size - 1;
    memcpy(value, buf.get() + value_s, (size_t)nCopy);
    value[nCopy] = '\0';
    return 1;
}

int read_profile_int(const char* section, const char* key, int default_value, const char* file)
{
    char value[kIntValueSize];
    memset(value, 0, sizeof(value));
    if (!read_profile_string(section, key, value, sizeof(value), nullptr, file))
        return default_value;
    long n = strtol(value, nullptr, 10);
    if (n > INT_MAX)
        return INT_MAX;
    if (n < INT_MIN)
        return INT_MIN;
    return (int)n;
}

int write_profile_string(const char* section, const char* key, const char* value, const char* file)
{
    ZR_REQUIRE(section != nullptr && strlen(section), "section != __null && strlen(section)");
    ZR_REQUIRE(key != nullptr && strlen(key), "key != __null && strlen(key)");
    ZR_REQUIRE(value != nullptr, "value != __null");
    ZR_REQUIRE(file != nullptr && strlen(key), "file !=__null &&strlen(key)");

    TextBuf buf = NewTextBuf();
    TextBuf w_buf = NewTextBuf();
    if (!buf || !w_buf)
        return 0;
    // Only a whole text may be written back: a missing file starts empty, an
    // unreadable, oversized or cut one is left alone.
    int file_size = 0;
    int iLoad = LoadText(file, buf.get(), &file_size);
    if (iLoad != kLoadWhole && iLoad != kLoadMissing)
        return 0;

    int sec_s = -1, sec_e = -1, key_s = -1, key_e = -1, value_s = -1, value_e = -1;
    if (file_size > 0)
        parse_file(section, key, buf.get(), &sec_s, &sec_e, &key_s, &key_e, &value_s, &value_e);
    int nLen = ComposeProfile(section, key, value, buf.get(), file_size, sec_e, value_s, value_e, w_buf.get());
    if (nLen < 0)
        return 0;
    return ReplaceFile(file, w_buf.get(), nLen) == 0 ? 1 : 0;
}
