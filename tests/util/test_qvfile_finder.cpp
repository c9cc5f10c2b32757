#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <set>

#include "tempdir.h"
#include "util/qvfile.h"

namespace
{

struct Seen {
    uint32_t flags;
    uint32_t size;
    QVSystemTime when;
    std::string full;
};

std::map<std::string, Seen> Enumerate(const std::string& dir, const std::string& pattern = "*.*")
{
    std::map<std::string, Seen> out;
    CQVFileFinder finder(dir, pattern);
    CQVFileEntry e;
    while (finder.FindNext(&e))
        out[e.name] = Seen{e.flags, e.size, e.lastWrite, finder.GetFullPath(&e)};
    EXPECT_FALSE(finder.FindNext(&e)) << "an exhausted finder stays exhausted";
    return out;
}

void MakeTree(const TempDir& tmp)
{
    fs::create_directories(tmp.N("sub/deeper"));
    fs::create_directories(tmp.N("kept/.git"));
    WriteAll(tmp.N("a.txt"), "abc");
    WriteAll(tmp.N("noext"), std::string(70000, 'n'));
    WriteAll(tmp.N(".hidden"), "h");
    WriteAll(tmp.N("sub/one.bin"), "1");
    WriteAll(tmp.N("sub/deeper/two.bin"), "22");
    WriteAll(tmp.N("kept/file"), "f");
    WriteAll(tmp.N("kept/.git/HEAD"), "ref");
}

} // namespace

TEST(Finder, ListsEveryEntryWithFlagsAndSizes)
{
    TempDir tmp;
    MakeTree(tmp);
    std::map<std::string, Seen> all = Enumerate(tmp.Dir());
    std::set<std::string> names;
    for (auto& kv : all)
        names.insert(kv.first);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", ".hidden", "a.txt", "kept", "noext", "sub"}));

    EXPECT_EQ(all["a.txt"].flags, (uint32_t)QVFILE_ENTRY_NOTDOT);
    EXPECT_EQ(all["a.txt"].size, 3u);
    EXPECT_EQ(all["noext"].size, 70000u);
    EXPECT_EQ(all["sub"].flags, (uint32_t)(QVFILE_ENTRY_NOTDOT | QVFILE_ENTRY_DIRECTORY));
    EXPECT_EQ(all["sub"].size, 0u);
    EXPECT_EQ(all[".hidden"].flags, 0u);
    EXPECT_EQ(all["."].flags, (uint32_t)QVFILE_ENTRY_DIRECTORY);
    EXPECT_EQ(all["a.txt"].full, tmp.Dir() + "\\a.txt");

    // The stamp is the file system's own (UTC), not local time.
    std::time_t now = std::time(nullptr);
    std::tm utc = *std::gmtime(&now);
    const QVSystemTime& t = all["a.txt"].when;
    EXPECT_EQ(t.wYear, utc.tm_year + 1900);
    EXPECT_GE(t.wMonth, 1);
    EXPECT_LE(t.wMonth, 12);
    EXPECT_LE(t.wHour, 23);
}

TEST(Finder, TrailingSeparatorsAndPatterns)
{
    TempDir tmp;
    MakeTree(tmp);
    std::map<std::string, Seen> plain = Enumerate(tmp.Dir());
    std::map<std::string, Seen> slashed = Enumerate(tmp.Dir() + "\\\\\\");
    std::map<std::string, Seen> mixed = Enumerate(tmp.Dir() + "\\//");
    EXPECT_EQ(plain.size(), slashed.size());
    EXPECT_EQ(plain.size(), mixed.size());
    for (auto& kv : plain) {
        ASSERT_TRUE(slashed.count(kv.first)) << kv.first;
        EXPECT_EQ(slashed[kv.first].full, kv.second.full) << "the trimmed folder builds the paths";
    }

    std::map<std::string, Seen> txt = Enumerate(tmp.Dir(), "*.txt");
    ASSERT_EQ(txt.size(), 1u);
    EXPECT_TRUE(txt.count("a.txt"));
}

TEST(Finder, MissingFolderAndNullEntry)
{
    TempDir tmp;
    CQVFileFinder finder(tmp.Q("nowhere"), "*.*");
    CQVFileEntry e;
    EXPECT_FALSE(finder.FindNext(&e));
    EXPECT_FALSE(finder.FindNext(&e));
    EXPECT_EQ(finder.GetFullPath(nullptr), "");
}

