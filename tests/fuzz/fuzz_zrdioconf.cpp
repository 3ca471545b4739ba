// Fuzzes the reading of the DIO configuration file: any content, with zero
// bytes, lines longer than the line buffer, no final line feed, hundreds of
// commas, must read safely, and the two counts must equal a reference built
// from the rules:
//   - the file is read in pieces as a line reader with a 4,096-byte buffer
//     takes it: up to and including a line feed, at most 4,095 bytes;
//   - a piece is seen up to its first zero byte;
//   - a piece holding "zr_di" (else "zr_do") and longer than 7 characters
//     recounts that key: 1 plus the commas from the key on, in 8 bits; the
//     key's count then takes the counter, so the last such piece wins;
//   - a count no piece names keeps what the record held.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "portinfo.h"

namespace {

constexpr size_t kPieceMax = 4095;
constexpr size_t kMinCountedLen = 8;
constexpr unsigned short kUntouched = 999;  // no counter can reach this

struct KeyCount {
    const char* key;
    unsigned int counter;  // kept to 8 bits below
    unsigned int count;
};

void RefPiece(const std::string& piece, KeyCount& di, KeyCount& dout)
{
    const std::string seen = piece.substr(0, piece.find('\0'));
    KeyCount* k = nullptr;
    if (seen.find(di.key) != std::string::npos)
        k = &di;
    else if (seen.find(dout.key) != std::string::npos)
        k = &dout;
    if (k == nullptr)
        return;
    if (seen.size() >= kMinCountedLen) {
        unsigned int commas = 0;
        for (size_t i = seen.find(k->key); i < seen.size(); ++i)
            commas += seen[i] == ',';
        k->counter = (1 + commas) % 256;
    }
    k->count = k->counter;
}

void Reference(const std::string& text, unsigned int& nDI, unsigned int& nDO)
{
    KeyCount di = {"zr_di", 0, nDI};
    KeyCount dout = {"zr_do", 0, nDO};
    size_t pos = 0;
    while (pos < text.size()) {
        size_t len = text.size() - pos;
        size_t lf = text.find('\n', pos);
        if (lf != std::string::npos && lf - pos + 1 < len)
            len = lf - pos + 1;
        if (len > kPieceMax)
            len = kPieceMax;
        RefPiece(text.substr(pos, len), di, dout);
        pos += len;
    }
    nDI = di.count;
    nDO = dout.count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text((const char*)data, size);
    std::vector<char> bytes(text.begin(), text.end());
    bytes.push_back('\0');  // a buffer to point at even for an empty file
    FILE* fp = fmemopen(bytes.data(), size, "r");
    FUZZ_CHECK(fp != nullptr);

    _tag_ZrPortInfo_ info;
    info.nDICnt = kUntouched;
    info.nDOCnt = kUntouched;
    info.nRS485Cnt = 3;
    info.nRS232Cnt = 5;
    FUZZ_CHECK(ReadDioConf(fp, &info) == 0);
    fclose(fp);

    unsigned int refDI = kUntouched;
    unsigned int refDO = kUntouched;
    Reference(text, refDI, refDO);
    FUZZ_CHECK(info.nDICnt == refDI);
    FUZZ_CHECK(info.nDOCnt == refDO);
    FUZZ_CHECK(info.nDICnt == kUntouched || info.nDICnt <= 255);
    FUZZ_CHECK(info.nDOCnt == kUntouched || info.nDOCnt <= 255);
    FUZZ_CHECK(info.nRS485Cnt == 3 && info.nRS232Cnt == 5);
    FUZZ_CHECK(info.vDI.empty() && info.vDO.empty());
    return 0;
}
