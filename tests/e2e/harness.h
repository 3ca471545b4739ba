// End-to-end runs of the program on a simulated board: RunBoard runs rigfixture
// once and gathers everything the run left behind.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct RunResult {
    int status = -1;                      // rigfixture's exit status (the program's)
    std::string exitStatus;               // exit_status without its line feed: "exit 0", "signal 9", "timeout"
    std::string console;                  // console.txt
    std::vector<std::string> logLines;    // the kept trace log's lines, then the live log's
    std::string keptLogName;              // name of the kept log in NandFlash/tmp; empty: none
    bool hasReport = false;
    std::string report;                   // NandFlash/tmp/rigChkEx.js
    std::vector<std::string> tmpFiles;    // names left in NandFlash/tmp, sorted
    std::string capture, dioTxt, dioVcd, tray, signals, fixtureLog, zrAppSU;
    std::string outDir;                   // the run's output folder

    // Returns the message bodies of the trace log lines, in order.
    std::vector<std::string> Messages() const;
    // Returns the index of the first message equal to body at or after from; -1 when none.
    int FindMessage(const std::string& body, int from = 0) const;
    // Returns the index of the first message starting with prefix at or after from; -1 when none.
    int FindMessagePrefix(const std::string& prefix, int from = 0) const;
    // Returns true when a message equals body.
    bool HasMessage(const std::string& body) const { return FindMessage(body) >= 0; }
    // Returns the console's lines.
    std::vector<std::string> ConsoleLines() const;
    // Returns a short account of the run for a failing test's message.
    std::string Describe() const;
};

// Returns how much more slowly than the native build the program under test
// may run its shell commands: RIG_E2E_SLOWDOWN (the armhf suite under
// qemu-arm sets it), 1 when unset. Timing tolerances are multiplied by it.
double TimingSlowdown();

// Returns the message of one trace log line: without the "N=[RtLog][date time] "
// head and the "\t<file> <function> line=<n>" tail; the line itself when it
// has neither.
std::string MessageBody(const std::string& line);

// Returns the lines of a text, without line feeds.
std::vector<std::string> Lines(const std::string& text);

// Returns a board to start from: host name, OTP and an empty /etc/zrdio.conf,
// no serial ports, no DIO device.
nlohmann::json BaseBoard();

// Returns the result of running the program with args (its whole command line)
// on board, in the folder e2e-runs/<name> of the build (emptied first).
RunResult RunBoard(const nlohmann::json& board, const std::vector<std::string>& args, const std::string& name);
