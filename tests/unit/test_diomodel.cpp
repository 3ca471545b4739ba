// The DIO driver stand-in of the fixture: board keys, faults, command answers,
// SON/SOFF lines and the DI switching of boards without DOs. The wiring of
// DOs to DI pairs is proven end to end (tests/e2e/test_dio.cpp).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "dioboard.h"
#include "diomodel.h"
#include "zrDioIoctl.h"

namespace {

struct Collect : DioRecorder {
    std::vector<std::pair<std::string, int>> changes;
    std::vector<std::string> notes;
    void Change(double, const std::string& s, int v) override { changes.emplace_back(s, v); }
    void Note(double, const std::string& text) override { notes.push_back(text); }
};

DioBoard Board(const char* json)
{
    DioBoard b;
    std::string err;
    EXPECT_EQ(0, ParseDioBoard(nlohmann::json::parse(json), b, err)) << err;
    return b;
}

struct Fixture {
    explicit Fixture(const char* json) : board(Board(json)), model(board, rec) { model.Start(0); }
    int Do(uint64_t cmd, uint64_t arg) { return model.Ioctl(1.0, cmd, arg).result; }
    int Err(uint64_t cmd, uint64_t arg) { return model.Ioctl(1.0, cmd, arg).err; }
    std::vector<int> ReadDIs(int n)
    {
        std::vector<int> v;
        for (int i = 1; i <= n; ++i)
            v.push_back(Do(ZRDIO_RD_DI, i));
        return v;
    }
    DioBoard board;
    Collect rec;
    DioModel model;
};

TEST(DioBoardFile, KeysAndTheirDefaults)
{
    DioBoard b = Board("{}");
    EXPECT_FALSE(b.present) << "no dio key: no device";
    b = Board(R"({"dio": {"device": "missing", "di": 4}})");
    EXPECT_FALSE(b.present);
    b = Board(
        R"({"dio": {"do": 2, "di": 4, "sysdi": 1, "faults": {"DI2": "stuck0", "SYSDI1": "stuck1", "DI4": "reads2"},
                 "swapped": [[1, 3]], "switching": {"toggles": 5, "never": [2], "together": [[1, 4]]}}})");
    EXPECT_TRUE(b.present);
    EXPECT_EQ(2, b.count[kKindDO]);
    EXPECT_EQ(4, b.count[kKindDI]);
    EXPECT_EQ(DioFault::kStuck, b.faults.at(DioChannel(kKindDI, 2)).type);
    EXPECT_EQ(1, b.faults.at(DioChannel(kKindSysDI, 1)).value) << "SYSDI is not read as DI of a kind SYS";
    EXPECT_EQ(DioFault::kActiveReads, b.faults.at(DioChannel(kKindDI, 4)).type);
    EXPECT_EQ(5, b.toggles);
    EXPECT_EQ(1u, b.never.count(2));

    const char* bad[] = {R"({"dio": {"di": -1}})",
                         R"({"dio": {"faults": {"DX1": "stuck0"}}})",
                         R"({"dio": {"faults": {"DI1": "melted"}}})",
                         R"({"dio": {"faults": {"DI0": "fails"}}})",
                         R"({"dio": {"swapped": [[1]]}})",
                         R"({"dio": {"device": "absent"}})",
                         R"({"dio": {"switching": {"toggles": "two"}}})",
                         R"({"dio": {"di": 4, "faults": {"DI5": "fails"}}})",
                         R"({"dio": {"sysdo": 0, "faults": {"SYSDO1": "fails"}}})",
                         R"({"dio": {"do": 1, "di": 2, "faults": {"DO1": "reads2"}}})",
                         R"({"dio": {"di": 2, "faults": {"DI1": "write_fails"}}})",
                         R"({"dio": {"di": 8, "switching": {"never": [9]}}})",
                         R"({"dio": {"di": 4, "cnt": 2}})"};
    for (const char* j : bad) {
        std::string err;
        EXPECT_EQ(-1, ParseDioBoard(nlohmann::json::parse(j), b, err)) << j;
        EXPECT_FALSE(err.empty()) << j;
    }
}

