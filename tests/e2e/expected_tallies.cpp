#include "expected_tallies.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <set>

using nlohmann::json;

namespace {

using Bytes = std::vector<uint8_t>;

// Status bits of a port's try, as the tests set them.
constexpr int kWrOK = 1;
constexpr int kRdOK = 2;
constexpr int kWrErr = 4;
constexpr int kRdErr = 8;
constexpr int kFresh = kWrErr | kRdErr;  // a record before anything passed
constexpr int kPass = kWrOK | kRdOK;

const char kText[] = "ABCDEFGHIJKLMNOPQRST1234567890!";
constexpr size_t kTextBytes = sizeof(kText);  // sent with its zero byte
constexpr size_t kLoopReadLen = 256;          // what a loopback read asks for
constexpr size_t kProbeReadLen = 64;          // what a sensor read asks for
constexpr size_t kMinAnswer = 9;              // a shorter sensor answer fails
constexpr size_t kShortAnswer = 8;            // what the "short" sensor sends
constexpr uint8_t kCorruptXor = 0x01;         // the fixture's changed bit
constexpr uint8_t kStrayByte = 0xFF;          // the fixture's stray byte
constexpr uint8_t kBadCrcXor = 0xFF;          // any change of the last byte will do
constexpr uint8_t kSensorSlave = 0x10;
constexpr uint8_t kReadRegisters = 0x03;
constexpr int kRequestedRegisters = 2;  // what the program asks the sensor for
constexpr int kLongRegisters = 8;       // what the "long" sensor answers
constexpr int kDefaultHumidity = 500;
constexpr int kDefaultTemperature = 250;
constexpr int kDisPerDo = 2;

// Returns CRC-16/MODBUS of bytes [0, n).
uint16_t Crc16(const Bytes& b, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= b[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

// One serial port of the fixture and what is waiting in its receive queue.
struct SimPort {
    std::string name;
    bool openable = true;  // no_open and not_tty ports never get a usable descriptor
    bool deaf = false, corrupt = false, stray = false, selfLoop = false, hearSelf = false;
    std::set<int> dropRx;
    int framesIn = 0;         // frames routed to the port so far, for drop_rx
    std::deque<Bytes> queue;  // received, not yet read or flushed
    std::vector<int> peers;   // who hears what this port sends
    bool sensor = false;
    bool silent = false, badCrc = false, shortAnswer = false, longAnswer = false;
    int humidity = kDefaultHumidity, temperature = kDefaultTemperature;
};

struct Serial {
    std::vector<SimPort> ports;
};

// A frame reaches port p with p's receive faults applied.
void Receive(SimPort& p, Bytes bytes)
{
    ++p.framesIn;
    if (p.deaf || p.dropRx.count(p.framesIn) != 0)
        return;
    if (p.corrupt && !bytes.empty())
        bytes[bytes.size() / 2] ^= kCorruptXor;
    if (p.stray)
        bytes.insert(bytes.begin(), kStrayByte);
    p.queue.push_back(bytes);
}

// Returns the sensor's answer to the program's request; empty when it says nothing.
Bytes SensorAnswer(const SimPort& p)
{
    if (p.silent)
        return {};
    int regs = p.longAnswer ? kLongRegisters : kRequestedRegisters;
    Bytes a = {kSensorSlave, kReadRegisters, (uint8_t)(2 * regs)};
    int values[] = {p.humidity, p.temperature};
    for (int r = 0; r < regs; ++r) {
        int v = r < 2 ? values[r] : 0;
        a.push_back((uint8_t)(v >> 8));
        a.push_back((uint8_t)(v & 0xFF));
    }
    uint16_t crc = Crc16(a, a.size());
    a.push_back((uint8_t)(crc & 0xFF));
    a.push_back((uint8_t)(crc >> 8));
    if (p.badCrc)
        a.back() ^= kBadCrcXor;
    if (p.shortAnswer)
        a.resize(kShortAnswer);
    return a;
}

// Port `from` sends bytes: the fixture passes them to its bus or pair
// partners and to its device, and back to itself when its cable says so.
void Send(Serial& s, int from, const Bytes& bytes)
{
    SimPort& p = s.ports[(size_t)from];
    if (!p.selfLoop) {
        for (int peer : p.peers)
            Receive(s.ports[(size_t)peer], bytes);
        if (p.sensor) {
            Bytes answer = SensorAnswer(p);
            if (!answer.empty())
                Receive(p, answer);
        }
    }
    if (p.selfLoop || p.hearSelf)
        Receive(p, bytes);
}

// Returns what one Read of up to len bytes collects: everything waiting
// (every frame has long arrived when the tests read), without a leading 0x00.
Bytes ReadPort(SimPort& p, size_t len)
{
    Bytes got;
    while (!p.queue.empty() && got.size() < len) {
        Bytes& f = p.queue.front();
        size_t take = std::min(f.size(), len - got.size());
        got.insert(got.end(), f.begin(), f.begin() + (long)take);
        f.erase(f.begin(), f.begin() + (long)take);
        if (f.empty())
            p.queue.pop_front();
    }
    if (!got.empty() && got[0] == 0)
        got.erase(got.begin());
    return got;
}

// Returns whether received bytes compare equal to the test text as a string.
bool IsText(const Bytes& got)
{
    const size_t n = kTextBytes - 1;
    if (got.size() < n || !std::equal(got.begin(), got.begin() + (long)n, kText))
        return false;
    return got.size() == n || got[n] == 0;
}

// Returns whether a sensor read that collected `got` passes the program's checks.
bool AnswerPasses(const Bytes& got)
{
    if (got.size() < kMinAnswer)
        return false;
    size_t n = got.size();
    return Crc16(got, n - 2) == (uint16_t)(got[n - 2] | (got[n - 1] << 8));
}

Bytes TextBytes()
{
    return Bytes(kText, kText + kTextBytes);
}

// Returns whether the sensor on an open port answers one probe correctly.
bool ProbeSensor(Serial& s, int i)
{
    SimPort& p = s.ports[(size_t)i];
    p.queue.clear();  // flush before the request
    Send(s, i, {0x10, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC7, 0x4A});
    return AnswerPasses(ReadPort(p, kProbeReadLen));
}

// Returns the status of a freshly opened port (its queue flushed) or of one that would not open.
int OpenPort(SimPort& p, bool& open)
{
    open = p.openable;
    if (open)
        p.queue.clear();
    return kFresh;
}

void SetBits(int& sta, int set, int clear)
{
    sta = (sta & ~clear) | set;
}

// One try of the RS485 test; sta holds the records across tries.
void Rs485Try(Serial& s, std::vector<int>& sta)
{
    const size_t n = s.ports.size();
    if (n == 1) {
        // The sensor port: a failure adds bits to the previous try's status.
        bool open = s.ports[0].openable;
        if (open && ProbeSensor(s, 0))
            sta[0] = kPass;
        else
            sta[0] |= kRdErr;
        return;
    }
    std::vector<bool> open(n);
    for (size_t i = 0; i < n; ++i) {
        bool o = false;
        sta[i] = OpenPort(s.ports[i], o);
        open[i] = o;
    }
    for (size_t j = 0; j < n; ++j) {
        if (!open[j])
            continue;
        s.ports[j].queue.clear();
        Send(s, (int)j, TextBytes());
        SetBits(sta[j], kWrOK, kWrErr);
        for (size_t l = 0; l < n; ++l) {
            if (l == j || !open[l])
                continue;
            if (IsText(ReadPort(s.ports[l], kLoopReadLen)))
                SetBits(sta[l], kRdOK, kRdErr);
            else if (sta[l] != kPass)
                SetBits(sta[l], kRdErr, kRdOK);
        }
    }
}

// The pair exchange between open port a and port b (open or not).
void PairExchange(Serial& s, std::vector<int>& sta, size_t a, size_t b, bool bOpen)
{
    SimPort& A = s.ports[a];
    SimPort& B = s.ports[b];
    A.queue.clear();
    Send(s, (int)a, TextBytes());
    SetBits(sta[a], kWrOK, kWrErr);
    if (IsText(ReadPort(A, kLoopReadLen)))  // A's echo check
        SetBits(sta[a], kRdErr, kRdOK);
    if (!bOpen)
        return;
    if (IsText(ReadPort(B, kLoopReadLen)))
        SetBits(sta[b], kRdOK, kRdErr);
    else
        SetBits(sta[b], kRdErr, kRdOK);
    B.queue.clear();
    Send(s, (int)b, TextBytes());
    SetBits(sta[b], kWrOK, kWrErr);
    if (IsText(ReadPort(B, kLoopReadLen)))  // B's echo check
        SetBits(sta[b], kRdErr, kRdOK);
    if (IsText(ReadPort(A, kLoopReadLen)))
        SetBits(sta[a], kRdOK, kRdErr);
    else
        SetBits(sta[a], kRdErr, kRdOK);
}

// One try of the plain RS232 test: pairs in order, the odd one out on the sensor.
void Rs232Try(Serial& s, std::vector<int>& sta)
{
    const size_t n = s.ports.size();
    std::vector<bool> open(n);
    for (size_t i = 0; i < n; ++i) {
        bool o = false;
        sta[i] = OpenPort(s.ports[i], o);
        open[i] = o;
    }
    for (size_t a = 0; a < n; a += 2) {
        if (!open[a])
            continue;
        if (a + 1 == n) {
            sta[a] = ProbeSensor(s, (int)a) ? kPass : (sta[a] | kRdErr);
            continue;
        }
        PairExchange(s, sta, a, a + 1, open[a + 1]);
    }
}

// Reads one serial port entry of the board; returns "" or why it is refused.
std::string ReadSerialPort(const json& entry, const std::string& defaultName, SimPort& p)
{
    p.name = defaultName;
    if (entry.is_string()) {
        p.name = entry.get<std::string>();
        return "";
    }
    if (!entry.is_object())
        return "a port entry that is neither a name nor an object";
    for (auto it = entry.begin(); it != entry.end(); ++it) {
        const std::string& k = it.key();
        if (k != "name" && k != "faults" && k != "humidity" && k != "temperature")
            return "port key \"" + k + "\"";
    }
    p.name = entry.value("name", defaultName);
    p.humidity = entry.value("humidity", kDefaultHumidity);
    p.temperature = entry.value("temperature", kDefaultTemperature);
    for (const json& f : entry.value("faults", json::array())) {
        if (f.is_object() && f.size() == 1 && f.contains("drop_rx")) {
            for (const json& n : f["drop_rx"])
                p.dropRx.insert(n.get<int>());
            continue;
        }
        const std::string name = f.is_string() ? f.get<std::string>() : f.dump();
        if (name == "no_open" || name == "not_tty")
            p.openable = false;
        else if (name == "deaf")
            p.deaf = true;
        else if (name == "corrupt")
            p.corrupt = true;
        else if (name == "stray")
            p.stray = true;
        else if (name == "self_loop")
            p.selfLoop = true;
        else if (name == "hear_self")
            p.hearSelf = true;
        else if (name == "silent")
            p.silent = true;
        else if (name == "bad_crc")
            p.badCrc = true;
        else if (name == "short")
            p.shortAnswer = true;
        else if (name == "long")
            p.longAnswer = true;
        else
            return "serial fault " + name + " of " + p.name;
    }
    return "";
}

// Returns "" when a port's faults suit its wiring, else why they are refused.
std::string CheckWiring(const SimPort& p)
{
    bool deviceFault = p.silent || p.badCrc || p.shortAnswer || p.longAnswer;
    if (deviceFault && !p.sensor)
        return "a sensor fault on " + p.name + ", which carries no sensor";
    if (p.sensor && (p.selfLoop || p.hearSelf))
        return "self_loop or hear_self on the sensor port " + p.name;
    return "";
}

// Reads the board's RS485 ports (a bus, or the sensor on a single port).
std::string ReadRs485(const json& board, Serial& s)
{
    const json list = board.value("rs485", json::array());
    for (size_t i = 0; i < list.size(); ++i) {
        SimPort p;
        const std::string name = "RS485-" + std::to_string(i + 1);
        std::string why = ReadSerialPort(list[i], name, p);
        if (!why.empty())
            return why;
        if (p.name != name)
            return "RS485 port " + p.name + " in place " + std::to_string(i + 1);
        s.ports.push_back(p);
    }
    const size_t n = s.ports.size();
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < n; ++j)
            if (i != j)
                s.ports[i].peers.push_back((int)j);
    if (n == 1)
        s.ports[0].sensor = true;
    for (const SimPort& p : s.ports) {
        std::string why = CheckWiring(p);
        if (!why.empty())
            return why;
    }
    return "";
}

// Reads the board's RS232 ports in the order the program lists them, paired,
// the odd one out on the sensor.
std::string ReadRs232(const json& board, Serial& s)
{
    const json list = board.value("rs232", json::array());
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].is_object() && list[i].contains("device"))
            return "a device on an RS232 port";
        SimPort p;
        std::string why = ReadSerialPort(list[i], "RS232-" + std::to_string(i + 1), p);
        if (!why.empty())
            return why;
        s.ports.push_back(p);
    }
    std::stable_sort(s.ports.begin(), s.ports.end(),
                     [](const SimPort& a, const SimPort& b) { return a.name < b.name; });
    const size_t n = s.ports.size();
    for (size_t k = 0; k + 1 < n; k += 2) {
        s.ports[k].peers.push_back((int)k + 1);
        s.ports[k + 1].peers.push_back((int)k);
    }
    if (n % 2 == 1)
        s.ports[n - 1].sensor = true;
    for (const SimPort& p : s.ports) {
        std::string why = CheckWiring(p);
        if (!why.empty())
            return why;
    }
    return "";
}

