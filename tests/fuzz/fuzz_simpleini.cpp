// Fuzzes loading a settings file: every input loads, the tables hold only what
// the line rules allow, look-ups return the stored entries, and a saved file
// loads back to the same keys.
#include <cstdint>
#include <string>

#include "SimpleIni.h"
#include "fuzz_check.h"

namespace {

constexpr unsigned char kLastControlChar = 0x1F;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsTrimmed(const std::string& s)
{
    return s.empty() || (!IsBlank(s.front()) && !IsBlank(s.back()));
}

bool EndsInControl(const std::string& s)
{
    return !s.empty() && (unsigned char)s.back() <= kLastControlChar;
}

// A key line SaveAs writes in a form that loads back to the same key: a name
// that cannot pass for a header, and a line whose last byte survives loading.
bool WritesBackIntact(const std::string& key, const SimpleIni::IniLine& line)
{
    if (key.empty() || key[0] == '[')
        return false;
    if (!line.comment.empty())
        return !EndsInControl(line.comment);
    return !EndsInControl(line.value);
}

// Checks what one loaded table may hold and that look-ups return it.
// Returns true when every key is written back intact.
bool CheckTable(SimpleIni& ini)
{
    bool bIntact = true;
    for (SimpleIni::SectionIterator sec = ini.beginSection(); sec != ini.endSection(); ++sec) {
        const std::string& name = (*sec).first;
        FUZZ_CHECK(IsTrimmed(name));
        FUZZ_CHECK(name.find_first_of("]\n") == std::string::npos);
        FUZZ_CHECK(!(*sec).second.empty());
        for (SimpleIni::KeyIterator it = ini.beginKey(name); it != ini.endKey(name); ++it) {
            const std::string& key = (*it).first;
            const SimpleIni::IniLine& line = (*it).second;
            FUZZ_CHECK(IsTrimmed(key) && IsTrimmed(line.value));
            FUZZ_CHECK(key.find_first_of(";#=\n") == std::string::npos);
            FUZZ_CHECK(line.value.find_first_of(";#\n") == std::string::npos);
            FUZZ_CHECK(line.comment.find('\n') == std::string::npos);
            FUZZ_CHECK(ini.GetValue(name, key, std::string("\x01missing")) == line.value);
            FUZZ_CHECK(ini.GetComment(name, key) == line.comment);
            (void)ini.GetValue<int>(name, key, 0);
            if (!key.empty() && !WritesBackIntact(key, line))
                bIntact = false;
        }
    }
    return bIntact;
}

// Returns true when both objects hold the same keys, empty-named keys aside
// (SaveAs writes those as bare comments or empty lines).
bool SameNamedKeys(SimpleIni& a, SimpleIni& b)
{
    for (int pass = 0; pass < 2; ++pass) {
        SimpleIni& from = pass == 0 ? a : b;
        SimpleIni& other = pass == 0 ? b : a;
        for (SimpleIni::SectionIterator sec = from.beginSection(); sec != from.endSection(); ++sec) {
            const std::string& name = (*sec).first;
            for (SimpleIni::KeyIterator it = from.beginKey(name); it != from.endKey(name); ++it) {
                if ((*it).first.empty())
                    continue;
                if (other.GetValue(name, (*it).first, std::string(";")) != (*it).second.value ||
                    other.GetComment(name, (*it).first) != (*it).second.comment)
                    return false;
            }
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string dir = FuzzScratchDir();
    const std::string in = dir + "/in.ini";
    const std::string out = dir + "/out.ini";
    FuzzPutFile(in, std::string((const char*)data, size));

    SimpleIni ini("");
    FUZZ_CHECK(ini.Load(in));
    bool bIntact = CheckTable(ini);

    FUZZ_CHECK(ini.SaveAs(out));
    SimpleIni back(out);
    CheckTable(back);
    if (bIntact)
        FUZZ_CHECK(SameNamedKeys(ini, back));

    return 0;
}
