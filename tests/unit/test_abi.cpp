// The program's data where it depends on the platform: the tray message as it
// is handed to the kernel, time_t, and the widths of the inventory counters
// and the status byte. Runs on the build machine (x86_64) and, cross-built,
// under qemu-arm with the board's ABI (32-bit ARM hard-float); each check
// states what it expects on each.
#include <gtest/gtest.h>

#include <sys/msg.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "SimpleIni.h"
#include "endtips.h"
#include "portinfo.h"
#include "settings.h"

namespace {

#if defined(__arm__)
constexpr size_t kLongSize = 4;      // the tray message's type field on the board
constexpr size_t kTrayMsgSize = 80;  // type and text, no padding
#elif defined(__x86_64__)
constexpr size_t kLongSize = 8;
constexpr size_t kTrayMsgSize = 88;  // padded to the alignment of long; the padding is never sent
#else
#error "expected values for this architecture are missing"
#endif

// What the program last handed to msgsnd: this definition stands in for the
// C library's in this test program, so the bytes are seen as the kernel
// (and the tray application on the board) would get them.
struct SentMsg {
    int calls = 0;
    int qid = -1;
    size_t size = 0;
    int flags = 0;
    unsigned char bytes[128] = {};
};
SentMsg g_sent;

}  // namespace

extern "C" int msgsnd(int qid, const void* msgp, size_t size, int flags)
{
    g_sent.calls++;
    g_sent.qid = qid;
    g_sent.size = size;
    g_sent.flags = flags;
    memset(g_sent.bytes, 0, sizeof(g_sent.bytes));
    size_t whole = sizeof(long) + size;
    memcpy(g_sent.bytes, msgp, whole < sizeof(g_sent.bytes) ? whole : sizeof(g_sent.bytes));
    return 0;
}

namespace {

TEST(TrayMessageAbi, RecordIsALongTypeFollowedDirectlyBySeventySixBytesOfText)
{
    EXPECT_EQ(kLongSize, sizeof(long));
    EXPECT_EQ(kLongSize, sizeof(TrayMsg::mtype));
    EXPECT_EQ(kLongSize, offsetof(TrayMsg, iParam1)) << "the text starts right after the type";
    EXPECT_EQ(kLongSize + 4, offsetof(TrayMsg, iParam2));
    EXPECT_EQ(kLongSize + 8, offsetof(TrayMsg, rest));
    EXPECT_EQ(68u, sizeof(TrayMsg::rest));
    EXPECT_EQ(kTrayMsgSize, sizeof(TrayMsg));
}

TEST(TrayMessageAbi, BytesOnTheQueueAreTypeThenTwoLittleEndianValuesThenZeros)
{
    g_sent = SentMsg();
    EXPECT_EQ(1, SendMsgToTray(7, 0x01020304, -2));
    ASSERT_EQ(1, g_sent.calls);
    EXPECT_EQ(7, g_sent.qid);
    EXPECT_EQ(76u, g_sent.size) << "the size given to msgsnd counts the text only";
    EXPECT_EQ(IPC_NOWAIT, g_sent.flags);

    // 36876 = 0x900C in a little-endian long: 4 bytes on the board, 8 here.
    const unsigned char type[8] = {0x0C, 0x90, 0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < kLongSize; ++i)
        EXPECT_EQ(type[i], g_sent.bytes[i]) << "type byte " << i;
    const unsigned char* text = g_sent.bytes + kLongSize;
    const unsigned char values[8] = {0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF, 0xFF, 0xFF};
    for (size_t i = 0; i < sizeof(values); ++i)
        EXPECT_EQ(values[i], text[i]) << "text byte " << i;
    for (size_t i = sizeof(values); i < 76; ++i)
        ASSERT_EQ(0, text[i]) << "text byte " << i;

    g_sent = SentMsg();
    EXPECT_EQ(1, SendMsgToTray(-1, 2, 0));
    EXPECT_EQ(0, g_sent.calls) << "a negative queue id sends nothing";
}

TEST(TimeAbi, TimeAndFileOffsetsAreSixtyFourBitsAndDatesPast2038Format)
{
    // The board build uses 64-bit time_t (_TIME_BITS=64): the program then
    // calls the C library's 64-bit time entry points, __ioctl_time64 among
    // them, which the fixture's preload library provides too.
    EXPECT_EQ(8u, sizeof(time_t));
    EXPECT_EQ(8u, sizeof(off_t));

    const time_t after2038 = static_cast<time_t>(2208988800LL);  // 2040-01-01 00:00:00 UTC
    struct tm parts;
    ASSERT_NE(nullptr, gmtime_r(&after2038, &parts));
    char text[32];
    ASSERT_GT(strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts), 0u);
    EXPECT_STREQ("2040-01-01 00:00:00", text);
}

TEST(InventoryAbi, CountsAreUnsignedSixteenBitsAndTheStatusIsOneUnsignedByte)
{
    _tag_ZrPortInfo_ info;
    static_assert(std::is_same<decltype(info.nRS485Cnt), unsigned short>::value, "RS485 count");
    static_assert(std::is_same<decltype(info.nRS232Cnt), unsigned short>::value, "RS232 count");
    static_assert(std::is_same<decltype(info.nDICnt), unsigned short>::value, "DI count");
    static_assert(std::is_same<decltype(info.nDOCnt), unsigned short>::value, "DO count");
    static_assert(std::is_same<decltype(_tag_PortData_::bySta), unsigned char>::value, "status byte");
    EXPECT_EQ(2u, sizeof(info.nDOCnt));
    EXPECT_EQ(1u, sizeof(_tag_PortData_::bySta));
    EXPECT_EQ(4u, sizeof(_tag_PortData_::fdPort));
    EXPECT_EQ(8u, sizeof(_tag_PortData_)) << "descriptor, status byte, padding";
    EXPECT_EQ(8u, sizeof(_tag_TestSta_));

    // The settings file's DO count is cut to 16 bits, the same on both.
    SimpleIni ini("");
    ini.SetValue("DO", "cnt", "65538");
    EXPECT_EQ(2, ApplyDOCountSettings(ini, "ZR-BOARD", 8));
    ini.SetValue("DO", "cnt", "-1");
    EXPECT_EQ(65535, ApplyDOCountSettings(ini, "ZR-BOARD", 8));
    ini.SetValue("DO", "cnt", "4");
    EXPECT_EQ(4, ApplyDOCountSettings(ini, "ZR-H6-R70N", 8));
}

}  // namespace