// The DIO device: channel faults, swapped DI wires and the level each DO was set to.
struct DioFaultRule {
    enum Kind { kStuck, kReads, kFails, kWriteFails, kReadFails } kind;
    int value = 0;
};

struct Dio {
    int nDO = 0, nDI = 0;
    std::map<int, DioFaultRule> doFaults, diFaults;
    std::vector<std::pair<int, int>> swapped;
    std::vector<int> doLevel;  // commanded level of DO d at index d; all off at power-on
};

const DioFaultRule* FaultOf(const std::map<int, DioFaultRule>& m, int n)
{
    auto it = m.find(n);
    return it == m.end() ? nullptr : &it->second;
}

// Returns the level DO d drives.
int DOLevel(const Dio& d, int n)
{
    const DioFaultRule* f = FaultOf(d.doFaults, n);
    if (f != nullptr && f->kind == DioFaultRule::kStuck)
        return f->value != 0 ? 1 : 0;
    return d.doLevel[(size_t)n];
}

// Returns what reading DO n answers; -1 when the read fails.
int ReadDO(const Dio& d, int n)
{
    const DioFaultRule* f = FaultOf(d.doFaults, n);
    if (f != nullptr && (f->kind == DioFaultRule::kFails || f->kind == DioFaultRule::kReadFails))
        return -1;
    return DOLevel(d, n);
}

