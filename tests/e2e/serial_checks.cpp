#include "serial_checks.h"

#include <cctype>
#include <sstream>

const char kTestText[] = "ABCDEFGHIJKLMNOPQRST1234567890!";
const char kTestTextHex[] =
    "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51 52 53 54 31 32 33 34 35 36 37 38 39 30 21 00";
const char kSensorRequestHex[] = "10 03 00 00 00 02 C7 4A";
const char kSensorAnswerHex[] = "10 03 04 01 F4 00 FA 3B 7F";
const char kLastMark[] = "|  last ";  // a burst's line: ... |bytes as text|  last <time>

nlohmann::json SerialBoard(const nlohmann::json& rs485, const nlohmann::json& rs232)
{
    nlohmann::json b = BaseBoard();
    b["rs485"] = rs485;
    b["rs232"] = rs232;
    return b;
}

std::string Summary(const std::string& port, int succ, int err)
{
    return port + ":Test Succ Cnt " + std::to_string(succ) + ",Error Cnt " + std::to_string(err);
}

int CountMessages(const RunResult& r, const std::string& body, bool prefix)
{
    int n = 0;
    for (const std::string& m : r.Messages())
        n += prefix ? m.rfind(body, 0) == 0 : m == body;
    return n;
}

int LoggedTestSta(const RunResult& r)
{
    int i = r.FindMessagePrefix("iTestSta:");
    return i < 0 ? 99 : std::stoi(r.Messages()[(size_t)i].substr(9));
}

namespace {

// The program sleeps 300 ms after every send on a port before it reads or
// sends again, so bursts a port sent closer together than this are pieces of
// one write: on the twin a busy machine can hold the emulated UART mid-frame
// for longer than the quiet that ends a burst.
constexpr double kSendSpacingS = 0.3;

// Returns true when b continues the write of the burst before it, last (a
// changed copy's line, stamped with its burst's time, does not).
bool ContinuesWrite(const CapturedBurst& last, const CapturedBurst& b)
{
    const bool programPort = b.from.rfind("RS", 0) == 0;  // RS485-n, RS232-n; not a device the fixture plays
    return programPort && b.from == last.from && b.to == last.to && b.t > last.t && b.t - last.t < kSendSpacingS;
}

}  // namespace

std::vector<CapturedBurst> Bursts(const std::string& capture)
{
    std::vector<CapturedBurst> out;
    for (const std::string& line : Lines(capture)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream in(line);
        CapturedBurst b;
        std::string arrow;
        in >> b.t >> b.from >> arrow >> b.to;
        if (arrow != ">")
            continue;
        // Hex pairs up to the text column, which opens with '|'.
        for (std::string pair;
             in >> pair && pair.size() == 2 && isxdigit((unsigned char)pair[0]) && isxdigit((unsigned char)pair[1]);)
            b.hex += (b.hex.empty() ? "" : " ") + pair;
        // The line ends with the last byte's time, after the text column.
        const size_t last = line.rfind(kLastMark);
        if (last != std::string::npos)
            b.last = std::stod(line.substr(last + sizeof(kLastMark) - 1));
        if (!out.empty() && ContinuesWrite(out.back(), b)) {
            out.back().hex += " " + b.hex;
            out.back().last = b.last;
        } else {
            out.push_back(b);
        }
    }
    return out;
}

int CountBursts(const RunResult& r, const std::string& from, const std::string& to, const std::string& hex)
{
    int n = 0;
    for (const CapturedBurst& b : Bursts(r.capture))
        n += b.from == from && b.to == to && b.hex == hex;
    return n;
}

int CountBurstsFrom(const RunResult& r, const std::string& from)
{
    int n = 0;
    for (const CapturedBurst& b : Bursts(r.capture))
        n += b.from == from;
    return n;
}

std::vector<std::string> TryMessages(const RunResult& r, int t)
{
    std::vector<std::string> m = r.Messages();
    int start = r.FindMessage("-----Try Test " + std::to_string(t) + "-----");
    std::vector<std::string> out;
    for (size_t i = (size_t)start + 1; start >= 0 && i < m.size(); ++i) {
        if (m[i].rfind("-----Try Test ", 0) == 0 || m[i].find(":Test Succ Cnt ") != std::string::npos)
            break;
        out.push_back(m[i]);
    }
    return out;
}
