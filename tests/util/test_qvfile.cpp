#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tempdir.h"
#include "util/qvfile.h"

// --- Stored integers and strings, checked byte for byte on disk ---------------

TEST(FileStrings, NarrowFormOnDiskAndBack)
{
    TempDir tmp;
    {
        CQVFile f(tmp.Q("login.dat"));
        ASSERT_TRUE(f.Open(CQVFile::OpenCreate, 0));
        EXPECT_TRUE(f.WriteString(""));
        EXPECT_TRUE(f.WriteString("Pool"));
        EXPECT_TRUE(f.WriteInt32(0x01020304));
        f.Close();
    }
    EXPECT_EQ(ReadAll(tmp.N("login.dat")), Bytes({0, 0, 0, 0, 4, 0, 0, 0, 'P', 'o', 'o', 'l', 4, 3, 2, 1}));

    CQVFile f(tmp.Q("login.dat"));
    ASSERT_TRUE(f.Open(CQVFile::OpenRead, 0));
    std::string s = "junk";
    EXPECT_TRUE(f.ReadString(&s));
    EXPECT_EQ(s, "");
    EXPECT_TRUE(f.ReadString(&s));
    EXPECT_EQ(s, "Pool");
    uint32_t v = 0;
    EXPECT_TRUE(f.ReadInt32(&v));
    EXPECT_EQ(v, 0x01020304u);
}

TEST(FileStrings, Utf16FormIsReadWithHalfTheByteCount)
{
    TempDir tmp;
    WriteAll(tmp.N("w.dat"), Bytes({10, 0, 0, 0x80, 'H', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0,
                                    // odd byte count 11: five characters, the last byte is dropped
                                    11, 0, 0, 0x80, 'W', 0, 'o', 0, 'r', 0, 'l', 0, 'd', 0, '!'}));
    CQVFile f(tmp.Q("w.dat"));
    ASSERT_TRUE(f.Open(CQVFile::OpenRead, 0));
    std::string s;
    EXPECT_TRUE(f.ReadString(&s));
    EXPECT_EQ(s, "Hello");
    EXPECT_TRUE(f.ReadString(&s));
    EXPECT_EQ(s, "World");
    uint32_t v = 7;
    EXPECT_FALSE(f.ReadInt32(&v));
}

TEST(FileStrings, ShortDataFailsAndLeavesTargetsAlone)
{
    TempDir tmp;
    // An integer cut short after two bytes, then a string whose text is cut short.
    WriteAll(tmp.N("a.dat"), Bytes({1, 2}));
    WriteAll(tmp.N("b.dat"), Bytes({8, 0, 0, 0, 'a', 'b', 'c'}));
    WriteAll(tmp.N("c.dat"), Bytes({8, 0, 0, 0x80, 'a', 0}));

    CQVFile a(tmp.Q("a.dat"));
    ASSERT_TRUE(a.Open(CQVFile::OpenRead, 0));
    uint32_t v = 0xDEADBEEF;
    EXPECT_FALSE(a.ReadInt32(&v));
    EXPECT_EQ(v, 0xDEADBEEFu);
    std::string s = "keep";
    EXPECT_FALSE(a.ReadString(&s));
    EXPECT_EQ(s, "keep");

    CQVFile b(tmp.Q("b.dat"));
    ASSERT_TRUE(b.Open(CQVFile::OpenRead, 0));
    EXPECT_FALSE(b.ReadString(&s));
    EXPECT_EQ(s, "keep");

    CQVFile c(tmp.Q("c.dat"));
    ASSERT_TRUE(c.Open(CQVFile::OpenRead, 0));
    EXPECT_FALSE(c.ReadString(&s));
    EXPECT_EQ(s, "keep");
}