// Returns what reading DI n answers; -1 when the read fails.
int ReadDI(const Dio& d, int n)
{
    int w = n;
    for (const auto& s : d.swapped) {
        if (s.first == w)
            w = s.second;
        else if (s.second == w)
            w = s.first;
    }
    int wire = 0;
    if (w >= 1 && w <= d.nDI) {
        int m = w - 1;
        int level = DOLevel(d, (m % (kDisPerDo * d.nDO)) / kDisPerDo + 1);
        wire = (m % 2 == 0) ? 1 - level : level;
    }
    const DioFaultRule* f = FaultOf(d.diFaults, n);
    if (f == nullptr)
        return wire;
    switch (f->kind) {
    case DioFaultRule::kStuck: return f->value;
    case DioFaultRule::kReads: return wire != 0 ? f->value : 0;
    case DioFaultRule::kFails:
    case DioFaultRule::kReadFails: return -1;
    case DioFaultRule::kWriteFails: break;
    }
    return wire;
}

// One call of the DO-to-DI test at level: the records of every DO and DI.
void DioTestCall(Dio& d, int level, std::vector<int>& doSta, std::vector<int>& diSta)
{
    std::fill(doSta.begin(), doSta.end(), 0);
    std::fill(diSta.begin(), diSta.end(), 0);
    std::vector<bool> switched((size_t)d.nDO + 1, false);
    for (int n = 1; n <= d.nDO; ++n) {
        const DioFaultRule* f = FaultOf(d.doFaults, n);
        if (f != nullptr && (f->kind == DioFaultRule::kFails || f->kind == DioFaultRule::kWriteFails))
            continue;  // the write fails: the DO never passes this call
        d.doLevel[(size_t)n] = level;
        switched[(size_t)n] = ReadDO(d, n) == level;
    }
    const int period = kDisPerDo * d.nDO;
    for (int l = 0; l < d.nDO; ++l) {
        int dsta = ReadDO(d, l + 1);
        for (int m = 0; m < d.nDI; ++m) {
            int p = m % period;
            if (p != kDisPerDo * l && p != kDisPerDo * l + 1)
                continue;
            int v = ReadDI(d, m + 1);
            if (v < 0)
                continue;
            bool expectActive = (m % 2 != 0) ? (dsta == 1) : (dsta == 0);
            bool ok = expectActive ? (v != 0) : (v == 0);
            diSta[(size_t)m] |= ok ? kPass : kRdErr;
            if (dsta == v && switched[(size_t)l + 1])
                doSta[(size_t)l] = kPass;
        }
    }
}