TEST(DioFaults, ChannelFaultsShowInReadsAndInTheWiring)
{
    Fixture f(R"({"dio": {"do": 2, "di": 4, "faults": {"DI2": "stuck0", "DI4": "reads2", "DI3": "fails",
                 "DO2": "stuck1"}}})");
    f.Do(ZRDIO_DO_ON, 1);
    EXPECT_EQ(0, f.Do(ZRDIO_RD_DI, 2)) << "stuck at 0 although DO 1 is on";
    EXPECT_EQ(-1, f.Do(ZRDIO_RD_DI, 3));
    EXPECT_EQ(EIO, f.Err(ZRDIO_RD_DI, 3));
    EXPECT_EQ(2, f.Do(ZRDIO_RD_DI, 4)) << "DO 2 stuck on drives DI 4, which reads 2 when active";
    EXPECT_EQ(0, f.Do(ZRDIO_DO_OFF, 2)) << "a stuck DO accepts the command";
    EXPECT_EQ(1, f.Do(ZRDIO_RD_DO, 2)) << "... but does not move";

    Fixture w(R"({"dio": {"do": 1, "di": 2, "faults": {"DO1": "write_fails"}}})");
    EXPECT_EQ(-1, w.Do(ZRDIO_DO_ON, 1));
    EXPECT_EQ(0, w.Do(ZRDIO_RD_DO, 1));
    Fixture r(R"({"dio": {"do": 1, "di": 2, "faults": {"DO1": "read_fails"}}})");
    EXPECT_EQ(0, r.Do(ZRDIO_DO_ON, 1));
    EXPECT_EQ(-1, r.Do(ZRDIO_RD_DO, 1));
    EXPECT_EQ(1, r.Do(ZRDIO_RD_DI, 2)) << "the output switched all the same";
}

TEST(DioFaults, SwappedWiresExchangeTwoDIs)
{
    Fixture f(R"({"dio": {"do": 2, "di": 4, "swapped": [[2, 3]]}})");
    f.Do(ZRDIO_DO_ON, 1);
    EXPECT_EQ((std::vector<int>{0, 1, 1, 0}), f.ReadDIs(4)) << "DI 2 and 3 agree only by chance";
    f.Do(ZRDIO_DO_OFF, 1);
    EXPECT_EQ((std::vector<int>{1, 1, 0, 0}), f.ReadDIs(4));
}

TEST(DioCommands, IndicesCountsAndUnknownCommands)
{
    Fixture f(R"({"dio": {"do": 2, "di": 3, "sysdi": 1, "sysdo": 2, "faults": {"SYSDI1": "stuck1"}}})");
    EXPECT_EQ(3, f.Do(ZRDIO_GET_NUM, 1));
    EXPECT_EQ(2, f.Do(ZRDIO_GET_NUM, 2));
    EXPECT_EQ(1, f.Do(ZRDIO_GET_NUM, 3));
    EXPECT_EQ(2, f.Do(ZRDIO_GET_NUM, 4));
    EXPECT_EQ(0, f.Do(ZRDIO_GET_NUM, 7));
    EXPECT_EQ(1, f.Do(ZRDIO_RD_DI, 0x81));
    EXPECT_EQ(0, f.Do(ZRDIO_DO_ON, 0x82));
    EXPECT_EQ(1, f.Do(ZRDIO_RD_DO, 0x82));
    EXPECT_EQ(0, f.Do(ZRDIO_RD_DO, 2)) << "system outputs are not the DOs";
    for (uint64_t idx : {0ul, 3ul, 0x80ul, 0x83ul, 0x1FFul}) {
        EXPECT_EQ(-1, f.Do(ZRDIO_DO_ON, idx)) << idx;
        EXPECT_EQ(EINVAL, f.Err(ZRDIO_DO_ON, idx)) << idx;
    }
    EXPECT_EQ(-1, f.Do(ZRDIO_RD_DI, 4));
    for (uint64_t cmd : {2ul, 9ul, 19ul, 0x40046b00ul}) {
        EXPECT_EQ(-1, f.Do(cmd, 1)) << cmd;
        EXPECT_EQ(ENOTTY, f.Err(cmd, 1)) << cmd;
    }
}

