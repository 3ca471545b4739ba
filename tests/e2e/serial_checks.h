// Checks shared by the serial end-to-end scenarios: boards with serial ports,
// the summary lines, and the bursts serial-sim captured.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"

// The test text the serial tests send, and its 32 bytes on the wire in hex.
extern const char kTestText[];
extern const char kTestTextHex[];
// The sensor request and the answer of a sensor at 50.0 % and 25.0 degrees.
extern const char kSensorRequestHex[];
extern const char kSensorAnswerHex[];

// Returns BaseBoard() with these RS485 and RS232 port lists.
nlohmann::json SerialBoard(const nlohmann::json& rs485, const nlohmann::json& rs232);

// Returns the per-port summary message of the run.
std::string Summary(const std::string& port, int succ, int err);

// Returns how many trace log messages equal body, or start with it when prefix.
int CountMessages(const RunResult& r, const std::string& body, bool prefix = false);

// Returns the overall result the run logged ("iTestSta:%d"); 99 when none.
int LoggedTestSta(const RunResult& r);

// One burst of capture.txt.
struct CapturedBurst {
    double t = 0;      // its first byte went on the wire
    double last = 0;   // its last byte had reached every receiver
    std::string from;  // sender
    std::string to;    // receivers as captured, e.g. "RS485-2,RS485-3[deaf]"
    std::string hex;   // the bytes sent
};

// Returns the bursts of a capture in order (a changed copy's extra line
// included), the pieces of one write of a port joined into one.
std::vector<CapturedBurst> Bursts(const std::string& capture);

// Returns how many bursts went from `from` to exactly `to` with bytes `hex`.
int CountBursts(const RunResult& r, const std::string& from, const std::string& to, const std::string& hex);

// Returns how many bursts `from` sent, whatever they held.
int CountBurstsFrom(const RunResult& r, const std::string& from);

// Returns the message bodies between the try line of try t and the next try
// line (or the summary).
std::vector<std::string> TryMessages(const RunResult& r, int t);