// Records the fault of one DIO channel ("DO2": "write_fails"); returns "" or why it is refused.
std::string ReadDioFault(const std::string& channel, const std::string& fault, Dio& d)
{
    bool isDO = channel.rfind("DO", 0) == 0;
    bool isDI = channel.rfind("DI", 0) == 0;
    if (!isDO && !isDI)
        return "DIO channel " + channel;
    int n = atoi(channel.c_str() + 2);
    if (n < 1 || n > (isDO ? d.nDO : d.nDI) || channel != channel.substr(0, 2) + std::to_string(n))
        return "DIO channel " + channel;
    DioFaultRule f{DioFaultRule::kFails, 0};
    if (fault.rfind("stuck", 0) == 0 && fault.size() > 5 && isdigit((unsigned char)fault[5])) {
        f = {DioFaultRule::kStuck, atoi(fault.c_str() + 5)};
    } else if (isDI && fault.rfind("reads", 0) == 0 && fault.size() > 5 && isdigit((unsigned char)fault[5])) {
        f = {DioFaultRule::kReads, atoi(fault.c_str() + 5)};
    } else if (fault == "fails") {
        f = {DioFaultRule::kFails, 0};
    } else if (fault == "read_fails") {
        f = {DioFaultRule::kReadFails, 0};
    } else if (isDO && fault == "write_fails") {
        f = {DioFaultRule::kWriteFails, 0};
    } else {
        return "DIO fault " + fault + " of " + channel;
    }
    (isDO ? d.doFaults : d.diFaults)[n] = f;
    return "";
}

