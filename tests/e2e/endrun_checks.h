// Checks shared by the end-of-run and fault scenarios: the DIO device's
// lines and output changes (dio.txt), the fixture's signal times
// (signals.txt), the report and the trace log's messages.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

// One text line written to the DIO device, as dio.txt records it.
struct DioLine {
    double t;
    std::string text;  // "SON=3", "SOFF=1,2", ...
};
// One change of a signal output.
struct Edge {
    double t;
    int out;    // 1 to 3
    int value;  // 0 or 1
};

// Returns the lines written to the device, in order.
std::vector<DioLine> DioLines(const RunResult& r);

// Returns the changes of the signal outputs, the power-on state included.
std::vector<Edge> OutputEdges(const RunResult& r);

// Returns the state of output out after every change up to time t.
int OutputAt(const std::vector<Edge>& edges, int out, double t);

// Returns the times of the signals.txt lines whose second word is word
// ("start", "SIGINT", "SIGTERM", "end"), in order.
std::vector<double> SignalTimes(const RunResult& r, const std::string& word);

// Returns the first device line at or after time t; -1 when none.
int FirstLineFrom(const std::vector<DioLine>& lines, double t);

// Returns the index of the interruption's first command ("SON=3") after a
// signal at time t. A step of the end signalling that was running when the
// signal came may finish its (at most two) commands first. -1 when none.
int InterruptionSteps(const std::vector<DioLine>& lines, double t);

// Returns the texts of lines [from, to).
std::vector<std::string> Texts(const std::vector<DioLine>& lines, size_t from, size_t to);

// Returns the report parsed as JSON; fails the test when it does not parse.
nlohmann::json ParsedReport(const RunResult& r);

// Checks the state the outputs are left in at the end of the run.
void ExpectFinalOutputs(const RunResult& r, int out1, int out2, int out3);

// A board with a DIO device for the signal outputs and no channels.
nlohmann::json OutputsOnlyBoard(const std::string& host);

// Returns the number of lines whose message is body.
int CountMessages(const RunResult& r, const std::string& body);

// Returns how slow this run was, measured from its own files: the longest of
// the gaps between two device lines the program writes in a row with no wait
// between them (outputs 1 and 2 in one step of the fail pattern, output 3
// then output 1 in one step of either pattern, the interruption's "SON=3"
// then "SOFF=1,2"), the delay of the tray notice past
// its 2 s wait, and the delay of the interruption's first command past its
// 0.5 s pause; never below what the fixture's clocks can tell apart. Under an
// emulator or a loaded machine every one of them grows with the run.
double MeasuredSlownessS(const RunResult& r);

// A stretch of a run, in fixture seconds.
struct Span {
    double from;
    double to;
    double Seconds() const { return to - from; }
};

// Returns how long the program's threads waited for a CPU within span (at
// least; fds.txt's wait lines around it), and the shell commands it ran
// within span (each one's whole wait, as it noted it at its end), 0 where the
// run noted none. A machine that other work keeps busy lets a sleep or a
// command of the program end that much late at any moment, in a single step
// that nothing else in the run shows: the kernel counts that wait, and the
// fixture reads it.
double CpuWaitS(const RunResult& r, Span span);

// Returns the latest the end of span may come after its start: a wait of
// wantS followed by up to commands shell commands (or other steps of the
// program's own), at the run's measured slowness, plus the program's wait
// for a CPU within span; the fixture reads its files at most this late too.
double LateBoundS(const RunResult& r, Span span, double wantS, int commands);

// Returns how long the program's end took past its own last step, as the run
// saw it: from the moment its exit began (noted by the program itself, after
// its own exit handlers and before the sanitizer's leak check) to the
// fixture's end stamp; 0 without a note. Under load that check is slow, and
// nothing else the run measures tells.
double ExitCheckS(const RunResult& r);

// Returns LateBoundS for a span that ends with the program's end: it also
// allows the run's measured ExitCheckS.
double EndBoundS(const RunResult& r, Span span, double wantS, int commands);