// The stand-in states the driver's numbers itself (diodriver.h); every one
// must agree with the program's copy, so a wrong number on either side is
// caught rather than agreed on.
TEST(DioCommands, TheStandInsNumbersAgreeWithTheProgramsValueByValue)
{
    const struct {
        const char* name;
        long long standIn, program;
    } values[] = {
        {"DO_OFF", (long long)kDrvDoOff, ZRDIO_DO_OFF},
        {"DO_ON", (long long)kDrvDoOn, ZRDIO_DO_ON},
        {"RD_DI", (long long)kDrvRdDi, ZRDIO_RD_DI},
        {"RD_DO", (long long)kDrvRdDo, ZRDIO_RD_DO},
        {"GET_NUM", (long long)kDrvGetNum, ZRDIO_GET_NUM},
        {"RD_DI_GRP1", (long long)kDrvRdDiGrp1, ZRDIO_RD_DI_GRP1},
        {"RD_DI_GRP2", (long long)kDrvRdDiGrp2, ZRDIO_RD_DI_GRP2},
        {"RD_DI_GRP3", (long long)kDrvRdDiGrp3, ZRDIO_RD_DI_GRP3},
        {"RD_DO_GRP1", (long long)kDrvRdDoGrp1, ZRDIO_RD_DO_GRP1},
        {"RD_DO_GRP2", (long long)kDrvRdDoGrp2, ZRDIO_RD_DO_GRP2},
        {"RD_DO_GRP3", (long long)kDrvRdDoGrp3, ZRDIO_RD_DO_GRP3},
        {"the last command", (long long)kDrvRdDoGrp3, ZRDIO_CMD_LAST},
        {"system-channel bit", (long long)kDrvSysBit, kDioSysIndexBase},
        {"kind DI", kKindDI, kDioTypeDI},
        {"kind DO", kKindDO, kDioTypeDO},
        {"kind SYSDI", kKindSysDI, kDioTypeSysDI},
        {"kind SYSDO", kKindSysDO, kDioTypeSysDO},
        {"channels per group", kDrvGroupSize, kDioGroupSize},
    };
    for (const auto& v : values)
        EXPECT_EQ(v.standIn, v.program) << v.name;
}

TEST(DioCommands, GroupWordsHoldOneBitPerChannel)
{
    Fixture f(R"({"dio": {"do": 5, "di": 10}})");
    f.Do(ZRDIO_DO_ON, 2);
    f.Do(ZRDIO_DO_ON, 5);
    // DO 5 owns DI 9 and 10; DO 1 owns DI 1, 2 and, repeating, none else with 5 DOs.
    EXPECT_EQ(0x12, f.Do(ZRDIO_RD_DO_GRP1, 1));
    EXPECT_EQ(0, f.Do(ZRDIO_RD_DO_GRP1, 2));
    EXPECT_EQ(0x12, f.Do(ZRDIO_RD_DO_GRP3, 1));
    // DI: 1 on, 2 off | 3 off, 4 on | 5 on, 6 off | 7 on, 8 off | 9 off, 10 on
    EXPECT_EQ(0x59, f.Do(ZRDIO_RD_DI_GRP1, 1));
    EXPECT_EQ(0x2, f.Do(ZRDIO_RD_DI_GRP1, 2));
    EXPECT_EQ(0x259, f.Do(ZRDIO_RD_DI_GRP2, 1));
    EXPECT_EQ(0x259, f.Do(ZRDIO_RD_DI_GRP3, 1));
    EXPECT_EQ(0, f.Do(ZRDIO_RD_DI_GRP1, 0x81)) << "no system inputs";
    EXPECT_EQ(-1, f.Do(ZRDIO_RD_DI_GRP1, 0));
}

