// LOGIN.DAT as it lies on disk: byte-exact writes, and reads of short, damaged and
// foreign files that never take a field they could not read whole.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/loginfile.h"

namespace
{

typedef std::vector<unsigned char> Bytes;

class LoginFile : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() / (std::string("rerudi-login-") + info->name() + "-" +
                                                        std::to_string((unsigned long)std::rand()));
        std::filesystem::create_directories(dir);
        path = (dir / "LOGIN.DAT").string();
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    void Put(const Bytes& b)
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        f.write((const char*)b.data(), (std::streamsize)b.size());
    }
    Bytes Get()
    {
        std::ifstream f(path, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    std::filesystem::path dir;
    std::string path;
};

// Name "Pool", password "pw", last address 192.168.1.10, options open, remember,
// size class 0: the nine fields as the table lays them out.
const Bytes kRemembered = {
    0x04, 0x00, 0x00, 0x00, 'P', 'o', 'o', 'l', // 1 system name
    0x02, 0x00, 0x00, 0x00, 'p', 'w',           // 2 password
    0x00, 0x00, 0x00, 0x00,                     // 3 always 0
    0xC0, 0xA8, 0x01, 0x0A,                     // 4 last address
    0x01, 0x00, 0x00, 0x00,                     // 5 options expanded
    0x01, 0x00, 0x00, 0x00,                     // 6 remember (1)
    0x00, 0x00, 0x00, 0x00,                     // 7 always 0
    0x00, 0x00, 0x00, 0x00,                     // 8 size class
    0x01, 0x00, 0x00, 0x00,                     // 9 remember value
};

LoginData Sample()
{
    LoginData d;
    d.systemName = "Pool";
    d.password = "pw";
    d.lastAddress = 0x0A01A8C0;
    d.optionsExpanded = 1;
    d.rememberLogin = 1;
    d.sizeClass = 0;
    return d;
}

void ExpectStartValues(const LoginData& d)
{
    EXPECT_EQ(0u, d.lastAddress);
    EXPECT_EQ(0u, d.optionsExpanded);
    EXPECT_EQ(1u, d.rememberLogin);
    EXPECT_EQ(2u, d.sizeClass);
}

TEST_F(LoginFile, WritesTheNineFieldsByteExactly)
{
    ASSERT_TRUE(WriteLoginFile(path, Sample()));
    EXPECT_EQ(kRemembered, Get());
}

TEST_F(LoginFile, NotRememberingWritesClearedValues)
{
    LoginData d = Sample();
    d.rememberLogin = 0;
    d.sizeClass = 1;
    ASSERT_TRUE(WriteLoginFile(path, d));
    const Bytes cleared = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // empty name, empty password, 0, no address
        1, 0, 0, 0,                                     // options expanded is kept
        0, 0, 0, 0, 0, 0, 0, 0,                         // remember 0, 0
        1, 0, 0, 0,                                     // size class
        0, 0, 0, 0,                                     // remember value
    };
    EXPECT_EQ(cleared, Get());
    // Replaces a longer earlier file completely.
    ASSERT_TRUE(WriteLoginFile(path, Sample()));
    ASSERT_TRUE(WriteLoginFile(path, d));
    EXPECT_EQ(cleared, Get());
}

TEST_F(LoginFile, OnlyTheTwoStringsLeavesStartValues)
{
    Put(Bytes(kRemembered.begin(), kRemembered.begin() + 14));
    LoginData d;
    ASSERT_TRUE(ReadLoginFile(path, d));
    EXPECT_EQ("Pool", d.systemName);
    EXPECT_EQ("pw", d.password);
    ExpectStartValues(d);
}

