// Checks of the fuzz targets: a broken property ends the run as a crash, so
// that libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond);                                \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (0)

// A folder of scratch files for this process, in memory where possible.
inline std::string FuzzScratchDir()
{
    static std::string dir;
    if (dir.empty()) {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(base) + "/rigfuzz.XXXXXX";
        FUZZ_CHECK(mkdtemp(&tmpl[0]) != nullptr);
        dir = tmpl;
        atexit([] { std::filesystem::remove_all(dir); });
    }
    return dir;
}

inline void FuzzPutFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    FUZZ_CHECK(!out.fail());
}

inline std::string FuzzSlurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