TEST(DioTextLines, SignalOutputsFollowTheLinesAndEachChangeIsReportedOnce)
{
    Fixture f(R"({"dio": {"do": 1, "di": 2}})");
    f.rec.changes.clear();
    EXPECT_EQ(0, f.model.TextLine(2.0, "SON=3"));
    EXPECT_EQ(0, f.model.TextLine(2.1, "SON=3"));
    EXPECT_EQ(0, f.model.TextLine(2.2, "SON=1"));
    EXPECT_EQ(0, f.model.TextLine(2.3, "SOFF=1,2"));
    EXPECT_EQ((std::vector<std::pair<std::string, int>>{{"OUT3", 1}, {"OUT1", 1}, {"OUT1", 0}}), f.rec.changes);
    EXPECT_EQ(1, f.model.SignalValue("OUT3"));

    EXPECT_EQ(-1, f.model.TextLine(3, "SET=1"));
    EXPECT_EQ(-1, f.model.TextLine(3, "SON="));
    EXPECT_EQ(-1, f.model.TextLine(3, "SON=1,"));
    EXPECT_EQ(-1, f.model.TextLine(3, "SON=x"));
    EXPECT_EQ(0, f.model.TextLine(3, "SON=4"));
    EXPECT_EQ(5u, f.rec.notes.size());
    EXPECT_EQ(3u, f.rec.changes.size()) << "no line above switched anything";
}

// The switching fixture, driven the way the DI switching test drives output 3.
struct Switching : Fixture {
    explicit Switching(const char* json) : Fixture(json) {}
    double t = 10;
    void Line(const char* l, double dt = 0.5)
    {
        model.TextLine(t, l);
        t += dt;
    }
};

TEST(DioSwitching, ADIGoesActiveAfterTheEdgesAndThePauseMovesOnToTheNext)
{
    Switching s(R"({"dio": {"di": 3, "switching": {"toggles": 2}}})");
    EXPECT_EQ((std::vector<int>{0, 0, 0}), s.ReadDIs(3));
    s.Line("SOFF=3");  // output 3 is off already: no edge
    s.Line("SON=3");
    EXPECT_EQ((std::vector<int>{0, 0, 0}), s.ReadDIs(3));
    s.Line("SOFF=3");
    EXPECT_EQ((std::vector<int>{1, 0, 0}), s.ReadDIs(3));
    s.Line("SOFF=3", 3.0);  // end of DI 1, three seconds off
    EXPECT_EQ((std::vector<int>{1, 0, 0}), s.ReadDIs(3));
    s.Line("SON=3");
    EXPECT_EQ((std::vector<int>{0, 0, 0}), s.ReadDIs(3)) << "DI 1 released, DI 2 next";
    s.Line("SON=3");  // the carried toggle: no edge
    s.Line("SOFF=3");
    s.Line("SON=3");
    EXPECT_EQ((std::vector<int>{0, 1, 0}), s.ReadDIs(3));
    s.Line("SOFF=3", 3.0);
    s.Line("SON=3");
    s.Line("SOFF=3");
    s.Line("SON=3");
    EXPECT_EQ((std::vector<int>{0, 0, 1}), s.ReadDIs(3));
    s.Line("SOFF=3", 3.0);
    s.Line("SON=3");
    s.Line("SON=3");  // the final one of the try
    EXPECT_EQ((std::vector<int>{0, 0, 0}), s.ReadDIs(3));
    s.Line("SOFF=3");
    s.Line("SON=3");
    EXPECT_EQ((std::vector<int>{1, 0, 0}), s.ReadDIs(3)) << "the next try starts again at DI 1";
}

TEST(DioSwitching, BoardsWithDOsIgnoreOutput3ForTheirInputs)
{
    Fixture f(R"({"dio": {"do": 1, "di": 2, "switching": {"toggles": 0}}})");
    f.model.TextLine(1, "SON=3");
    f.model.TextLine(2, "SOFF=3");
    EXPECT_EQ((std::vector<int>{1, 0}), f.ReadDIs(2));
}

}  // namespace
