// The example settings file that is installed with the program: as shipped it
// changes nothing, and with its keys uncommented the program reads every one
// of them under the section and key names it looks up.
#include <gtest/gtest.h>

#include <ctype.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "SimpleIni.h"
#include "portinfo.h"
#include "settings.h"
#include "zrLog.h"

namespace {

constexpr unsigned short kInventoryDOCount = 8;  // as /etc/zrdio.conf would declare

// Runs each test in a fresh working directory, where the program looks for
// rigchkEx.ini, with the trace log kept there too.
class IniExampleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/rigini-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        ASSERT_NE(nullptr, getcwd(oldCwd_, sizeof(oldCwd_)));
        ASSERT_EQ(0, chdir(dir_.c_str()));
        logPath_ = dir_ + "/rigChkEx.log";
        savedLog_ = filename;
        filename = logPath_.c_str();
        strDWinFramHead.clear();
    }
    void TearDown() override
    {
        filename = savedLog_;
        EXPECT_EQ(0, chdir(oldCwd_));
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(0, system(cmd.c_str()));
    }

    // Returns the example as it is installed.
    static std::string Example()
    {
        std::ifstream in(RIG_INI_EXAMPLE);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Writes text as rigchkEx.ini in the working directory.
    static void WriteSettings(const std::string& text)
    {
        std::ofstream out(kSettingsFile);
        out << text;
    }

    std::string dir_;
    std::string logPath_;
    const char* savedLog_ = nullptr;
    char oldCwd_[4096] = {};
};

// Returns text with the '#' removed from every line that is a commented-out
// key ("#key=value"), as an operator enables a setting.
std::string Uncommented(const std::string& text)
{
    std::istringstream in(text);
    std::string out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > 1 && line[0] == '#' && isalpha((unsigned char)line[1]) && line.find('=') != std::string::npos)
            line.erase(0, 1);
        out += line + "\n";
    }
    return out;
}

TEST_F(IniExampleTest, AsShippedEverySettingKeepsItsDefault)
{
    std::string example = Example();
    ASSERT_FALSE(example.empty()) << RIG_INI_EXAMPLE;
    WriteSettings(example);
    SimpleIni ini("");
    DeviceSettings s = LoadDeviceSettings(ini, "ZR-BOARD", "main");
    EXPECT_EQ(0, s.bTestDWin);
    EXPECT_EQ(0, s.bTest4G);
    EXPECT_EQ("A5 5A", strDWinFramHead);
    EXPECT_EQ(kInventoryDOCount, ApplyDOCountSettings(ini, "ZR-BOARD", kInventoryDOCount));
    EXPECT_EQ(ini.beginKey("DWin_SCREEN"), ini.endKey("DWin_SCREEN")) << "no key is active";
}

TEST_F(IniExampleTest, UncommentedEveryKeyIsReadWhereTheProgramLooks)
{
    std::string enabled = Uncommented(Example());
    ASSERT_NE(enabled, Example()) << "the example has commented-out keys";
    WriteSettings(enabled);
    SimpleIni ini("");
    DeviceSettings s = LoadDeviceSettings(ini, "ZR-BOARD", "main");
    EXPECT_EQ(1, s.bTestDWin);
    EXPECT_EQ(1, s.bTest4G);
    EXPECT_EQ("A5 5A", ini.GetValue("DWin_SCREEN", "frameH", "absent"));
    EXPECT_EQ("A5 5A", strDWinFramHead);
    EXPECT_EQ(2, ApplyDOCountSettings(ini, "ZR-BOARD", kInventoryDOCount));

    // Nothing else: every active key is one the program reads.
    int keys = 0;
    for (auto sec = ini.beginSection(); sec != ini.endSection(); ++sec)
        for (auto key = ini.beginKey((*sec).first); key != ini.endKey((*sec).first); ++key) {
            ++keys;
            EXPECT_FALSE((*key).first.empty()) << "a stray line in section " << (*sec).first;
        }
    EXPECT_EQ(4, keys);
}

}  // namespace