TEST(FileStrings, ClosedOrUnopenableFileRefusesEverything)
{
    TempDir tmp;
    CQVFile f(tmp.Q("missing.dat"));
    EXPECT_FALSE(f.Open(CQVFile::OpenRead, 0));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.GetMode(), 0);
    uint32_t v = 5;
    std::string s = "x";
    EXPECT_FALSE(f.ReadInt32(&v));
    EXPECT_FALSE(f.ReadString(&s));
    EXPECT_FALSE(f.WriteInt32(1));
    EXPECT_FALSE(f.WriteString("abc"));
    // Write is refused too, rather than swallowing bytes that can never reach a file.
    EXPECT_FALSE(f.Write("abc", 3));
    f.Close();
    EXPECT_FALSE(fs::exists(tmp.N("missing.dat")));
}

// --- Write buffering, observed through the size on disk -----------------------

TEST(FileBuffering, FiveThousandthByteFlushesTheFirst4999)
{
    TempDir tmp;
    std::string data = Pattern(5001);
    CQVFile f(tmp.Q("buf.bin"));
    ASSERT_TRUE(f.Open(CQVFile::OpenCreate, 0));
    for (int i = 0; i < 4999; i++)
        ASSERT_TRUE(f.WriteBytes(&data[i], 1));
    EXPECT_EQ(f.GetSize(), 0u) << "4999 bytes still wait in the buffer";
    EXPECT_EQ(fs::file_size(tmp.N("buf.bin")), 0u);
    EXPECT_EQ(f.Tell(), 4999u);

    ASSERT_TRUE(f.WriteBytes(&data[4999], 1));
    EXPECT_EQ(f.GetSize(), 4999u) << "the 5000th write flushes first, then buffers its byte";
    ASSERT_TRUE(f.WriteBytes(&data[5000], 1));
    EXPECT_EQ(f.GetSize(), 4999u);
    EXPECT_EQ(f.Tell(), 5001u);
    f.Close();
    EXPECT_SAME_BYTES(ReadAll(tmp.N("buf.bin")), data);
}

TEST(FileBuffering, LargeWriteFlushesPendingThenBypassesBuffer)
{
    TempDir tmp;
    std::string head = "0123456789";
    std::string big = Pattern(6000);
    CQVFile f(tmp.Q("big.bin"));
    // Others may read while we write, so the bytes on disk can be looked at now.
    ASSERT_TRUE(f.Open(CQVFile::OpenCreate, QVFILE_SHARE_READ));
    ASSERT_TRUE(f.WriteBytes(head.data(), 10));
    ASSERT_TRUE(f.WriteBytes(big.data(), 6000));
    EXPECT_EQ(f.GetSize(), 6010u) << "nothing of the large write is left in the buffer";
    EXPECT_SAME_BYTES(ReadAll(tmp.N("big.bin")), head + big);

    // Exactly 5000 after a flush is buffered, not written through.
    ASSERT_TRUE(f.WriteBytes(big.data(), 5000));
    EXPECT_EQ(f.GetSize(), 6010u);
    EXPECT_TRUE(f.Flush());
    EXPECT_EQ(f.GetSize(), 11010u);
    f.Close();
    EXPECT_SAME_BYTES(ReadAll(tmp.N("big.bin")), head + big + big.substr(0, 5000));
}

// --- Open modes --------------------------------------------------------------

TEST(FileModes, CreateTruncatesAppendAddsAndBadModeFails)
{
    TempDir tmp;
    WriteAll(tmp.N("m.bin"), "old contents");
    CQVFile f(tmp.Q("m.bin"));
    EXPECT_FALSE(f.Open(4, 0));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.Open(0, 0));

    ASSERT_TRUE(f.Open(CQVFile::OpenCreate, 0));
    EXPECT_EQ(f.GetMode(), CQVFile::OpenCreate);
    EXPECT_EQ(fs::file_size(tmp.N("m.bin")), 0u);
    f.WriteBytes("abc", 3);
    // Reopening closes (and flushes) first; a bad mode leaves it closed.
    EXPECT_FALSE(f.Open(4, 0));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(ReadAll(tmp.N("m.bin")), "abc");

    ASSERT_TRUE(f.Open(CQVFile::OpenAppend, 0));
    EXPECT_EQ(f.Tell(), 3u);
    f.WriteBytes("def", 3);
    f.Close();
    EXPECT_EQ(ReadAll(tmp.N("m.bin")), "abcdef");

    CQVFile g(tmp.Q("new.bin"));
    ASSERT_TRUE(g.Open(CQVFile::OpenAppend, 0));
    g.WriteBytes("xy", 2);
    g.Close();
    EXPECT_EQ(ReadAll(tmp.N("new.bin")), "xy");

    CQVFile d(tmp.Dir());
    EXPECT_FALSE(d.Open(CQVFile::OpenRead, 0)) << "a folder is not a file";
}

