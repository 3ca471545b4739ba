// Trace log: line format, counter, rotation, dropped lines and whole lines
// under concurrent callers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zrLog.h"

namespace {

class TraceLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zrlog-XXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/rigChkEx.log";
        saved_ = filename;
        filename = path_.c_str();
        // Bring the process-wide counter to a known state: a rotation resets it.
        RotateCounterToZero();
    }
    void TearDown() override
    {
        filename = saved_;
        std::string cmd = "rm -rf " + dir_;
        ASSERT_EQ(0, system(cmd.c_str()));
    }

    // Logs until a line numbered 0 starts a fresh file (at once in a new
    // process, after one rotation otherwise), then removes both files: the
    // next line is numbered 1.
    void RotateCounterToZero()
    {
        std::string bak = path_ + ".bak";
        for (int i = 0; i <= 20000; ++i) {
            trace_log("RtLog", "fill\n");
            if (access(bak.c_str(), F_OK) == 0 || FirstLine().rfind("0=", 0) == 0)
                break;
        }
        unlink(path_.c_str());
        unlink(bak.c_str());
    }

    std::string FirstLine() const
    {
        std::ifstream in(path_);
        std::string line;
        std::getline(in, line);
        return line;
    }

    std::vector<std::string> ReadLines(const std::string& path = "") const
    {
        std::ifstream in(path.empty() ? path_ : path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    std::string dir_;
    std::string path_;
    const char* saved_ = nullptr;
};

TEST_F(TraceLogTest, LineCarriesCounterNameDateAndCallerLocation)
{
    EXPECT_EQ(1, RTLOG("hostname:%s", "ZR-TEST"));
    std::vector<std::string> lines = ReadLines();
    ASSERT_EQ(1u, lines.size());
    std::regex form(R"(^1=\[RtLog\]\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] hostname:ZR-TEST\t)"
                    R"(tests/unit/test_zrlog\.cpp TestBody line=\d+$)");
    EXPECT_TRUE(std::regex_match(lines[0], form)) << lines[0];
}

TEST_F(TraceLogTest, NullNameWritesNothing)
{
    EXPECT_EQ(-1, trace_log(nullptr, "x\n"));
    EXPECT_TRUE(ReadLines().empty());
    RTLOG("after");
    ASSERT_EQ(1u, ReadLines().size());
    EXPECT_EQ(0u, ReadLines()[0].rfind("1=", 0)) << "the counter did not move";
}

TEST_F(TraceLogTest, MissingDirectoryDropsLinesWithoutCounting)
{
    std::string missing = dir_ + "/no/such/dir.log";
    filename = missing.c_str();
    EXPECT_EQ(1, RTLOG("lost"));
    EXPECT_EQ(1, RTLOG("lost too"));
    filename = path_.c_str();
    RTLOG("kept");
    std::vector<std::string> lines = ReadLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("1=", 0)) << lines[0];
}

TEST_F(TraceLogTest, RotatesToBakAfterTwentyThousandLines)
{
    {
        std::ofstream old(path_ + ".bak");
        old << "an older backup\n";
    }
    // Line 0 was written before the file was removed in SetUp; 1..19999 follow.
    for (int i = 1; i < 20000; ++i)
        trace_log("RtLog", "line %d\n", i);
    std::vector<std::string> before = ReadLines();
    ASSERT_EQ(19999u, before.size());
    EXPECT_EQ(0u, before.back().rfind("19999=", 0));

    trace_log("RtLog", "first of the new file\n");
    std::vector<std::string> bak = ReadLines(path_ + ".bak");
    ASSERT_EQ(19999u, bak.size()) << "the old backup was replaced by the full log";
    std::vector<std::string> fresh = ReadLines();
    ASSERT_EQ(1u, fresh.size());
    EXPECT_EQ(0u, fresh[0].rfind("0=[RtLog]", 0)) << fresh[0];
}

TEST_F(TraceLogTest, OverlongMessageIsCutAndTheLineStaysTerminated)
{
    std::string huge(30000, 'x');
    EXPECT_EQ(1, trace_log("RtLog", "%s\n", huge.c_str()));
    std::ifstream in(path_);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    EXPECT_LT(text.size(), 20482u);
    EXPECT_GT(text.size(), 20400u);
    EXPECT_EQ(std::string::npos, text.find('\0'));
}

TEST_F(TraceLogTest, ConcurrentCallersNeverTearALine)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            std::string body(200, (char)('a' + t));
            for (int i = 0; i < kPerThread; ++i)
                RTLOG("%s", body.c_str());
        });
    for (std::thread& th : threads)
        th.join();
    std::vector<std::string> lines = ReadLines();
    ASSERT_EQ((size_t)kThreads * kPerThread, lines.size());
    std::regex whole(R"(^(\d+)=\[RtLog\]\[[^\]]+\] ([a-d])\2{199}\t.* line=\d+$)");
    std::vector<bool> seen(lines.size() + 1, false);
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line.substr(0, 80);
        size_t n = std::stoul(m[1]);
        ASSERT_LE(n, lines.size());
        EXPECT_FALSE(seen[n]) << "line number " << n << " given twice";
        seen[n] = true;
    }
}

}  // namespace