// Reads the DIO device of the board; the channel counts are what the
// program takes from /etc/zrdio.conf.
std::string ReadDio(const json& board, Dio& d)
{
    if (board.contains("zrdio_conf") && !(board["zrdio_conf"].is_string() && board["zrdio_conf"] == ""))
        return "a zrdio_conf of its own";
    if (!board.contains("dio"))
        return "";
    const json& dio = board["dio"];
    for (auto it = dio.begin(); it != dio.end(); ++it) {
        const std::string& k = it.key();
        if (k != "do" && k != "di" && k != "faults" && k != "swapped" && !(k == "device" && it.value() == "present"))
            return "dio key \"" + k + "\"";
    }
    if (board.contains("zrdio_conf"))
        return "";  // an empty configuration: the program finds no channel
    d.nDO = dio.value("do", 0);
    d.nDI = dio.value("di", 0);
    d.doLevel.assign((size_t)d.nDO + 1, 0);
    const json faults = dio.value("faults", json::object());
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        std::string why = ReadDioFault(it.key(), it.value().get<std::string>(), d);
        if (!why.empty())
            return why;
    }
    for (const json& s : dio.value("swapped", json::array()))
        d.swapped.push_back({s.at(0).get<int>(), s.at(1).get<int>()});
    return "";
}

