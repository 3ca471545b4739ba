// The settings file class: how lines load, look-ups and their defaults, edits,
// the written-back form, and replacing the file safely.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SimpleIni.h"
#include "file_limit.h"

namespace {

namespace fs = std::filesystem;

class SimpleIniTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/test_simpleini.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Put(const std::string& name, const std::string& text)
    {
        std::string p = dir_ + "/" + name;
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
    static std::string Slurp(const std::string& p)
    {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Loads text into ini from a file.
    void LoadText(const std::string& text) { ASSERT_TRUE(ini_.Load(Put("in.ini", text))); }
    // Loads text and returns what SaveAs writes for it.
    std::string RoundTrip(const std::string& text)
    {
        LoadText(text);
        std::string out = dir_ + "/out.ini";
        EXPECT_TRUE(ini_.SaveAs(out));
        return Slurp(out);
    }
    size_t FilesInDir() const { return (size_t)std::distance(fs::directory_iterator(dir_), fs::directory_iterator()); }

    std::string dir_;
    SimpleIni ini_{""};
};

TEST_F(SimpleIniTest, HeadersNameSectionsByTheTrimmedTextUpToTheFirstBracket)
{
    LoadText("[  spaced name\t]\na=1\n"
             "[open  \nb=2\n"
             "[x] [y] ; after the bracket\nc=3\n"
             "[]\nd=4\n");
    EXPECT_EQ("1", ini_.GetValue("spaced name", "a", "-"));
    EXPECT_EQ("2", ini_.GetValue("open", "b", "-")) << "no closing bracket: the rest of the line";
    EXPECT_EQ("3", ini_.GetValue("x", "c", "-")) << "text after ']' is ignored";
    SimpleIni::KeyIterator it = ini_.beginKey("x");
    EXPECT_EQ("c", (*it).first);
    EXPECT_EQ(++it, ini_.endKey("x")) << "the header line adds no key";
    EXPECT_EQ("", ini_.GetComment("x", "c"));
    EXPECT_EQ("4", ini_.GetValue("", "d", "-")) << "\"[]\" names the empty section";
}

TEST_F(SimpleIniTest, KeyLinesSplitAtTheFirstCommentCharacterThenTheFirstEquals)
{
    LoadText("[s]\n"
             "  name  =  some value  ;  a note\n"
             "eq=a=b\n"
             "bare\n"
             "   \n"
             "hash=v1 # x ; y\n"
             "semi=v2 ; x # y\n");
    EXPECT_EQ("some value", ini_.GetValue("s", "name", "-"));
    EXPECT_EQ("  a note", ini_.GetComment("s", "name")) << "inline comment is not trimmed";
    EXPECT_EQ("a=b", ini_.GetValue("s", "eq", "-"));
    EXPECT_EQ("", ini_.GetValue("s", "bare", "-")) << "a name without '=' is a key, not a miss";
    EXPECT_EQ("", ini_.GetValue("s", "", "-")) << "a line of blanks is the empty-named key";
    EXPECT_EQ("v1", ini_.GetValue("s", "hash", "-"));
    EXPECT_EQ(" x ; y", ini_.GetComment("s", "hash"));
    EXPECT_EQ("v2", ini_.GetValue("s", "semi", "-"));
    EXPECT_EQ(" x # y", ini_.GetComment("s", "semi"));
}

TEST_F(SimpleIniTest, CommentCharacterAfterLeadingBlanksMakesAnEmptyNamedKey)
{
    LoadText("[s]\n  ; indented note\n");
    EXPECT_EQ(" indented note", ini_.GetComment("s", ""));
    EXPECT_EQ("", ini_.GetValue("s", "", "-"));
}

TEST_F(SimpleIniTest, OnlyOneTrailingControlCharacterIsDropped)
{
    LoadText("[s]\r\na=1\r\nb=2\r\r\nc=3\x01\n");
    EXPECT_EQ("1", ini_.GetValue("s", "a", "-")) << "CR LF loads like LF";
    EXPECT_EQ("2\r", ini_.GetValue("s", "b", "-")) << "the first of two control characters stays";
    EXPECT_EQ("3", ini_.GetValue("s", "c", "-"));

    std::string line = "x\n\t";
    ini_.ParasitCar(line);
    EXPECT_EQ("x\n", line);
    line = "caf\xc3\xa9";
    ini_.ParasitCar(line);
    EXPECT_EQ("caf\xc3\xa9", line) << "bytes above 0x7F are not control characters";
    line = "";
    ini_.ParasitCar(line);
    EXPECT_EQ("", line);

    EXPECT_EQ("a b", ini_.Trim(" \t a b\t "));
    EXPECT_EQ("\ra\n", ini_.Trim("\ra\n")) << "only spaces and tabs are trimmed";
    EXPECT_EQ("", ini_.Trim(" \t "));
}

TEST_F(SimpleIniTest, RepeatedSectionsMergeAndTheLastKeyWins)
{
    LoadText("top=0\n[s]\na=1\nb=1\n[t]\nx=1\n[s]\na=2 ;second\n");
    EXPECT_EQ("0", ini_.GetValue("", "top", "-")) << "keys before any header";
    EXPECT_EQ("2", ini_.GetValue("s", "a", "-"));
    EXPECT_EQ("second", ini_.GetComment("s", "a"));
    EXPECT_EQ("1", ini_.GetValue("s", "b", "-"));
    EXPECT_EQ("1", ini_.GetValue("t", "x", "-"));
}

TEST_F(SimpleIniTest, SecondLoadStartsFromEmptyTablesAndLookUpsCreateNothing)
{
    LoadText("[s]\na=1\n");
    LoadText("[t]\nb=2\n");
    EXPECT_EQ("-", ini_.GetValue("s", "a", "-"));
    EXPECT_EQ("2", ini_.GetValue("t", "b", "-"));
    EXPECT_EQ("-", ini_.GetValue("T", "b", "-")) << "names are case-sensitive";
    EXPECT_EQ("", ini_.GetComment("nosec", "k"));
    EXPECT_EQ(7, ini_.GetValue<int>("nosec", "k", 7));
    SimpleIni::SectionIterator it = ini_.beginSection();
    EXPECT_EQ(++it, ini_.endSection()) << "look-ups create nothing";
}

TEST_F(SimpleIniTest, NumberReadStopsAtTheFirstNonDigitAndMissingKeysGiveTheDefault)
{
    LoadText("[n]\nmixed=  42abc\nletters=abc\nneg=-7\nempty=\nplus=+5 ;c\n");
    EXPECT_EQ(42, ini_.GetValue<int>("n", "mixed", -1));
    EXPECT_EQ(0, ini_.GetValue<int>("n", "letters", -1));
    EXPECT_EQ(-7, ini_.GetValue<int>("n", "neg", -1));
    EXPECT_EQ(5, ini_.GetValue<int>("n", "plus", -1));
    EXPECT_EQ(0, ini_.GetValue<int>("n", "empty", -1)) << "present but empty reads as 0";
    EXPECT_EQ(-1, ini_.GetValue<int>("n", "missing", -1));
    ini_.SetValue("n", "marker", ";");
    EXPECT_EQ(9, ini_.GetValue<int>("n", "marker", 9)) << "\";\" is taken as absent";
}

TEST_F(SimpleIniTest, MissingFileLoadsEmptyAndOnlyTheConstructorThrows)
{
    std::string missing = dir_ + "/none.ini";
    EXPECT_FALSE(ini_.Load(missing));
    EXPECT_EQ("d", ini_.GetValue("s", "a", "d"));
    EXPECT_EQ(ini_.beginSection(), ini_.endSection());

    try {
        SimpleIni bad(missing);
        FAIL() << "constructing with an unreadable file must throw";
    } catch (const std::string& msg) {
        EXPECT_EQ("Unable to open the file " + missing + " in read mode.", msg);
    }
    SimpleIni good(Put("good.ini", "[s]\na=1\n"));
    EXPECT_EQ("1", good.GetValue("s", "a", "-"));
    SimpleIni empty(Put("empty.ini", ""));
    EXPECT_EQ(empty.beginSection(), empty.endSection());
}

TEST_F(SimpleIniTest, EditsTouchOnlyTheirOwnHalfOfTheKeyLine)
{
    LoadText("[s]\na=1 ;note\nb=2\n");
    ini_.SetValue("s", "a", "9");
    EXPECT_EQ("note", ini_.GetComment("s", "a"));
    ini_.SetComment("s", "b", "new");
    EXPECT_EQ("2", ini_.GetValue("s", "b", "-"));
    ini_.SetValue("fresh", "k", "v");
    EXPECT_EQ("v", ini_.GetValue("fresh", "k", "-"));
    ini_.SetComment("other", "k", "c");
    EXPECT_EQ("", ini_.GetValue("other", "k", "-")) << "SetComment creates the key with no value";

    EXPECT_EQ(1, ini_.DeleteKey("s", "a"));
    EXPECT_EQ(0, ini_.DeleteKey("s", "a"));
    EXPECT_EQ("-", ini_.GetValue("s", "a", "-"));
    EXPECT_EQ(0, ini_.DeleteKey("ghost", "k"));
    EXPECT_EQ(ini_.beginKey("ghost"), ini_.endKey("ghost")) << "created, but empty";
}

TEST_F(SimpleIniTest, IteratorsWalkSectionsAndKeysInByteOrder)
{
    LoadText("[b]\nz=1\nB=2\na=3\n[a]\nk=1\n[C]\nk=1\n");
    std::vector<std::string> sections;
    for (SimpleIni::SectionIterator it = ini_.beginSection(); it != ini_.endSection(); ++it)
        sections.push_back((*it).first);
    EXPECT_EQ((std::vector<std::string>{"C", "a", "b"}), sections);

    std::vector<std::string> keys;
    for (SimpleIni::KeyIterator it = ini_.beginKey("b"); it != ini_.endKey("b"); ++it)
        keys.push_back((*it).first + "=" + (*it).second.value);
    EXPECT_EQ((std::vector<std::string>{"B=2", "a=3", "z=1"}), keys);

    (*ini_.beginKey("a")).second.value = "changed";
    EXPECT_EQ("changed", ini_.GetValue("a", "k", "-")) << "the iterator reaches the stored entry";
}

TEST_F(SimpleIniTest, SavedFileIsSortedNormalisedAndDropsEmptySections)
{
    std::string out = RoundTrip("; file head\n"
                                "zeta = 1\n"
                                "[b]\n"
                                "y = 2   ; why\n"
                                "x=1\n"
                                "# about a\n; second line\n"
                                "[a]\n"
                                "k =v\n"
                                "[empty]\n"
                                "[c]\n"
                                "   \n"
                                "\n"
                                "  #loose\n");
    EXPECT_EQ("# file head\n"
              "zeta=1\n"
              "\n"
              "# about a\n"
              "# second line\n"
              "[a]\n"
              "k=v\n"
              "\n"
              "[b]\n"
              "x=1\n"
              "y=2\t; why\n"
              "\n"
              "[c]\n"
              "#loose\n",
              out);
}

TEST_F(SimpleIniTest, CommentBlocksFollowTheirKeyAndATrailingBlockIsDropped)
{
    std::string out = RoundTrip("[s]\n#one\n#\n;three\nk=1\n#orphan\n");
    EXPECT_EQ("[s]\n#one\n#\n#three\nk=1\n", out) << "empty comment lines stay inside a block";
}

TEST_F(SimpleIniTest, EmptyNamedKeysWriteNoNameAndHashComments)
{
    ini_.SetValue("", "", "lost");
    ini_.SetValue("s", "", "");
    ini_.SetComment("t", "", "note");
    std::string p = dir_ + "/e.ini";
    ASSERT_TRUE(ini_.SaveAs(p));
    EXPECT_EQ("\n\n[s]\n\n\n[t]\n#note\n", Slurp(p));
}

TEST_F(SimpleIniTest, FailedWriteLeavesTheOldFileWholeAndNoLeftovers)
{
    const std::string old = "[s]\nold=1\n";
    std::string p = Put("cfg.ini", old);
    ASSERT_TRUE(ini_.Load(p));
    ini_.SetValue("s", "big", std::string(64 * 1024, 'x'));
    {
        FileSizeLimit limit(1024);
        EXPECT_FALSE(ini_.SaveAs(p));
    }
    EXPECT_EQ(old, Slurp(p));
    EXPECT_EQ(1u, FilesInDir()) << "the half-written file is removed";

    EXPECT_FALSE(ini_.SaveAs(dir_ + "/no/such/dir/x.ini"));
    SimpleIni unnamed("");
    EXPECT_FALSE(unnamed.Save()) << "nothing loaded, no path to save to";
}

TEST_F(SimpleIniTest, SaveIsRefusedOrDoneInPlaceExactlyAsARewriteOfTheFileWouldBe)
{
    struct stat before, after;
    const std::string old = "[s]\na=1\n";
    std::string p = Put("cfg.ini", old);
    ASSERT_TRUE(ini_.Load(p));
    ini_.SetValue("s", "a", "2");
    auto save = [&] { return ini_.SaveAs(p) ? 1 : 0; };

    // A file its writer may not write, in a folder it may: refused, untouched.
    ASSERT_EQ(0, chmod(dir_.c_str(), 0777));
    ASSERT_EQ(0, chmod(p.c_str(), 0444));
    EXPECT_EQ(0, RunAsNobody(save));
    EXPECT_EQ(old, Slurp(p));
    EXPECT_EQ(1u, FilesInDir());

    // A file its writer may write, in a folder it may not: written in place.
    ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
    ASSERT_EQ(0, chmod(p.c_str(), 0644));
    ASSERT_EQ(0, chown(p.c_str(), kNobody, kNobody));
    ASSERT_EQ(0, stat(p.c_str(), &before));
    EXPECT_EQ(1, RunAsNobody(save));
    EXPECT_EQ("[s]\na=2\n", Slurp(p));
    ASSERT_EQ(0, stat(p.c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    // Owner, mode and hard links follow the rewrite shared with the profile
    // functions, tested there.
}

TEST_F(SimpleIniTest, RewrittenFileKeepsItsPermissionsAndItsSymbolicLink)
{
    std::string p = Put("cfg.ini", "[s]\na=1\n");
    ASSERT_EQ(0, chmod(p.c_str(), 0640));
    std::string link = dir_ + "/link.ini";
    ASSERT_EQ(0, symlink(p.c_str(), link.c_str()));
    ASSERT_TRUE(ini_.Load(link));
    ini_.SetValue("s", "a", "2");
    ASSERT_TRUE(ini_.Save());

    struct stat st;
    ASSERT_EQ(0, lstat(link.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link still points at the file";
    ASSERT_EQ(0, stat(p.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ("[s]\na=2\n", Slurp(p));

    mode_t oldMask = umask(027);
    std::string fresh = dir_ + "/fresh.ini";
    bool bSaved = ini_.SaveAs(fresh);
    umask(oldMask);
    ASSERT_TRUE(bSaved);
    ASSERT_EQ(0, stat(fresh.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777) << "a new file gets 0666 less the umask";
}

}  // namespace