TEST_F(LoginFile, EveryTruncationTakesOnlyWholeFields)
{
    // The last round reads the complete file.
    // Offsets at which each of the fields 1, 2, 4, 5, 6, 8 is complete.
    const size_t ends[] = {8, 14, 22, 26, 30, 38};
    for (size_t n = 0; n <= kRemembered.size(); ++n) {
        SCOPED_TRACE(n);
        Put(Bytes(kRemembered.begin(), kRemembered.begin() + (long)n));
        LoginData d;
        d.systemName = "before";
        d.password = "old";
        ASSERT_TRUE(ReadLoginFile(path, d));
        EXPECT_EQ(n >= ends[0] ? "Pool" : "before", d.systemName);
        EXPECT_EQ(n >= ends[1] ? "pw" : "old", d.password);
        EXPECT_EQ(n >= ends[2] ? 0x0A01A8C0u : 0u, d.lastAddress);
        EXPECT_EQ(n >= ends[3] ? 1u : 0u, d.optionsExpanded);
        EXPECT_EQ(1u, d.rememberLogin);
        EXPECT_EQ(n >= ends[5] ? 0u : 2u, d.sizeClass);
    }
}

TEST_F(LoginFile, Utf16StringsAreAccepted)
{
    Bytes b = {0x08, 0x00, 0x00, 0x80, 'Z',  0, 'i', 0, 'z', 0, 'u', 0, // "Zizu" in UTF-16
               0x04, 0x00, 0x00, 0x80, 'p',  0, 'w', 0,                 // "pw" in UTF-16
               0,    0,    0,    0,    0x7F, 0, 0,   1};
    Put(b);
    LoginData d;
    ASSERT_TRUE(ReadLoginFile(path, d));
    EXPECT_EQ("Zizu", d.systemName);
    EXPECT_EQ("pw", d.password);
    EXPECT_EQ(0x0100007Fu, d.lastAddress);
    EXPECT_EQ(2u, d.sizeClass);
}

TEST_F(LoginFile, DamagedLengthsChangeNothingTheyCannotReadWhole)
{
    const Bytes lengths[] = {
        {0xF0, 0xFF, 0xFF, 0x7F, 'a', 'b'},      // absurd narrow length
        {0xFF, 0xFF, 0xFF, 0xFF, 'a', 0},        // absurd UTF-16 length
        {0x40, 0x00, 0x00, 0x00, 'a', 'b', 'c'}, // longer than what follows
    };
    for (const Bytes& b : lengths) {
        Bytes file = b;
        file.insert(file.end(), kRemembered.begin() + 8, kRemembered.end());
        Put(file);
        LoginData d;
        d.systemName = "before";
        ASSERT_TRUE(ReadLoginFile(path, d));
        EXPECT_EQ("before", d.systemName);
        EXPECT_EQ("", d.password);
        ExpectStartValues(d);
    }
    // A damaged password after a good name keeps the name only.
    Bytes file(kRemembered.begin(), kRemembered.begin() + 8);
    file.insert(file.end(), {0x00, 0x00, 0x00, 0x90, 'x'});
    Put(file);
    LoginData d;
    ASSERT_TRUE(ReadLoginFile(path, d));
    EXPECT_EQ("Pool", d.systemName);
    EXPECT_EQ("", d.password);
    ExpectStartValues(d);
}

TEST_F(LoginFile, MissingFileAndTrailingBytes)
{
    LoginData d;
    d.systemName = "kept";
    EXPECT_FALSE(ReadLoginFile(path, d));
    EXPECT_EQ("kept", d.systemName);
    ExpectStartValues(d);
    // Bytes after the nine fields are not ours to judge: the fields still count.
    Bytes longer = kRemembered;
    longer.insert(longer.end(), 100, 0xEE);
    Put(longer);
    ASSERT_TRUE(ReadLoginFile(path, d));
    EXPECT_EQ("Pool", d.systemName);
    EXPECT_EQ(0u, d.sizeClass);
}

TEST_F(LoginFile, UnwritableTargetFails)
{
    EXPECT_FALSE(WriteLoginFile((dir / "no-such-folder" / "LOGIN.DAT").string(), Sample()));
}

} // namespace