void Tally(ExpectedTally& t, int sta)
{
    (sta == kPass ? t.succ : t.err) += 1;
}

std::vector<ExpectedPort> Named(const std::vector<SimPort>& ports)
{
    std::vector<ExpectedPort> out;
    for (const SimPort& p : ports)
        out.push_back({p.name, {}, {}});
    return out;
}

std::vector<ExpectedPort> Numbered(const std::string& prefix, int n)
{
    std::vector<ExpectedPort> out;
    for (int i = 1; i <= n; ++i)
        out.push_back({prefix + std::to_string(i), {}, {}});
    return out;
}

std::string Summary(const std::string& port, const std::string& which, const ExpectedTally& t)
{
    return port + ":" + which + "Test Succ Cnt " + std::to_string(t.succ) + ",Error Cnt " + std::to_string(t.err);
}

bool ChannelPasses(const ExpectedPort& p)
{
    return TallyPasses(p.tally) && TallyPasses(p.ncTally);
}

// Runs the DIO kind of every try over the records of d.
std::string DioTries(Dio& d, int tries, ExpectedRun& e)
{
    if (d.nDO == 0 && d.nDI > 0)
        return "the DI switching test (a board with DIs and no DO)";
    std::vector<int> doSta((size_t)d.nDO), diSta((size_t)d.nDI);
    for (int t = 0; t < tries; ++t) {
        if (d.nDI < kDisPerDo * d.nDO) {
            // The single DO-to-DI test marks nothing passed.
            for (ExpectedPort& p : e.dos)
                Tally(p.tally, 0);
            for (ExpectedPort& p : e.dis)
                Tally(p.tally, 0);
            continue;
        }
        if (d.nDO == 0)
            continue;
        for (int level : {1, 0}) {
            DioTestCall(d, level, doSta, diSta);
            for (size_t i = 0; i < doSta.size(); ++i)
                Tally(level == 1 ? e.dos[i].tally : e.dos[i].ncTally, doSta[i]);
            for (size_t i = 0; i < diSta.size(); ++i)
                Tally(level == 1 ? e.dis[i].tally : e.dis[i].ncTally, diSta[i]);
        }
    }
    return "";
}

}  // namespace

bool TallyPasses(const ExpectedTally& t)
{
    return t.succ >= 1 && t.err == 0;
}

