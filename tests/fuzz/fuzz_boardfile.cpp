// Fuzz target of the board file, which is outside input to the fixture:
// rigfixture checks it with its own checker and each simulator's own reader,
// and refuses it with a message (exit 2) or runs it. Any bytes either make a
// board that every later reader takes too (the simulators', board-init's run
// settings, the launcher's staging and banner helpers), or are refused with a
// message. Nothing may crash, throw past the readers or hang.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "boardcheck.h"
#include "boardfaults.h"
#include "dioboard.h"
#include "diomodel.h"
#include "fuzz_check.h"
#include "runconfig.h"
#include "runlimit.h"
#include "serialboard.h"
#include "simcommon.h"

namespace {

// zrdio-sim's model writes its changes to a recorder; here they go nowhere.
struct NoRecorder : DioRecorder {
    void Change(double, const std::string&, int) override {}
    void Note(double, const std::string&) override {}
};

// Checks that a board the launcher accepted is taken by every later reader.
void ReadAcceptedBoard(const nlohmann::json& board, const std::string& path)
{
    std::string err;
    SerialBoard serial;
    FUZZ_CHECK(ParseSerialBoard(board, serial, err) == 0);
    for (size_t i = 0; i < serial.ports.size(); ++i)
        DescribeWiring(serial, (int)i);
    DioBoard dio;
    FUZZ_CHECK(ParseDioBoard(board, dio, err) == 0);
    NoRecorder rec;
    DioModel model(dio, rec);
    // board-init states the time limit in whole seconds and every step of
    // the signal plan in milliseconds (fixture.log, signals.txt).
    RunConfig cfg;
    FUZZ_CHECK(ReadRunConfig(path, cfg, err) == 0);
    FUZZ_CHECK(cfg.timeoutS > 0 && cfg.timeoutS <= kMaxTimeLimitS);
    for (const SignalStep& step : cfg.plan)
        FUZZ_CHECK(!DescribeStep(step).empty());
    FUZZ_CHECK(BoardUserland(board) != Userland::Unknown);
    FUZZ_CHECK(!BoardHostname(board).empty());
    BoardNandTmp(board);
    BoardNandTmpKb(board);
    std::string text;
    BoardZrdioConf(board, text);
    BoardOtp(board, text);
    BoardDescription(board);
    InjectedFaults(board);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = FuzzScratchDir() + "/board.json";
    FuzzPutFile(path, std::string(reinterpret_cast<const char*>(data), size));
    nlohmann::json board;
    try {
        board = LoadBoard(path);
    } catch (const std::exception& e) {
        FUZZ_CHECK(e.what()[0] != '\0');  // rigfixture prints it and exits 2
        return 0;
    }
    std::string err;
    if (CheckBoard(board, err) != 0) {
        FUZZ_CHECK(!err.empty());  // rigfixture prints it and exits 2
        return 0;
    }
    ReadAcceptedBoard(board, path);
    return 0;
}