TEST(FileModes, GetSizeOfClosedFileLeavesItClosed)
{
    TempDir tmp;
    WriteAll(tmp.N("s.bin"), Pattern(12345));
    CQVFile f(tmp.Q("s.bin"));
    EXPECT_EQ(f.GetSize(), 12345u);
    EXPECT_FALSE(f.IsOpen());
    CQVFile g(tmp.Q("none.bin"));
    EXPECT_EQ(g.GetSize(), 0u);
    EXPECT_FALSE(fs::exists(tmp.N("none.bin")));
}

TEST(FileModes, ReadAndWriteStayInTheirOwnMode)
{
    TempDir tmp;
    std::string data = Pattern(100);
    WriteAll(tmp.N("r.bin"), data);
    CQVFile f(tmp.Q("r.bin"));
    ASSERT_TRUE(f.Open(CQVFile::OpenRead, 0));
    char b[10];
    ASSERT_TRUE(f.Read(b, 10));
    // A write in read mode must not slip into the read-ahead.
    EXPECT_FALSE(f.WriteBytes("zzzz", 4));
    ASSERT_TRUE(f.Read(b, 10));
    EXPECT_EQ(std::string(b, 10), data.substr(10, 10));
    f.Close();
    EXPECT_SAME_BYTES(ReadAll(tmp.N("r.bin")), data);

    CQVFile w(tmp.Q("w.bin"));
    ASSERT_TRUE(w.Open(CQVFile::OpenCreate, 0));
    w.WriteBytes("pending", 7);
    EXPECT_FALSE(w.ReadExact(b, 4)) << "pending output is not input";
    EXPECT_FALSE(w.Read(b, 4));
    w.Close();
    EXPECT_EQ(ReadAll(tmp.N("w.bin")), "pending");
}

TEST(FileModes, ReopenAfterReadStartsClean)
{
    TempDir tmp;
    WriteAll(tmp.N("a.bin"), "AAAAAAAAAA");
    CQVFile f(tmp.Q("a.bin"));
    ASSERT_TRUE(f.Open(CQVFile::OpenRead, 0));
    char b[4];
    ASSERT_TRUE(f.Read(b, 2));
    f.Close();
    WriteAll(tmp.N("a.bin"), "BCDE");
    ASSERT_TRUE(f.Open(CQVFile::OpenRead, 0));
    ASSERT_TRUE(f.ReadExact(b, 4));
    EXPECT_EQ(std::string(b, 4), "BCDE");
}

// --- Reading and positions ---------------------------------------------------

TEST(FileReading, BufferedAndExactReadsDeliverTheFileInOrder)
{
    TempDir tmp;
    std::string data = Pattern(12000);
    WriteAll(tmp.N("d.bin"), data);
    CQVFile f(tmp.Q("d.bin"));
    ASSERT_TRUE(f.Open(CQVFile::OpenRead, 0));
    std::vector<char> b(8000);

    ASSERT_TRUE(f.Read(b.data(), 100));
    EXPECT_SAME_BYTES(std::string(b.data(), 100), data.substr(0, 100));
    EXPECT_EQ(f.Tell(), 100u);
    // Crosses the end of the read-ahead: the rest of the buffer, then a refill.
    ASSERT_TRUE(f.Read(b.data(), 7000));
    EXPECT_SAME_BYTES(std::string(b.data(), 7000), data.substr(100, 7000));
    EXPECT_EQ(f.Tell(), 7100u);
    // Takes what is buffered, then goes to the file directly.
    ASSERT_TRUE(f.ReadExact(b.data(), 4000));
    EXPECT_SAME_BYTES(std::string(b.data(), 4000), data.substr(7100, 4000));
    EXPECT_EQ(f.Tell(), 11100u);
    ASSERT_TRUE(f.ReadExact(b.data(), 900));
    EXPECT_SAME_BYTES(std::string(b.data(), 900), data.substr(11100, 900));
    EXPECT_FALSE(f.ReadExact(b.data(), 1));
    EXPECT_FALSE(f.Read(b.data(), 1));
    EXPECT_TRUE(f.Read(b.data(), 0));
}

