// The settings file held in memory: ordered tables of sections and keys with
// the comments that go with them, value look-ups with defaults, written back whole.
#ifndef SELFTEST_SIMPLEINI_H
#define SELFTEST_SIMPLEINI_H

#include <fstream>
#include <map>
#include <sstream>
#include <string>

class SimpleIni {
public:
    // One key line: its value and the comment that followed it on the same line.
    class IniLine {
    public:
        std::string value;
        std::string comment;
    };

    typedef std::map<std::string, IniLine> KeyTable;
    typedef std::map<std::string, KeyTable> SectionTable;
    typedef std::map<std::string, std::map<std::string, std::string>> CommentTable;

    // A position in the section table.
    class SectionIterator {
    public:
        SectionIterator() = default;
        explicit SectionIterator(SectionTable::iterator it) : m_it(it) {}
        SectionTable::value_type& operator*() const { return *m_it; }
        SectionIterator& operator++()
        {
            ++m_it;
            return *this;
        }
        bool operator==(const SectionIterator& other) const { return m_it == other.m_it; }
        bool operator!=(const SectionIterator& other) const { return m_it != other.m_it; }

    private:
        SectionTable::iterator m_it{};
    };

    // A position in one section's key table.
    class KeyIterator {
    public:
        KeyIterator() = default;
        explicit KeyIterator(KeyTable::iterator it) : m_it(it) {}
        KeyTable::value_type& operator*() const { return *m_it; }
        KeyIterator& operator++()
        {
            ++m_it;
            return *this;
        }
        bool operator==(const KeyIterator& other) const { return m_it == other.m_it; }
        bool operator!=(const KeyIterator& other) const { return m_it != other.m_it; }

    private:
        KeyTable::iterator m_it{};
    };

    // Loads path unless it is empty; throws a std::string message when it cannot be read.
    explicit SimpleIni(const std::string& path);
    ~SimpleIni();

    // Replaces the sections and keys with the file's. Returns true; false when
    // the file cannot be opened for reading (the tables are then empty).
    bool Load(const std::string& path);
    // Writes the tables to the file last loaded. Returns true; false on failure.
    bool Save();
    // Writes the tables to path, replacing the file whole. Returns true; false
    // when it cannot be written (an old file is then untouched).
    bool SaveAs(const std::string& path);
    // Writes the comment block of (section, key) as '#' lines to out.
    void SaveDescription(std::string section, std::string key, std::ofstream& out);
    // Empties the section table; the comment blocks stay.
    void Free();

    // Returns the value of key in section; defaultValue when either is missing.
    std::string GetValue(const std::string& section, const std::string& key, const std::string& defaultValue);
    // Returns the value of key in section read as a number (0 when the text
    // holds no leading number, an empty value included); defaultValue when missing.
    template <class T>
    T GetValue(const std::string& section, const std::string& key, const T& defaultValue);
    // Sets the value of key in section, creating both when missing.
    void SetValue(const std::string& section, const std::string& key, const std::string& value);
    // Returns the inline comment of key in section; empty when either is missing.
    std::string GetComment(const std::string& section, const std::string& key);
    // Sets the inline comment of key in section, creating both when missing.
    void SetComment(const std::string& section, const std::string& key, const std::string& comment);
    // Removes key from section (creating the section when missing). Returns the
    // number of keys removed, 0 or 1.
    int DeleteKey(const std::string& section, const std::string& key);

    // Returns the first section in sorted order.
    SectionIterator beginSection();
    // Returns the position after the last section.
    SectionIterator endSection();
    // Returns the first key of section in sorted order; endKey() for a missing section.
    KeyIterator beginKey(const std::string& section);
    // Returns the position after the last key of section.
    KeyIterator endKey(const std::string& section);

    // Removes one trailing control character (0x00 to 0x1F) from line.
    void ParasitCar(std::string& line);
    // Returns text without its leading and trailing spaces and tabs.
    std::string Trim(const std::string& text);

private:
    // Marks a missing key to the number look-up; never a loaded value, as ';' starts a comment.
    static const char kAbsent[];

    SectionTable sections;
    CommentTable comments;
    std::string path;
};

template <class T>
T SimpleIni::GetValue(const std::string& section, const std::string& key, const T& defaultValue)
{
    std::string text = GetValue(section, key, std::string(kAbsent));
    if (text == kAbsent)
        return defaultValue;
    std::istringstream in(text);
    T result = T();
    in >> result;
    return result;
}

#endif
