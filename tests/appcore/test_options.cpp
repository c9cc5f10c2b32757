// The launcher's own command line as a user or a script writes it.
#include <gtest/gtest.h>

#include <string>

#include "app/options.h"

namespace
{

std::string Value(const std::string& line, const char* option, bool* found = nullptr)
{
    std::string v = "untouched";
    bool f = FindOption(line, option, &v);
    if (found) *found = f;
    return v;
}

TEST(FindOption, ValuesEndAtTheNextOptionWithTrailingSpacesTrimmed)
{
    EXPECT_EQ("Zizu Office", Value("/USER:Zizu Office /SILENT", "/USER:"));
    EXPECT_EQ("  two words", Value("/PASS:  two words   /USER:x", "/PASS:"));
    EXPECT_EQ("last", Value("/SILENT /USER:last", "/USER:"));
    // A value can never hold '/'.
    EXPECT_EQ("a", Value("/USER:a/b", "/USER:"));
}

TEST(FindOption, EmptyValueWhenTheNextOptionFollowsDirectly)
{
    bool found = false;
    EXPECT_EQ("", Value("/USER:/PASS:secret", "/USER:", &found));
    EXPECT_TRUE(found);
    EXPECT_EQ("secret", Value("/USER:/PASS:secret", "/PASS:"));
}

TEST(FindOption, LongValueKeepsItsFirst255Characters)
{
    std::string longValue;
    for (int i = 0; i < 300; ++i)
        longValue += (char)('a' + i % 26);
    std::string v = Value("/USER:" + longValue, "/USER:");
    EXPECT_EQ(longValue.substr(0, 255), v);
    // Spaces that land at the cut are trailing spaces of what is kept.
    std::string spaced = std::string(250, 'x') + std::string(20, ' ') + "y";
    EXPECT_EQ(std::string(250, 'x'), Value("/PASS:" + spaced, "/PASS:"));
}

TEST(FindOption, ExactCaseSensitiveSubstringFirstOccurrenceWins)
{
    bool found = false;
    Value("/silent", "/SILENT", &found);
    EXPECT_FALSE(found);
    Value("/SILENTLY", "/SILENT", &found);
    EXPECT_TRUE(found);
    EXPECT_EQ("first", Value("/USER:first /USER:second", "/USER:"));
    EXPECT_EQ("", Value("/SILENT", "/USER:", &found));
    EXPECT_FALSE(found);
}

TEST(FindOption, TextEndsAtAnEmbeddedNul)
{
    std::string line("/USER:ab", 8);
    line += '\0';
    line += "cd /DEMO";
    bool found = true;
    EXPECT_EQ("ab", Value(line, "/USER:"));
    Value(line, "/DEMO", &found);
    EXPECT_FALSE(found);
}

TEST(OptionNumbers, TypeIsSignedDecimalAndJunkReadsZero)
{
    EXPECT_EQ(-3, ParseOptionInt("-3"));
    EXPECT_EQ(1, ParseOptionInt("1"));
    EXPECT_EQ(12, ParseOptionInt("+12abc"));
    EXPECT_EQ(0, ParseOptionInt("junk"));
    EXPECT_EQ(0, ParseOptionInt(""));
    EXPECT_EQ(0, ParseOptionInt("-"));
    EXPECT_EQ(2147483647, ParseOptionInt("99999999999999999999"));
    EXPECT_EQ(-2147483647 - 1, ParseOptionInt("-99999999999999999999"));
}

TEST(OptionNumbers, IpAddrIsHexInSocketAddressOrder)
{
    // 192.168.1.10 is written with its first octet in the lowest byte.
    EXPECT_EQ(0x0A01A8C0u, ParseOptionHex("0A01A8C0"));
    EXPECT_EQ(0x0A01A8C0u, ParseOptionHex("0x0a01a8c0"));
    EXPECT_EQ(0x0A01A8C0u, ParseOptionHex("0X0A01A8C0 trailing"));
    EXPECT_EQ(0xABu, ParseOptionHex("abz9"));
    EXPECT_EQ(0u, ParseOptionHex("xyz"));
    EXPECT_EQ(0u, ParseOptionHex(""));
    // Too many digits name no address rather than a wrong one.
    EXPECT_EQ(0u, ParseOptionHex("1FFFFFFFF"));
    EXPECT_EQ(0xFFFFFFFFu, ParseOptionHex("FFFFFFFF"));
}

TEST(StartOptionsParse, FillsEveryFieldFromOneLine)
{
    g_bDemoMode = 0;
    StartOptions o;
    ParseStartOptions("/TYPE:1 /SILENT /USER:Pool /PASS:a b /IPADDR:0A01A8C0 /SIZE:big", &o);
    EXPECT_EQ(1, o.startType);
    EXPECT_TRUE(o.silent);
    EXPECT_EQ("Pool", o.systemName);
    EXPECT_EQ("a b", o.password);
    EXPECT_EQ(0x0A01A8C0u, o.targetAddress);
    EXPECT_EQ("big", o.sizeOption);
    EXPECT_FALSE(o.demo);
    EXPECT_EQ(0, g_bDemoMode);
}

TEST(StartOptionsParse, DefaultsAndDemoFlag)
{
    g_bDemoMode = 0;
    StartOptions o;
    o.systemName = "stale";
    o.silent = true;
    ParseStartOptions("/TYPE:x /IPADDR:xyz /DEMO", &o);
    EXPECT_EQ(0, o.startType);
    EXPECT_EQ(0u, o.targetAddress);
    EXPECT_FALSE(o.silent);
    EXPECT_EQ("", o.systemName);
    EXPECT_TRUE(o.demo);
    EXPECT_EQ(1, g_bDemoMode);
    // Never cleared by a later parse.
    ParseStartOptions("", &o);
    EXPECT_EQ(1, g_bDemoMode);
    g_bDemoMode = 0;
}

TEST(StripProgramPath, QuotedAndUnquotedPaths)
{
    EXPECT_EQ("/SILENT /USER:x", StripProgramPath("\"C:\\Program Files\\a b\\x.exe\" /SILENT /USER:x"));
    EXPECT_EQ("/DEMO", StripProgramPath("C:\\x.exe   /DEMO"));
    EXPECT_EQ("", StripProgramPath("C:\\x.exe"));
    EXPECT_EQ("", StripProgramPath("\"C:\\unterminated /SILENT"));
    EXPECT_EQ("/X", StripProgramPath("\"C:\\a b\"\\x.exe /X"));
    // Forward slashes inside the program's own path are no options.
    std::string rest = StripProgramPath("\"C:/SILENT/x.exe\" /USER:y");
    EXPECT_FALSE(FindOption(rest, "/SILENT", nullptr));
}

} // namespace

TEST(StartOptionsParse, TypeChoosesWhatASilentLaunchStarts)
{
    const struct {
        const char* line;
        bool starts;
        StartMode mode;
    } cases[] = {
        {"/TYPE:0", true, StartMode::Viewer},           {"/TYPE:1", true, StartMode::Configurator},
        {"/TYPE:junk", true, StartMode::Viewer},        {"/SILENT", true, StartMode::Viewer},
        {"/TYPE:2", false, StartMode::Viewer},          {"/TYPE:-1", false, StartMode::Viewer},
        {"/TYPE:4294967297", false, StartMode::Viewer},
    };
    for (const auto& c : cases) {
        StartOptions o;
        ParseStartOptions(c.line, &o);
        StartMode mode = static_cast<StartMode>(-1);
        EXPECT_EQ(SilentStartMode(o.startType, &mode), c.starts) << c.line;
        if (c.starts) {
            EXPECT_EQ(mode, c.mode) << c.line;
        }
    }
}