TEST(FileReading, LargeReadPastTheEndIsAFailure)
{
    TempDir tmp;
    WriteAll(tmp.N("d.bin"), Pattern(5500));
    CQVFile f(tmp.Q("d.bin"));
    ASSERT_TRUE(f.Open(CQVFile::OpenRead, 0));
    std::vector<char> b(6000);
    EXPECT_FALSE(f.Read(b.data(), 6000)) << "only 5500 bytes exist";
}

TEST(FileReading, SeekInsideAndOutsideTheReadAhead)
{
    TempDir tmp;
    std::string data = Pattern(20000);
    WriteAll(tmp.N("d.bin"), data);
    CQVFile f(tmp.Q("d.bin"));
    ASSERT_TRUE(f.Open(CQVFile::OpenRead, 0));
    char c;
    ASSERT_TRUE(f.Read(&c, 1));
    EXPECT_EQ(f.SeekTell(0, QVFILE_CURRENT), 1u);
    EXPECT_EQ(f.SeekTell(100, QVFILE_CURRENT), 101u);
    ASSERT_TRUE(f.Read(&c, 1));
    EXPECT_EQ(c, data[101]);
    EXPECT_EQ(f.SeekTell(-50, QVFILE_CURRENT), 52u);
    ASSERT_TRUE(f.Read(&c, 1));
    EXPECT_EQ(c, data[52]);
    EXPECT_EQ(f.SeekTell(4000, QVFILE_BEGIN), 4000u);
    ASSERT_TRUE(f.Read(&c, 1));
    EXPECT_EQ(c, data[4000]);
    EXPECT_EQ(f.SeekTell(15000, QVFILE_BEGIN), 15000u);
    ASSERT_TRUE(f.Read(&c, 1));
    EXPECT_EQ(c, data[15000]);
    EXPECT_EQ(f.SeekTell(-10, QVFILE_END), 19990u);
    ASSERT_TRUE(f.Read(&c, 1));
    EXPECT_EQ(c, data[19990]);
    f.Seek(7, QVFILE_BEGIN);
    EXPECT_EQ(f.Tell(), 7u);

    // A move before the start fails and loses nothing already read ahead.
    ASSERT_TRUE(f.Read(&c, 1));
    f.SeekTell(-100, QVFILE_BEGIN);
    EXPECT_EQ(f.Tell(), 8u);
    ASSERT_TRUE(f.Read(&c, 1));
    EXPECT_EQ(c, data[8]);

    CQVFile closed(tmp.Q("d.bin"));
    EXPECT_EQ(closed.Seek(5, QVFILE_BEGIN), 0u);
    EXPECT_EQ(closed.SeekTell(5, QVFILE_BEGIN), 0u);
    EXPECT_EQ(closed.Tell(), 0u);
}

TEST(FileReading, SeekWhileWritingFlushesThenOverwrites)
{
    TempDir tmp;
    CQVFile f(tmp.Q("o.bin"));
    ASSERT_TRUE(f.Open(CQVFile::OpenCreate, 0));
    f.WriteBytes("abcdefgh", 8);
    EXPECT_EQ(f.SeekTell(2, QVFILE_BEGIN), 2u);
    EXPECT_EQ(f.GetSize(), 8u);
    f.WriteBytes("XY", 2);
    EXPECT_EQ(f.Tell(), 4u);
    f.Close();
    EXPECT_EQ(ReadAll(tmp.N("o.bin")), "abXYefgh");
}
