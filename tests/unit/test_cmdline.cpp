// Command line: port selections and try counts, rule by rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdline.h"

namespace {

struct Parsed {
    int iPortSelect;
    int nTestCnt;
};

Parsed Parse(std::vector<std::string> args)
{
    std::vector<char*> argv;
    std::string prog = "./rigchkEx";
    argv.push_back(&prog[0]);
    for (std::string& a : args)
        argv.push_back(&a[0]);
    Parsed p = {0, 1};
    EXPECT_EQ(0, ParseCmdLine((int)argv.size(), argv.data(), &p.iPortSelect, &p.nTestCnt));
    return p;
}

TEST(CmdLine, PortSelectionsAreWholeCaseSensitiveWordsAndAccumulate)
{
    EXPECT_EQ(4, Parse({"Port=RS485"}).iPortSelect);
    EXPECT_EQ(2, Parse({"Port:RS232"}).iPortSelect);
    EXPECT_EQ(1, Parse({"port=DIO"}).iPortSelect);
    EXPECT_EQ(7, Parse({"port:All"}).iPortSelect);
    EXPECT_EQ(5, Parse({"Port=DIO", "port:RS485"}).iPortSelect);
    EXPECT_EQ(0, Parse({"Port=rs485"}).iPortSelect) << "lower-case value selects nothing";
    EXPECT_EQ(0, Parse({"Port=DIO,RS232"}).iPortSelect) << "the text must be one word";
    EXPECT_EQ(0, Parse({"PORT=DIO"}).iPortSelect) << "the key is case-sensitive too";
    EXPECT_EQ(0, Parse({"RS485"}).iPortSelect);
    EXPECT_EQ(0, Parse({}).iPortSelect);
}

TEST(CmdLine, PortTextAfterColonAndAfterEqualsBothCount)
{
    EXPECT_EQ(4, Parse({"Port:RS232=RS485"}).iPortSelect) << "\"RS232=RS485\" names nothing whole, \"RS485\" does";
    EXPECT_EQ(4, Parse({"xPort:=RS485"}).iPortSelect) << "after '=' reads RS485";
    EXPECT_EQ(2, Parse({"Port=:RS232"}).iPortSelect) << "after ':' reads RS232";
}

TEST(CmdLine, TryCountIsReadInAnyBaseCutTo8BitsAndHeldTo1To50)
{
    EXPECT_EQ(3, Parse({"Cnt=3"}).nTestCnt);
    EXPECT_EQ(1, Parse({"Cnt=0"}).nTestCnt);
    EXPECT_EQ(50, Parse({"Cnt=51"}).nTestCnt);
    EXPECT_EQ(16, Parse({"cnt:0x10"}).nTestCnt);
    EXPECT_EQ(8, Parse({"Cnt=010"}).nTestCnt) << "leading 0 is octal";
    EXPECT_EQ(1, Parse({"Cnt=abc"}).nTestCnt);
    EXPECT_EQ(44, Parse({"Cnt=300"}).nTestCnt) << "300 cut to 8 bits";
    EXPECT_EQ(50, Parse({"Cnt=-1"}).nTestCnt) << "-1 is 255 after the cut";
    EXPECT_EQ(3, Parse({"Cnt:3=7"}).nTestCnt) << "the colon wins";
    EXPECT_EQ(12, Parse({"cnt= 12x"}).nTestCnt) << "leading blanks skipped, reading stops at x";
    EXPECT_EQ(1, Parse({"CNT=5"}).nTestCnt) << "not a try-count key";
}

TEST(CmdLine, LaterCountReplacesEarlierAndOneArgumentCanBeBothKinds)
{
    EXPECT_EQ(7, Parse({"Cnt=3", "cnt=7"}).nTestCnt);
    Parsed both = Parse({"Cnt:12Port=RS485"});
    EXPECT_EQ(4, both.iPortSelect) << "the text after '=' is RS485";
    EXPECT_EQ(12, both.nTestCnt) << "the text after ':' starts with 12";
    Parsed glued = Parse({"Port=RS485Cnt=9"});
    EXPECT_EQ(0, glued.iPortSelect) << "\"RS485Cnt=9\" is not a port word";
    EXPECT_EQ(1, glued.nTestCnt) << "the count is read after the first '=': no digits";
}

TEST(CmdLine, UsageTextNamesTheProgramAsInvoked)
{
    testing::internal::CaptureStdout();
    PrintUsage("./rigchkEx");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("./rigchkEx parameter\n"
              "   Port:DIO(Port=DIO)\n"
              "   Port:RS232(Port=RS232)\n"
              "   Port:RS485(Port=RS485)\n"
              "   Port:All(Port=All)\n"
              "   Cnt:num(cnt=num)(num:1-50)\n",
              out);
}

}  // namespace
