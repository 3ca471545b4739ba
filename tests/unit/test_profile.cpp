// Profile strings: where the scan finds sections and keys (prefix matches
// included), reading with defaults, rewriting in place, the size limit, safe
// replacement of the file and what it keeps of links and special files, and
// the precondition checks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "file_limit.h"
#include "zrFileSwap.h"
#include "zrProfile.h"

namespace {

namespace fs = std::filesystem;

struct Found {
    int iRet, sec_s, sec_e, key_s, key_e, value_s, value_e;
};

Found Parse(const char* section, const char* key, const std::string& text)
{
    Found f;
    f.iRet = parse_file(section, key, text.c_str(), &f.sec_s, &f.sec_e, &f.key_s, &f.key_e, &f.value_s, &f.value_e);
    return f;
}

// The value parse_file finds, or "<none>".
std::string ValueOf(const char* section, const char* key, const std::string& text)
{
    Found f = Parse(section, key, text);
    return f.iRet ? text.substr(f.value_s, f.value_e - f.value_s) : "<none>";
}

TEST(ProfileParse, PositionsOfHeaderKeyAndValue)
{
    const std::string text = "[sec]\nkey=val\n";
    Found f = Parse("sec", "key", text);
    EXPECT_EQ(1, f.iRet);
    EXPECT_EQ(1, f.sec_s);
    EXPECT_EQ(6, f.sec_e);
    EXPECT_EQ(6, f.key_s);
    EXPECT_EQ(8, f.key_e);
    EXPECT_EQ(10, f.value_s);
    EXPECT_EQ(13, f.value_e);

    f = Parse("sec", "other", "[sec]  \n\n  a=1\n");
    EXPECT_EQ(0, f.iRet);
    EXPECT_EQ(1, f.sec_s);
    EXPECT_EQ(11, f.sec_e) << "blanks and blank lines after the header are skipped";
    EXPECT_EQ(-1, f.key_s);
    EXPECT_EQ(-1, f.value_s);

    f = Parse("nosec", "key", text);
    EXPECT_EQ(0, f.iRet);
    EXPECT_EQ(-1, f.sec_s);
    EXPECT_EQ(-1, f.sec_e);
}

TEST(ProfileParse, NamesMatchWhenTheFileNameIsALeadingPartOfTheRequestedOne)
{
    EXPECT_EQ("1", ValueOf("ab", "k", "[a]\nk=1\n")) << "section ab finds header a";
    EXPECT_EQ("<none>", ValueOf("ab", "k", "[abc]\nk=1\n"));
    EXPECT_EQ("1", ValueOf("s", "key", "[s]\nk=1\n")) << "key 'key' finds line key 'k'";
    EXPECT_EQ("<none>", ValueOf("s", "k", "[s]\nkey=1\n"));
    EXPECT_EQ("v", ValueOf("any", "any", "[]\n=v\n")) << "empty names are a leading part of anything";
}

TEST(ProfileParse, LineRules)
{
    EXPECT_EQ("<none>", ValueOf("s", "k", "[s]\nk = 1\n")) << "a blank before '=' is part of the key";
    EXPECT_EQ(" 1 ;c ", ValueOf("s", "k", "[s]\nk= 1 ;c \n")) << "the value is raw";
    EXPECT_EQ("2", ValueOf("s", "k", "[s]\n;k=1\nk=2\n")) << "';' lines are skipped";
    EXPECT_EQ("1", ValueOf("s", "#k", "[s]\n#k=1\n")) << "'#' is not special";
    EXPECT_EQ("2", ValueOf("s", "j", "[s]\rk=1\rj=2\r")) << "CR alone ends a line";
    EXPECT_EQ("<none>", ValueOf("s", "k", "x[s]\nk=1\n")) << "headers only at a line start";
    EXPECT_EQ("<none>", ValueOf("s", "k", "[s]\n\n[t]\nk=1\n")) << "the section ends at the next header";
    EXPECT_EQ("1", ValueOf("s", "k", "[s]k=1\n")) << "text right after the header is a line";
}

TEST(ProfileParse, RepeatedHeadersAreSearchedInTurn)
{
    const std::string text = "[s]\na=1\n[t]\nk=0\n[s]\nk=2\n";
    Found f = Parse("s", "k", text);
    EXPECT_EQ(1, f.iRet);
    EXPECT_EQ("2", text.substr(f.value_s, f.value_e - f.value_s));
    EXPECT_EQ(17, f.sec_s) << "the second [s]";

    f = Parse("s", "z", text);
    EXPECT_EQ(0, f.iRet);
    EXPECT_EQ(17, f.sec_s) << "a miss leaves the last matching header";
}

TEST(ProfileParse, UnclosedHeaderAtTheEndStaysInsideTheText)
{
    Found f = Parse("s", "k", "abc\n[s");
    EXPECT_EQ(0, f.iRet);
    EXPECT_EQ(5, f.sec_s);
    EXPECT_EQ(6, f.sec_e);
    EXPECT_EQ("<none>", ValueOf("s", "k", "[s]"));
    EXPECT_EQ("<none>", ValueOf("s", "k", "[s]\nk"));
}

class ProfileFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/test_profile.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        path_ = dir_ + "/p.ini";
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Put(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string Slurp() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Text of exactly n bytes that starts with head.
    static std::string Padded(const std::string& head, size_t n)
    {
        std::string t = head;
        t.resize(n, 'x');
        return t;
    }
    size_t FilesInDir() const { return (size_t)std::distance(fs::directory_iterator(dir_), fs::directory_iterator()); }

    std::string dir_;
    std::string path_;
};

TEST_F(ProfileFileTest, ReadCopiesTheValueCutToTheBufferOrTheDefault)
{
    Put("[s]\nk=abcdef\n");
    char value[8];
    memset(value, 'X', sizeof(value));
    EXPECT_EQ(1, read_profile_string("s", "k", value, sizeof(value), "d", path_.c_str()));
    EXPECT_STREQ("abcdef", value);
    EXPECT_EQ('\0', value[7]) << "the buffer is zero-filled";

    EXPECT_EQ(1, read_profile_string("s", "k", value, 3, "d", path_.c_str()));
    EXPECT_STREQ("ab", value);

    EXPECT_EQ(0, read_profile_string("s", "nokey", value, sizeof(value), "dflt", path_.c_str()));
    EXPECT_STREQ("dflt", value);
    EXPECT_EQ(0, read_profile_string("s", "k", value, sizeof(value), "dflt", (dir_ + "/none").c_str()));
    EXPECT_STREQ("dflt", value);

    memset(value, 'X', sizeof(value));
    EXPECT_EQ(0, read_profile_string("s", "nokey", value, 4, "longdefault", path_.c_str()));
    EXPECT_STREQ("lon", value) << "a long default is cut and terminated";
    EXPECT_EQ('X', value[4]) << "nothing beyond size is written";

    strcpy(value, "keep");
    EXPECT_EQ(0, read_profile_string("s", "nokey", value, sizeof(value), nullptr, path_.c_str()));
    EXPECT_STREQ("keep", value) << "no default: the buffer is left alone";
}

TEST_F(ProfileFileTest, ReadingStopsAtA0xFFByte)
{
    Put("[s]\nk=1\xff\nj=2\n");
    char buf[64];
    int n = -1;
    std::unique_ptr<char[]> text(new char[kProfileBufSize]());
    EXPECT_EQ(1, load_ini_file(path_.c_str(), text.get(), &n));
    EXPECT_EQ(7, n);
    EXPECT_STREQ("[s]\nk=1", text.get());
    EXPECT_EQ(1, read_profile_string("s", "k", buf, sizeof(buf), "", path_.c_str()));
    EXPECT_STREQ("1", buf);
    EXPECT_EQ(0, read_profile_string("s", "j", buf, sizeof(buf), "", path_.c_str()));
}

TEST_F(ProfileFileTest, IntegerReadTakesLeadingDigits)
{
    Put("[n]\na=12abc\nb= -3\nc=xyz\nd=99999999999999\n");
    EXPECT_EQ(12, read_profile_int("n", "a", -1, path_.c_str()));
    EXPECT_EQ(-3, read_profile_int("n", "b", -1, path_.c_str()));
    EXPECT_EQ(0, read_profile_int("n", "c", -1, path_.c_str()));
    EXPECT_EQ(INT_MAX, read_profile_int("n", "d", -1, path_.c_str())) << "held to the int range";
    EXPECT_EQ(-1, read_profile_int("n", "missing", -1, path_.c_str()));
    EXPECT_EQ(5, read_profile_int("n", "a", 5, (dir_ + "/none").c_str()));
}

TEST_F(ProfileFileTest, WriteAddsOrReplacesInPlace)
{
    EXPECT_EQ(1, write_profile_string("s", "k", "v", path_.c_str()));
    EXPECT_EQ("[s]\nk=v\n", Slurp()) << "a missing file is created";

    Put("");
    EXPECT_EQ(1, write_profile_string("s", "k", "v", path_.c_str()));
    EXPECT_EQ("[s]\nk=v\n", Slurp()) << "no empty line before the first section";

    Put("[a]\nx=1\n");
    EXPECT_EQ(1, write_profile_string("b", "k", "v", path_.c_str()));
    EXPECT_EQ("[a]\nx=1\n\n[b]\nk=v\n", Slurp());

    Put("[a]\n\nx=1\n");
    EXPECT_EQ(1, write_profile_string("a", "k", "v", path_.c_str()));
    EXPECT_EQ("[a]\n\nk=v\nx=1\n", Slurp()) << "a new key is the first line of its section";

    Put("[a]\r\nk=old ;note\r\nz=1\r\n");
    EXPECT_EQ(1, write_profile_string("a", "k", "new", path_.c_str()));
    EXPECT_EQ("[a]\r\nk=new\r\nz=1\r\n", Slurp()) << "everything up to the line end is replaced";

    Put("[s]\nx=1\n[a]");
    EXPECT_EQ(1, write_profile_string("a", "k", "v", path_.c_str()));
    EXPECT_EQ("[s]\nx=1\n[a]\nk=v\n", Slurp()) << "a header that ends the file gets its line end";
    Put("[a]\n");
    EXPECT_EQ(1, write_profile_string("a", "k", "v", path_.c_str()));
    EXPECT_EQ("[a]\nk=v\n", Slurp()) << "and only then";

    Put("[a]\nk=1\n");
    EXPECT_EQ(1, write_profile_string("ab", "k", "2", path_.c_str()));
    EXPECT_EQ("[a]\nk=2\n", Slurp()) << "the prefix match holds for writing too";

    char value[16];
    Put("[s]\nk=1\n");
    ASSERT_EQ(1, write_profile_string("t", "j", "two", path_.c_str()));
    ASSERT_EQ(1, read_profile_string("t", "j", value, sizeof(value), "", path_.c_str()));
    EXPECT_STREQ("two", value);
}

TEST_F(ProfileFileTest, FilesTooLargeForTheBufferAreRefusedAndLeftAlone)
{
    char value[16];
    const std::string big = Padded("[s]\nk=1\n", kProfileBufSize);
    Put(big);
    EXPECT_EQ(0, read_profile_string("s", "k", value, sizeof(value), "dflt", path_.c_str()));
    EXPECT_STREQ("dflt", value);
    EXPECT_EQ(7, read_profile_int("s", "k", 7, path_.c_str()));
    EXPECT_EQ(0, write_profile_string("s", "k", "2", path_.c_str()));
    EXPECT_EQ(big, Slurp());

    const std::string most = Padded("[s]\nk=1\n", kProfileBufSize - 1);
    Put(most);
    EXPECT_EQ(1, read_profile_int("s", "k", 7, path_.c_str())) << "one byte less still fits";
    EXPECT_EQ(0, write_profile_string("s", "k", "22", path_.c_str())) << "the new text would not fit";
    EXPECT_EQ(most, Slurp());
    EXPECT_EQ(1, write_profile_string("s", "k", "", path_.c_str())) << "a shorter text does";
    EXPECT_EQ(Padded("[s]\nk=\n", kProfileBufSize - 2), Slurp());
}

TEST_F(ProfileFileTest, FailedWriteLeavesTheOldFileAndPermissionsAreKept)
{
    const std::string old = "[s]\nk=1\n";
    Put(old);
    {
        FileSizeLimit limit(16);
        EXPECT_EQ(0, write_profile_string("s", "k", std::string(100, 'v').c_str(), path_.c_str()));
    }
    EXPECT_EQ(old, Slurp());
    EXPECT_EQ(1u, FilesInDir()) << "the half-written file is removed";

    ASSERT_EQ(0, chmod(path_.c_str(), 0604));
    ASSERT_EQ(1, write_profile_string("s", "k", "2", path_.c_str()));
    struct stat st;
    ASSERT_EQ(0, stat(path_.c_str(), &st));
    EXPECT_EQ(0604u, st.st_mode & 07777);

    std::string fresh = dir_ + "/fresh.ini";
    mode_t oldMask = umask(077);
    int iRet = write_profile_string("s", "k", "1", fresh.c_str());
    umask(oldMask);
    ASSERT_EQ(1, iRet);
    ASSERT_EQ(0, stat(fresh.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST_F(ProfileFileTest, WriteIsRefusedOrDoneInPlaceExactlyAsARewriteOfTheFileWouldBe)
{
    struct stat before, after;
    const std::string old = "[s]\nk=1\n";
    auto write = [&] { return write_profile_string("s", "k", "2", path_.c_str()); };

    // A file its writer may not write, in a folder it may: refused, untouched.
    ASSERT_EQ(0, chmod(dir_.c_str(), 0777));
    Put(old);
    ASSERT_EQ(0, chmod(path_.c_str(), 0444));
    EXPECT_EQ(0, RunAsNobody(write));
    EXPECT_EQ(old, Slurp());
    EXPECT_EQ(1u, FilesInDir());

    // A file its writer may write, in a folder it may not: written in place.
    ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
    ASSERT_EQ(0, chmod(path_.c_str(), 0644));
    ASSERT_EQ(0, chown(path_.c_str(), kNobody, kNobody));
    ASSERT_EQ(0, stat(path_.c_str(), &before));
    EXPECT_EQ(1, RunAsNobody(write));
    EXPECT_EQ("[s]\nk=2\n", Slurp());
    ASSERT_EQ(0, stat(path_.c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);

    // Replaced beside itself, the file keeps its owner and mode.
    ASSERT_EQ(0, chmod(path_.c_str(), 0640));
    EXPECT_EQ(1, write_profile_string("s", "k", "3", path_.c_str()));
    ASSERT_EQ(0, stat(path_.c_str(), &after));
    EXPECT_EQ(kNobody, after.st_uid);
    EXPECT_EQ(kNobody, after.st_gid);
    EXPECT_EQ(0640u, after.st_mode & 07777);

    // A file with a second link stays one file with both names.
    std::string second = dir_ + "/second.ini";
    ASSERT_EQ(0, link(path_.c_str(), second.c_str()));
    EXPECT_EQ(1, write_profile_string("s", "k", "4", second.c_str()));
    EXPECT_EQ("[s]\nk=4\n", Slurp());
    ASSERT_EQ(0, stat(path_.c_str(), &after));
    EXPECT_EQ(2u, after.st_nlink);
}

// The rewrite shared with the settings file, on every kind of file a path can
// name: only a regular file is replaced by a new one; a link stays a link (a
// dangling one gets its target), a device or a FIFO with a reader takes the
// text in place, a FIFO without one is refused.
TEST_F(ProfileFileTest, RewriteKeepsWhatThePathNames)
{
    const std::string text = "[s]\nk=2\n";
    const std::string target = dir_ + "/target.ini";
    int reader = -1;
    auto fromReader = [&] {
        char buf[64] = {};
        ssize_t n = read(reader, buf, sizeof(buf));
        return std::string(buf, n > 0 ? (size_t)n : 0);
    };
    auto fromTarget = [&] {
        std::ifstream in(target);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    struct Row {
        const char* name;
        std::function<int()> make;  // 0; -1 when it cannot be made here (the row is skipped)
        mode_t type;                // what the path is afterwards
        int iRet;                   // the rewrite's result
        std::function<std::string()> got;
        std::string want;  // the text as the file's reader sees it
        size_t files;      // names in the folder afterwards: nothing left behind
    };
    const Row rows[] = {
        {"regular file",
         [&] {
             Put("[s]\nk=1\n");
             return 0;
         },
         S_IFREG, 0, [&] { return Slurp(); }, text, 1},
        {"link to a regular file",
         [&] {
             std::ofstream(target) << "[s]\nk=1\n";
             return symlink(target.c_str(), path_.c_str());
         },
         S_IFLNK, 0, fromTarget, text, 2},
        {"dangling link", [&] { return symlink("target.ini", path_.c_str()); }, S_IFLNK, 0, fromTarget, text, 2},
        // As /dev/null: a device node in a folder that may hold one.
        {"character device 1,3",
         [&] {
             if (mknod(path_.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
                 return -1;
             int fd = open(path_.c_str(), O_WRONLY);
             return fd < 0 ? -1 : close(fd);
         },
         S_IFCHR, 0, [&] { return Slurp(); }, "", 1},
        {"FIFO with a reader",
         [&] {
             if (mkfifo(path_.c_str(), 0600) != 0)
                 return -1;
             reader = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
             return reader < 0 ? -1 : 0;
         },
         S_IFIFO, 0, fromReader, text, 1},
        {"FIFO without a reader", [&] { return mkfifo(path_.c_str(), 0600); }, S_IFIFO, -1,
         [] { return std::string(); }, "", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(path_);
        fs::remove(target);
        if (row.make() != 0) {
            std::cout << "[  SKIPPED ] " << row.name << ": " << strerror(errno) << "\n";
            continue;
        }
        _tag_FileSwap_ swap;
        int iRet = OpenFileSwap(&swap, path_.c_str());
        if (iRet == 0 && WriteFileSwap(&swap, text.data(), text.size()) != 0) {
            DropFileSwap(&swap);
            iRet = -1;
        }
        if (iRet == 0)
            iRet = CommitFileSwap(&swap);
        EXPECT_EQ(row.iRet, iRet);
        struct stat st;
        ASSERT_EQ(0, lstat(path_.c_str(), &st));
        EXPECT_EQ(row.type, st.st_mode & S_IFMT);
        if (S_ISCHR(st.st_mode)) {
            EXPECT_EQ(makedev(1, 3), st.st_rdev);
        }
        EXPECT_EQ(row.want, row.got());
        EXPECT_EQ(row.files, FilesInDir());
        if (reader >= 0)
            close(reader);
        reader = -1;
    }
}

TEST_F(ProfileFileTest, TextThatCannotBeReadWholeIsNotRewritten)
{
    const std::string cut = "[s]\nk=1\n\xff tail that would be lost\n";
    Put(cut);
    EXPECT_EQ(0, write_profile_string("s", "k", "2", path_.c_str()));
    EXPECT_EQ(cut, Slurp());

    EXPECT_EQ(0, write_profile_string("s", "k", "2", dir_.c_str())) << "a folder is not a file";
    EXPECT_TRUE(fs::is_directory(dir_));
}

TEST(ProfileDeath, PreconditionsEndTheProcessNamingTheCheck)
{
    char buf[8];
    int n, a, b, c, d, e, f;
    EXPECT_DEATH(load_ini_file(nullptr, buf, &n), "Assertion `file !=__null' failed");
    EXPECT_DEATH(load_ini_file("x", nullptr, &n), "Assertion `buf !=__null' failed");
    EXPECT_DEATH(parse_file("s", "k", nullptr, &a, &b, &c, &d, &e, &f), "Assertion `buf!=__null' failed");
    EXPECT_DEATH(parse_file("", "k", "", &a, &b, &c, &d, &e, &f),
                 "Assertion `section != __null && strlen\\(section\\)' failed");
    EXPECT_DEATH(read_profile_string("s", "", buf, 8, "", "x"), "Assertion `key != __null && strlen\\(key\\)' failed");
    EXPECT_DEATH(read_profile_string("s", "k", nullptr, 8, "", "x"), "Assertion `value != __null' failed");
    EXPECT_DEATH(read_profile_string("s", "k", buf, 0, "", "x"), "Assertion `size > 0' failed");
    EXPECT_DEATH(read_profile_string("s", "k", buf, 8, "", nullptr),
                 "Assertion `file !=__null &&strlen\\(key\\)' failed");
    EXPECT_DEATH(read_profile_int(nullptr, "k", 0, "x"), "Assertion `section != __null && strlen\\(section\\)' failed");
    EXPECT_DEATH(write_profile_string("s", "k", nullptr, "x"), "Assertion `value != __null' failed");
    EXPECT_DEATH(write_profile_string("s", "k", "v", nullptr), "Assertion `file !=__null &&strlen\\(key\\)' failed");
}

}  // namespace
