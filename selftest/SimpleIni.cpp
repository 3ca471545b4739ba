// The settings file held in memory: loading, look-ups, edits and writing back.
#include "SimpleIni.h"

#include "zrFileSwap.h"

namespace {
constexpr unsigned char kLastControlChar = 0x1F;
const char kBlanks[] = " \t";
}  // namespace

const char SimpleIni::kAbsent[] = ";";

SimpleIni::SimpleIni(const std::string& path)
{
    if (!path.empty() && !Load(path))
        throw std::string("Unable to open the file " + path + " in read mode.");
}

SimpleIni::~SimpleIni()
{
    Free();
}

bool SimpleIni::Load(const std::string& path)
{
    Free();
    this->path = path;
    std::ifstream in(path);
    if (!in.is_open())
        return false;

    std::string section;
    std::string pending;  // comment lines waiting for the key or header they stand before
    std::string line;
    while (std::getline(in, line)) {
        ParasitCar(line);
        if (line.empty())
            continue;

        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos)
                close = line.size();
            section = Trim(line.substr(1, close - 1));
            if (!pending.empty()) {
                comments[section][""] = pending;
                pending.clear();
            }
            continue;
        }

        IniLine keyLine;
        size_t mark = line.find_first_of(";#");
        if (mark == 0) {
            if (!pending.empty())
                pending += '\n';
            pending += line.substr(1);
            continue;
        }
        if (mark != std::string::npos) {
            keyLine.comment = line.substr(mark + 1);
            line.erase(mark);
        }
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            keyLine.value = Trim(line.substr(eq + 1));
            line.erase(eq);
        }
        std::string key = Trim(line);
        sections[section][key] = keyLine;
        if (!pending.empty()) {
            comments[section][key] = pending;
            pending.clear();
        }
    }
    return true;
}

bool SimpleIni::Save()
{
    return SaveAs(path);
}

bool SimpleIni::SaveAs(const std::string& path)
{
    _tag_FileSwap_ swap;
    if (OpenFileSwap(&swap, path.c_str()) != 0)
        return false;
    std::ofstream out(swap.szTmpPath, std::ios::out | std::ios::trunc | std::ios::binary);

    bool bFirst = true;
    for (SectionTable::value_type& sec : sections) {
        if (!bFirst)
            out << '\n';
        bFirst = false;
        SaveDescription(sec.first, "", out);
        if (!sec.first.empty())
            out << '[' << sec.first << "]\n";
        for (KeyTable::value_type& key : sec.second) {
            SaveDescription(sec.first, key.first, out);
            if (!key.first.empty())
                out << key.first << '=' << key.second.value;
            if (!key.second.comment.empty())
                out << (key.first.empty() ? "#" : "\t;") << key.second.comment;
            out << '\n';
        }
    }
    out.close();
    if (out.fail()) {
        DropFileSwap(&swap);
        return false;
    }
    return CommitFileSwap(&swap) == 0;
}

void SimpleIni::SaveDescription(std::string section, std::string key, std::ofstream& out)
{
    const std::string& block = comments[section][key];
    if (block.empty())
        return;
    size_t start = 0;
    for (;;) {
        size_t end = block.find('\n', start);
        out << '#' << block.substr(start, end - start) << '\n';
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
}

void SimpleIni::Free()
{
    sections.clear();
}

std::string SimpleIni::GetValue(const std::string& section, const std::string& key, const std::string& defaultValue)
{
    SectionTable::const_iterator sec = sections.find(section);
    if (sec == sections.end())
        return defaultValue;
    KeyTable::const_iterator it = sec->second.find(key);
    if (it == sec->second.end())
        return defaultValue;
    return it->second.value;
}

void SimpleIni::SetValue(const std::string& section, const std::string& key, const std::string& value)
{
    sections[section][key].value = value;
}

std::string SimpleIni::GetComment(const std::string& section, const std::string& key)
{
    SectionTable::const_iterator sec = sections.find(section);
    if (sec == sections.end())
        return "";
    KeyTable::const_iterator it = sec->second.find(key);
    if (it == sec->second.end())
        return "";
    return it->second.comment;
}

void SimpleIni::SetComment(const std::string& section, const std::string& key, const std::string& comment)
{
    sections[section][key].comment = comment;
}

int SimpleIni::DeleteKey(const std::string& section, const std::string& key)
{
    return (int)sections[section].erase(key);
}

SimpleIni::SectionIterator SimpleIni::beginSection()
{
    return SectionIterator(sections.begin());
}

SimpleIni::SectionIterator SimpleIni::endSection()
{
    return SectionIterator(sections.end());
}

SimpleIni::KeyIterator SimpleIni::beginKey(const std::string& section)
{
    SectionTable::iterator sec = sections.find(section);
    if (sec == sections.end())
        return KeyIterator();
    return KeyIterator(sec->second.begin());
}

SimpleIni::KeyIterator SimpleIni::endKey(const std::string& section)
{
    SectionTable::iterator sec = sections.find(section);
    if (sec == sections.end())
        return KeyIterator();
    return KeyIterator(sec->second.end());
}

void SimpleIni::ParasitCar(std::string& line)
{
    if (!line.empty() && (unsigned char)line.back() <= kLastControlChar)
        line.pop_back();
}

std::string SimpleIni::Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}
