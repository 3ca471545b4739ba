// What a run's tallies must be, worked out from the board description alone:
// the injected faults, the fixture's wiring and the way each test exercises
// its ports try by try. The scenarios compare the program's summary lines and
// report with this, port by port.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The kinds of port a run selects (the bits of the program's port selection).
constexpr unsigned kSelectDio = 1;
constexpr unsigned kSelectRs232 = 2;
constexpr unsigned kSelectRs485 = 4;
constexpr unsigned kSelectAll = kSelectDio | kSelectRs232 | kSelectRs485;

struct ExpectedTally {
    int succ = 0;
    int err = 0;
    bool operator==(const ExpectedTally& o) const { return succ == o.succ && err == o.err; }
};

// One port or channel: its name as the summary and the report write it.
struct ExpectedPort {
    std::string name;       // "RS485-1", "RS232-3", "DO-2", "DI-7"
    ExpectedTally tally;    // serial ports; the NO tally of a DO or DI channel
    ExpectedTally ncTally;  // the NC tally of a DO or DI channel
};

struct ExpectedRun {
    std::string refused;  // not empty: the board uses something the model does not know
    unsigned select = 0;
    std::vector<ExpectedPort> rs485, rs232, dos, dis;  // in the program's order
    int testSta = 0;                                   // 0: every reported port passes; -1 otherwise
};

// Returns the expected tallies of a run with `tries` tries over the kinds in
// select on board; refused names the first thing outside the model.
ExpectedRun ExpectTallies(const nlohmann::json& board, unsigned select, int tries);

// Returns the summary messages the run must log, in order.
std::vector<std::string> ExpectedSummary(const ExpectedRun& e);

// One entry of the report's port list.
struct ReportEntry {
    std::string group;  // "RS485", "RS232", "DO", "DI"
    std::string name;
    int port = 0;  // verdict: 1 passed, 0 failed
    bool operator==(const ReportEntry& o) const { return group == o.group && name == o.name && port == o.port; }
};

// Returns the report entries the run must write, in order.
std::vector<ReportEntry> ExpectedReport(const ExpectedRun& e);

// Returns the report's entries, in order; sets error when the text is not a
// report of that form.
std::vector<ReportEntry> ReportEntries(const std::string& report, std::string& error);

// Returns a port's verdict: at least one success and no error.
bool TallyPasses(const ExpectedTally& t);
