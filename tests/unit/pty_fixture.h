// Test helpers for the serial code: a pseudo-terminal standing in for a serial
// port, a scripted device on its far side, and the trace log in a temp file.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zrLog.h"

// Bytes as a string, so that a test can spell binary frames.
inline std::string Bytes(std::initializer_list<unsigned char> b)
{
    return std::string(b.begin(), b.end());
}

// Upper-case hex of s, "%02X " per byte, as the dumps show it.
inline std::string Hex(const std::string& s)
{
    std::string out;
    char item[4];
    for (unsigned char c : s) {
        snprintf(item, sizeof(item), "%02X ", c);
        out += item;
    }
    return out;
}

// Reads what arrives on fd until n bytes are in or timeoutMs passes with
// nothing new. Returns the bytes read.
inline std::string ReadUpTo(int fd, size_t n, int timeoutMs)
{
    std::string got;
    while (got.size() < n) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            break;
        char buf[512];
        ssize_t r = read(fd, buf, std::min(sizeof(buf), n - got.size()));
        if (r <= 0)
            break;
        got.append(buf, (size_t)r);
    }
    return got;
}

// Writes all of s to fd. Returns whether it all went out.
inline bool WriteAll(int fd, const std::string& s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t w = write(fd, s.data() + done, s.size() - done);
        if (w <= 0)
            return false;
        done += (size_t)w;
    }
    return true;
}

// A device on the far side of a line: waits for a request of a known length,
// keeps it, and answers (an empty answer keeps the device silent).
class ScriptedDevice {
public:
    ScriptedDevice(int fd, size_t requestLen, std::string answer)
        : thread_([this, fd, requestLen, answer] {
              request_ = ReadUpTo(fd, requestLen, kRequestWaitMs);
              if (!answer.empty())
                  WriteAll(fd, answer);
          })
    {
    }
    ~ScriptedDevice()
    {
        if (thread_.joinable())
            thread_.join();
    }
    // Returns the request the device received (waits for the device to finish).
    std::string Request()
    {
        if (thread_.joinable())
            thread_.join();
        return request_;
    }

private:
    static constexpr int kRequestWaitMs = 3000;
    std::string request_;
    std::thread thread_;
};

// Points the trace log at a temp file for the life of the object.
class TempTraceLog {
public:
    TempTraceLog()
    {
        char tmpl[] = "/tmp/serial-log-XXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/rigChkEx.log";
        saved_ = filename;
        filename = path_.c_str();
    }
    ~TempTraceLog()
    {
        filename = saved_;
        unlink(path_.c_str());
        unlink((path_ + ".bak").c_str());
        rmdir(dir_.c_str());
    }
    // Returns the text of every message logged so far: without the line
    // header and without the tab and source location that end it.
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> out;
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line)) {
            size_t pos = line.find("] ");
            std::string m = (pos == std::string::npos) ? line : line.substr(pos + 2);
            out.push_back(m.substr(0, m.find('\t')));
        }
        return out;
    }
    // Returns the function field of every line logged so far (the word
    // before " line=" in the tail).
    std::vector<std::string> Functions() const
    {
        std::vector<std::string> out;
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line)) {
            size_t end = line.rfind(" line=");
            size_t start = line.rfind(' ', end == std::string::npos ? end : end - 1);
            out.push_back(
                end == std::string::npos || start == std::string::npos ? "" : line.substr(start + 1, end - start - 1));
        }
        return out;
    }
    // Returns whether some message text contains part.
    bool Has(const std::string& part) const { return !Find(part).empty(); }
    // Returns the first message text that contains part, or "" when none does.
    std::string Find(const std::string& part) const
    {
        for (const std::string& t : Texts())
            if (t.find(part) != std::string::npos)
                return t;
        return "";
    }

private:
    std::string dir_;
    std::string path_;
    const char* saved_;
};

// One pseudo-terminal pair: port() is what the code under test holds as its
// serial port, device() the far end where a test plays the attached device.
// Both ends start raw, so nothing is echoed or translated.
class Pty {
public:
    Pty()
    {
        EXPECT_EQ(0, openpty(&master_, &slave_, name_, nullptr, nullptr));
        termios t;
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    ~Pty()
    {
        close(slave_);
        close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    int port() const { return slave_; }
    int device() const { return master_; }
    // The port's path, e.g. "/dev/pts/3".
    const char* path() const { return name_; }

private:
    int master_ = -1;
    int slave_ = -1;
    char name_[64] = {};
};

// Fixture with one pty and the trace log in a temp file.
class PtyTest : public ::testing::Test {
protected:
    TempTraceLog log;
    Pty pty;
};

// Seconds elapsed while fn runs.
template <typename Fn>
double SecondsOf(Fn fn)
{
    auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
