// Cost of one trace log line: RTLOG formats the message, stamps it, opens the
// log file, appends, flushes and closes it again, every call.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "portinfo.h"
#include "zrLog.h"

namespace {

constexpr long kMaxMessageLen = 16384;  // the longest message of the size sweep

// A log file in a fresh temporary folder (TMPDIR, else /tmp), removed again
// with its backup; points the trace log at it while it lives.
struct TempLog {
    std::string dir;
    std::string path;
    const char* previous = filename;

    TempLog()
    {
        const char* base = getenv("TMPDIR");
        std::string templ = std::string(base != nullptr ? base : "/tmp") + "/bench-zrlog-XXXXXX";
        if (mkdtemp(templ.data()) != nullptr) {
            dir = templ;
            path = dir + "/rigChkEx.log";
        }
        filename = path.c_str();
    }
    ~TempLog()
    {
        filename = previous;
        if (dir.empty())
            return;
        unlink(path.c_str());
        unlink((path + ".bak").c_str());
        rmdir(dir.c_str());
    }
    // Returns the size of the log file plus its backup in bytes.
    long Bytes() const
    {
        long total = 0;
        struct stat st;
        if (stat(path.c_str(), &st) == 0)
            total += st.st_size;
        if (stat((path + ".bak").c_str(), &st) == 0)
            total += st.st_size;
        return total;
    }
};

// Fails the benchmark unless the lines reached the file: a figure for lines
// that were lost (log folder missing) would look good and mean nothing.
void CheckWritten(benchmark::State& state, const TempLog& log)
{
    if (log.dir.empty())
        state.SkipWithError("no temporary folder");
    else if (log.Bytes() == 0)
        state.SkipWithError("nothing reached the log file");
    state.SetItemsProcessed(state.iterations());
}

// One line as the RS485 test writes it for every receipt.
void BM_RtlogLoopbackLine(benchmark::State& state)
{
    TempLog log;
    for (auto _ : state)
        benchmark::DoNotOptimize(RTLOG("Write RS485-%d msgSend:%s,Read RS485-%d OK! msg: %s", 1, msgsend, 2, msgsend));
    CheckWritten(state, log);
}
BENCHMARK(BM_RtlogLoopbackLine);

// A line whose message has state.range(0) characters: what the formatting and
// the fixed-size buffers cost against the size of the line.
void BM_TraceLogMessageSize(benchmark::State& state)
{
    TempLog log;
    std::string text(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state)
        benchmark::DoNotOptimize(RTLOG("%s", text.c_str()));
    CheckWritten(state, log);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TraceLogMessageSize)->Arg(16)->Arg(256)->Arg(4096)->Arg(kMaxMessageLen);

// A line that cannot be written (the log folder is missing): the cost of the
// failed open alone, since the program goes on logging on such a board.
void BM_TraceLogFolderMissing(benchmark::State& state)
{
    const char* previous = filename;
    filename = "/nonexistent-bench-zrlog/rigChkEx.log";
    for (auto _ : state)
        benchmark::DoNotOptimize(RTLOG("open Port:%s Err!!!", "/dev/RS485-1"));
    filename = previous;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceLogFolderMissing);

}  // namespace