TEST(DeleteContents, EmptiesTheTreeButKeepsDotNamesAndTheFolder)
{
    TempDir tmp;
    MakeTree(tmp);
    DeleteDirectoryContents(tmp.Dir());

    EXPECT_TRUE(fs::is_directory(tmp.N("")));
    EXPECT_FALSE(fs::exists(tmp.N("a.txt")));
    EXPECT_FALSE(fs::exists(tmp.N("noext")));
    EXPECT_FALSE(fs::exists(tmp.N("sub")));
    EXPECT_EQ(ReadAll(tmp.N(".hidden")), "h");
    // The folder holding a dot-folder cannot go, and the dot-folder is not entered.
    EXPECT_TRUE(fs::is_directory(tmp.N("kept")));
    EXPECT_FALSE(fs::exists(tmp.N("kept/file")));
    EXPECT_EQ(ReadAll(tmp.N("kept/.git/HEAD")), "ref");
}

TEST(DeleteContents, TrailingBackslashAndMissingFolderAreHarmless)
{
    TempDir tmp;
    fs::create_directories(tmp.N("x/y"));
    WriteAll(tmp.N("x/y/z"), "z");
    DeleteDirectoryContents(tmp.Q("x") + "\\");
    EXPECT_TRUE(fs::is_directory(tmp.N("x")));
    EXPECT_FALSE(fs::exists(tmp.N("x/y")));
    DeleteDirectoryContents(tmp.Q("absent"));
    EXPECT_FALSE(fs::exists(tmp.N("absent")));
}

#ifndef _WIN32
TEST(DeleteContents, LinkedFolderIsUnlinkedNotEmptied)
{
    TempDir tmp;
    fs::create_directories(tmp.N("target"));
    fs::create_directories(tmp.N("victim"));
    WriteAll(tmp.N("target/precious"), "p");
    fs::create_directory_symlink(tmp.N("target"), tmp.N("victim/link"));
    DeleteDirectoryContents(tmp.Q("victim"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp.N("victim/link"))));
    EXPECT_EQ(ReadAll(tmp.N("target/precious")), "p");
}
#endif

TEST(FileHelpers, ExistsDeleteMoveCopy)
{
    TempDir tmp;
    WriteAll(tmp.N("a"), "AAA");
    WriteAll(tmp.N("b"), "BB");
    fs::create_directories(tmp.N("d"));

    EXPECT_TRUE(FileExists(tmp.Q("a")));
    EXPECT_TRUE(FileExists(tmp.Q("d")));
    EXPECT_FALSE(FileExists(tmp.Q("c")));

    EXPECT_FALSE(QVMoveFile(tmp.Q("a"), tmp.Q("b"))) << "an existing target is never replaced";
    EXPECT_EQ(ReadAll(tmp.N("b")), "BB");
    EXPECT_TRUE(QVMoveFile(tmp.Q("a"), tmp.Q("c")));
    EXPECT_FALSE(fs::exists(tmp.N("a")));
    EXPECT_EQ(ReadAll(tmp.N("c")), "AAA");
    EXPECT_FALSE(QVMoveFile(tmp.Q("a"), tmp.Q("e")));

    EXPECT_TRUE(QVCopyFile(tmp.Q("c"), tmp.Q("b"))) << "a copy replaces its target";
    EXPECT_EQ(ReadAll(tmp.N("b")), "AAA");
    EXPECT_EQ(ReadAll(tmp.N("c")), "AAA");
    EXPECT_FALSE(QVCopyFile(tmp.Q("b"), tmp.Q("b")));
    EXPECT_EQ(ReadAll(tmp.N("b")), "AAA") << "copying onto itself must not destroy it";
    EXPECT_FALSE(QVCopyFile(tmp.Q("missing"), tmp.Q("x")));
    EXPECT_FALSE(fs::exists(tmp.N("x")));

    EXPECT_TRUE(QVDeleteFile(tmp.Q("b")));
    EXPECT_FALSE(fs::exists(tmp.N("b")));
    EXPECT_FALSE(QVDeleteFile(tmp.Q("b")));
    EXPECT_FALSE(QVDeleteFile(tmp.Q("d")));
    EXPECT_TRUE(fs::is_directory(tmp.N("d")));
}
