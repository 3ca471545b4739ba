// Report composition (head, groups, verdicts, escaping, large boards), the
// tallies, and the tray message on the wire.
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "cmdline.h"
#include "endtips.h"
#include "portinfo.h"
#include "report.h"
#include "runseq.h"

namespace {

_tag_TestSta_ Tally(int succ, int err)
{
    _tag_TestSta_ t;
    t.nSuccCnt = succ;
    t.nErrCnt = err;
    return t;
}

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override { RS232strinfo.clear(); }
    void TearDown() override { RS232strinfo.clear(); }
    _tag_ZrPortInfo_ info;
};

TEST_F(ReportTest, TwoPortRS485RunReadsExactlyAsTheKeptFormat)
{
    info.vRS485Sta = {Tally(3, 0), Tally(2, 1)};
    std::string report;
    ComposeReportHead(report, "H", "2022-09-16 13:47:50");
    EXPECT_EQ(-1, ComposeReportPorts(report, kSelRS485, info));
    EXPECT_EQ("{\"rigchkEx\":\"testData\",\"DevType\":\"H\",\"DateTime\":\"2022-09-16 13:47:50\" ,\"logDate\":["
              "{\"name\":\"RS485\",\"info\":[{\"name\":\"RS485-1\",\"port\":1},{\"name\":\"RS485-2\",\"port\":0}]} ",
              report);
}

TEST_F(ReportTest, AllKindsPassingAndEmptyGroupsKeepTheirBlanks)
{
    RS232strinfo = {"RS232-1"};
    info.vRS232Sta = {Tally(1, 0)};
    info.vDONOSta = {Tally(1, 0)};
    info.vDONCSta = {Tally(1, 0)};
    std::string report;
    EXPECT_EQ(0, ComposeReportPorts(report, kSelAll, info)) << "an empty RS485 group cannot fail the run";
    EXPECT_EQ("{\"name\":\"RS485\",\"info\":[]},"
              "{ \"name\":\"RS232\", \"info\":[ {\"name\":\"RS232-1\",\"port\":1}]},"
              "{ \"name\":\"DO\", \"info\":[ {\"name\":\"DO-1\",\"port\":1}]},"
              "{ \"name\":\"DI\", \"info\":[ ]} ",
              report);
}

TEST_F(ReportTest, ChannelNeedsBothTalliesAndAPortNeedsASuccess)
{
    info.vDONOSta = {Tally(1, 0), Tally(0, 0)};
    info.vDONCSta = {Tally(0, 0), Tally(1, 0)};
    info.vDINOSta = {Tally(1, 0)};
    info.vDINCSta = {Tally(1, 0)};
    std::string report;
    EXPECT_EQ(-1, ComposeReportPorts(report, kSelDIO, info));
    EXPECT_NE(std::string::npos, report.find("{\"name\":\"DO-1\",\"port\":0},{\"name\":\"DO-2\",\"port\":0}"));
    EXPECT_NE(std::string::npos, report.find("{\"name\":\"DI-1\",\"port\":1}"));
}

TEST_F(ReportTest, KindsNotSelectedTakeNoPart)
{
    info.vRS485Sta = {Tally(0, 5)};
    RS232strinfo = {"RS232-1"};
    info.vRS232Sta = {Tally(5, 0)};
    std::string report;
    EXPECT_EQ(0, ComposeReportPorts(report, kSelRS232, info));
    EXPECT_EQ(std::string::npos, report.find("RS485"));
}

TEST_F(ReportTest, HostAndPortNamesAreEscapedAsJsonStrings)
{
    RS232strinfo = {"RS232-\"x\\"};
    info.vRS232Sta = {Tally(1, 0)};
    std::string report;
    ComposeReportHead(report, "ZR\"$(id)\\\n", "2022-09-16 13:47:50");
    ComposeReportPorts(report, kSelRS232, info);
    EXPECT_NE(std::string::npos, report.find("\"DevType\":\"ZR\\\"$(id)\\\\\\u000a\""));
    EXPECT_NE(std::string::npos, report.find("{\"name\":\"RS232-\\\"x\\\\\",\"port\":1}"));
}

TEST_F(ReportTest, LargeBoardComposesEveryEntry)
{
    info.vRS485Sta.assign(16, Tally(1, 0));
    for (int i = 0; i < 16; ++i)
        RS232strinfo.push_back("RS232-" + std::to_string(i + 1));
    info.vRS232Sta.assign(16, Tally(1, 0));
    info.vDONOSta.assign(32, Tally(1, 0));
    info.vDONCSta.assign(32, Tally(1, 0));
    info.vDINOSta.assign(128, Tally(1, 0));
    info.vDINCSta.assign(128, Tally(1, 0));
    std::string report;
    ComposeReportHead(report, "ZR-BIG", "2022-09-16 13:47:50");
    EXPECT_EQ(0, ComposeReportPorts(report, kSelAll, info));
    EXPECT_GT(report.size(), 4096u) << "beyond a fixed 4 KiB buffer";
    EXPECT_NE(std::string::npos, report.find("{\"name\":\"DI-128\",\"port\":1}]} "));
    EXPECT_NE(std::string::npos, report.find("{\"name\":\"RS232-16\",\"port\":1}]},"));
    nlohmann::json parsed = nlohmann::json::parse(report + "]}");
    ASSERT_EQ(4u, parsed["logDate"].size());
    EXPECT_EQ(128u, parsed["logDate"][3]["info"].size());
}

TEST(LogTestDat, ExactlyThreeIsASuccessEverythingElseAnError)
{
    std::vector<_tag_PortData_> ports(5);
    ports[0].bySta = 3;
    ports[1].bySta = 12;
    ports[2].bySta = 0;
    ports[3].bySta = 7;
    ports[4].bySta = 3;
    std::vector<_tag_TestSta_> sta(5);
    EXPECT_EQ(4, LogTestDat(4, ports, sta));
    EXPECT_EQ(1, sta[0].nSuccCnt);
    EXPECT_EQ(0, sta[0].nErrCnt);
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(1, sta[i].nErrCnt) << "bySta " << (int)ports[i].bySta;
    EXPECT_EQ(0, sta[4].nSuccCnt + sta[4].nErrCnt) << "only the first n records count";
}

TEST(TrayMessage, TypeTwoValuesAndSeventySixBytesOfText)
{
    int qid = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    ASSERT_GE(qid, 0);
    EXPECT_EQ(1, SendMsgToTray(qid, 2, 0));
    struct {
        long mtype;
        unsigned char text[128];
    } got;
    memset(&got, 0xAA, sizeof(got));
    ssize_t n = msgrcv(qid, &got, sizeof(got.text), 0, IPC_NOWAIT);
    msgctl(qid, IPC_RMID, nullptr);
    ASSERT_EQ(kTrayMsgTextLen, n);
    EXPECT_EQ(36876, got.mtype);
    int p1, p2;
    memcpy(&p1, got.text, sizeof(p1));
    memcpy(&p2, got.text + 4, sizeof(p2));
    EXPECT_EQ(2, p1);
    EXPECT_EQ(0, p2);
    for (int i = 8; i < kTrayMsgTextLen; ++i)
        ASSERT_EQ(0, got.text[i]) << "byte " << i;
    EXPECT_EQ(1, SendMsgToTray(-1, 2, 0)) << "a negative queue id sends nothing";
}

}  // namespace