ExpectedRun ExpectTallies(const json& board, unsigned select, int tries)
{
    ExpectedRun e;
    e.select = select;
    const std::string host = board.value("hostname", "ZR-BOARD");
    if (host.rfind("ZR-C3-P500", 0) == 0 || host == "ZR-H6-R70N" || board.contains("settings_ini")) {
        e.refused = "a board whose RS232 test has a fixed device port, or a settings file";
        return e;
    }
    Serial rs485, rs232;
    Dio dio;
    for (std::string why : {ReadRs485(board, rs485), ReadRs232(board, rs232), ReadDio(board, dio)}) {
        if (!why.empty()) {
            e.refused = why;
            return e;
        }
    }
    e.rs485 = Named(rs485.ports);
    e.rs232 = Named(rs232.ports);
    e.dos = Numbered("DO-", dio.nDO);
    e.dis = Numbered("DI-", dio.nDI);

    std::vector<int> sta485(rs485.ports.size(), kFresh), sta232(rs232.ports.size(), kFresh);
    for (int t = 0; t < tries; ++t) {
        if (select & kSelectRs485) {
            Rs485Try(rs485, sta485);
            for (size_t i = 0; i < sta485.size(); ++i)
                Tally(e.rs485[i].tally, sta485[i]);
        }
        if (select & kSelectRs232) {
            Rs232Try(rs232, sta232);
            for (size_t i = 0; i < sta232.size(); ++i)
                Tally(e.rs232[i].tally, sta232[i]);
        }
    }
    if (select & kSelectDio) {
        e.refused = DioTries(dio, tries, e);
        if (!e.refused.empty())
            return e;
    }
    for (const ReportEntry& r : ExpectedReport(e))
        if (r.port == 0)
            e.testSta = -1;
    return e;
}

std::vector<std::string> ExpectedSummary(const ExpectedRun& e)
{
    std::vector<std::string> out;
    if (e.select & kSelectRs485)
        for (const ExpectedPort& p : e.rs485)
            out.push_back(Summary(p.name, "", p.tally));
    if (e.select & kSelectRs232)
        for (const ExpectedPort& p : e.rs232)
            out.push_back(Summary(p.name, "", p.tally));
    if (e.select & kSelectDio) {
        for (const auto* list : {&e.dos, &e.dis}) {
            for (const ExpectedPort& p : *list)
                out.push_back(Summary(p.name, "NO ", p.tally));
            for (const ExpectedPort& p : *list)
                out.push_back(Summary(p.name, "NC ", p.ncTally));
        }
    }
    return out;
}

std::vector<ReportEntry> ExpectedReport(const ExpectedRun& e)
{
    std::vector<ReportEntry> out;
    if (e.select & kSelectRs485)
        for (const ExpectedPort& p : e.rs485)
            out.push_back({"RS485", p.name, TallyPasses(p.tally) ? 1 : 0});
    if (e.select & kSelectRs232)
        for (const ExpectedPort& p : e.rs232)
            out.push_back({"RS232", p.name, TallyPasses(p.tally) ? 1 : 0});
    if (e.select & kSelectDio) {
        for (const ExpectedPort& p : e.dos)
            out.push_back({"DO", p.name, ChannelPasses(p) ? 1 : 0});
        for (const ExpectedPort& p : e.dis)
            out.push_back({"DI", p.name, ChannelPasses(p) ? 1 : 0});
    }
    return out;
}

std::vector<ReportEntry> ReportEntries(const std::string& report, std::string& error)
{
    std::vector<ReportEntry> out;
    json j = json::parse(report, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("logDate") || !j["logDate"].is_array()) {
        error = "not a report: " + report;
        return out;
    }
    for (const json& g : j["logDate"]) {
        if (!g.is_object() || !g.contains("name") || !g.contains("info") || !g["info"].is_array()) {
            error = "a group without name and info: " + g.dump();
            return out;
        }
        for (const json& p : g["info"]) {
            if (!p.is_object() || !p.contains("name") || !p.contains("port") || !p["port"].is_number_integer()) {
                error = "an entry without name and port: " + p.dump();
                return out;
            }
            out.push_back({g["name"].get<std::string>(), p["name"].get<std::string>(), p["port"].get<int>()});
        }
    }
    return out;
}
