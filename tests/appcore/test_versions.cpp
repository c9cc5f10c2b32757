// Controller versions, typed addresses, window sizes and the command lines that
// start the viewer: what the started program and the user end up seeing.
#include <gtest/gtest.h>

#include <string>

#include "app/versions.h"

namespace
{

uint64_t V(uint16_t a, uint16_t b, uint16_t c, uint16_t d)
{
    return ((uint64_t)a << 48) | ((uint64_t)b << 32) | ((uint64_t)c << 16) | d;
}

TEST(Versions, CleaningAndFolderNames)
{
    EXPECT_EQ("4.2.512.0", CleanVersion("4.2 Build 512.0 Rel"));
    EXPECT_EQ("4.2.512.0", CleanVersion("4.2 build 512.0 rel"));
    EXPECT_EQ("8.6.522.0", CleanVersion("8.6 Build 522.0 Rel"));
    EXPECT_EQ("", CleanVersion("Release"));
    EXPECT_EQ("4_2_512_0", VersionFolderName("4.2 Build 512.0 Rel"));
    EXPECT_EQ("7_1_1_0", VersionFolderName("7.1.1.0"));
}

TEST(Versions, FourSixteenBitPartsAndShortVersionsRepeatTheirLastPart)
{
    EXPECT_EQ(V(4, 2, 512, 0), ParseVersion("4.2 Build 512.0 Rel"));
    EXPECT_EQ(V(7, 1, 1, 1), ParseVersion("7.1"));
    EXPECT_EQ(V(7, 7, 7, 7), ParseVersion("7"));
    EXPECT_EQ(0u, ParseVersion(""));
    // A part of 65536 or more spills into the part above (the parts are OR-ed).
    EXPECT_EQ(V(3, 0, 0, 0), ParseVersion("2.65536.0.0"));
    EXPECT_EQ(V(1, 1, 0, 0), ParseVersion("1.65537.0.0"));
}

TEST(Versions, ThresholdsDecideRefusalAndHandOver)
{
    const uint64_t minimum = ParseVersion(QV_MIN_HOST_VERSION);
    const uint64_t loopback = ParseVersion(QV_LOOPBACK_VERSION);
    EXPECT_LT(ParseVersion("4.0.487.9"), minimum);
    EXPECT_GE(ParseVersion("4.0.488.0"), minimum);
    EXPECT_GE(ParseVersion("4.0.488.1"), minimum);
    EXPECT_LT(ParseVersion("7.1.0.9"), loopback); // pipe hand-over
    EXPECT_GE(ParseVersion("7.1.1.0"), loopback); // loopback bridge
    EXPECT_GE(ParseVersion("7.1"), loopback);     // read as 7.1.1.1
    EXPECT_LT(ParseVersion("4.2 Build 512.0 Rel"), loopback);
}

// What ParseSystemAddress makes of a typed system name: a dotted address (with a
// port) is connected to directly, anything else goes to discovery. -1: not looked at.
struct AddressCase {
    const char* text;
    bool isAddress;
    int64_t address;
    int port;
};

TEST(SystemAddress, DottedAddressesConnectDirectlyAndNothingElseDoes)
{
    const AddressCase cases[] = {
        {"192.168.1.10", true, 0x0A01A8C0, 80},
        {"192.168.1.10:4000", true, 0x0A01A8C0, 4000},
        {"10.0.0.1.99", true, 0x0100000A, -1},                     // text after a fourth '.' is ignored
        {"127.0.0.1:70000", true, -1, (uint16_t)(70000 & 0xFFFF)}, // the port is kept to 16 bits
        {"127.0.0.1:abc", true, -1, 0},
        {"Zizu Office", false, 0, 80},
        {"0.0.0.0", false, -1, -1},
        {"10.0.1", false, -1, -1},
        {"", false, -1, -1},
        {"my.home.system.net", false, -1, -1},
        // An empty host would be this PC itself to the resolver; 0.0.0.0 is no controller.
        {":4000", false, 0, -1},
        {"0.0.0.0:4000", false, -1, -1},
    };
    for (const AddressCase& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t a = 1;
        uint16_t p = 1;
        EXPECT_EQ(ParseSystemAddress(c.text, &a, &p), c.isAddress);
        if (c.address >= 0) {
            EXPECT_EQ((int64_t)a, c.address);
        }
        if (c.port >= 0) {
            EXPECT_EQ((int)p, c.port);
        }
    }
}

TEST(SizeClasses, DesktopSizesPickTheViewerWindow)
{
    EXPECT_STREQ("/WNDDX:1024 /WNDDY:576", SizeOptionText(SizeClassFor(1280, 1024)));
    EXPECT_STREQ("/WNDDX:1024 /WNDDY:576", SizeOptionText(SizeClassFor(1024, 600)));
    EXPECT_STREQ("/WNDDX:800 /WNDDY:600", SizeOptionText(SizeClassFor(800, 600)));
    EXPECT_STREQ("/WNDDX:800 /WNDDY:480", SizeOptionText(SizeClassFor(1000, 560)));
    // A damaged LOGIN.DAT may hold any number: no option for it.
    EXPECT_STREQ("", SizeOptionText(static_cast<SizeClass>(3)));
    EXPECT_STREQ("", SizeOptionText(static_cast<SizeClass>(-1)));
}

TEST(CommandLines, ExactTextOfBothForms)
{
    std::string line;
    ASSERT_EQ(CommandLineResult::Ok, BuildPipeCommandLine("C:\\Data\\7_1_0_9\\BRIGHTLEAF.EXE", "Zizu Office",
                                                          "pw 1", PipeNameFor(0x1A2B3), &line));
    EXPECT_EQ("\"C:\\Data\\7_1_0_9\\BRIGHTLEAF.EXE\"  /R /USER:Zizu Office /PASS:pw 1 "
              "/SOCKFILE:\\\\.\\pipe\\0001A2B3",
              line);
    ASSERT_EQ(CommandLineResult::Ok,
              BuildLoopbackCommandLine("C:\\D\\MOSSDESK.EXE", SizeOptionText(SizeClass::Window1024x576),
                                       22050, &line));
    EXPECT_EQ("\"C:\\D\\MOSSDESK.EXE\" /WNDDX:1024 /WNDDY:576 /LOOPBACK:22050", line);
    ASSERT_EQ(
        CommandLineResult::Ok,
        BuildLoopbackCommandLine("C:\\D\\X.EXE", SizeOptionText(static_cast<SizeClass>(7)), 22051, &line));
    EXPECT_EQ("\"C:\\D\\X.EXE\"  /LOOPBACK:22051", line);
}

TEST(CommandLines, LongInputsFailWholeNeverCut)
{
    std::string line = "stale";
    const std::string deep = "C:\\" + std::string(40000, 'd') + "\\BRIGHTLEAF.EXE";
    EXPECT_EQ(CommandLineResult::TooLong, BuildPipeCommandLine(deep, "n", "p", "\\\\.\\pipe\\1", &line));
    EXPECT_TRUE(line.empty());
    EXPECT_EQ(CommandLineResult::TooLong, BuildLoopbackCommandLine(deep, "", 22050, &line));
    EXPECT_TRUE(line.empty());
    // Longer than the old 256-byte buffer but well inside the system's limit: whole.
    const std::string name(300, 'n');
    ASSERT_EQ(CommandLineResult::Ok, BuildPipeCommandLine("C:\\x.exe", name, "p", "\\\\.\\pipe\\1", &line));
    EXPECT_NE(std::string::npos, line.find("/USER:" + name + " /PASS:p /SOCKFILE:"));
    // Exactly at the limit still fits; one more character does not.
    const std::string fixedPart = "\"\"  /LOOPBACK:22050";
    std::string path(QV_MAX_COMMAND_LINE - 1 - fixedPart.size(), 'p');
    EXPECT_EQ(CommandLineResult::Ok, BuildLoopbackCommandLine(path, "", 22050, &line));
    EXPECT_EQ(QV_MAX_COMMAND_LINE - 1, line.size());
    EXPECT_EQ(CommandLineResult::TooLong, BuildLoopbackCommandLine(path + "p", "", 22050, &line));
}

TEST(CommandLines, TextThatWouldSplitOrInjectOptionsIsRefused)
{
    std::string line = "stale";
    EXPECT_EQ(CommandLineResult::BadText,
              BuildPipeCommandLine("C:\\x.exe", "a\"b", "p", "\\\\.\\pipe\\1", &line));
    EXPECT_TRUE(line.empty());
    EXPECT_EQ(CommandLineResult::BadText,
              BuildPipeCommandLine("C:\\x.exe", "n", "p\" /X", "\\\\.\\pipe\\1", &line));
    EXPECT_EQ(CommandLineResult::BadText, BuildPipeCommandLine("C:\\x.exe", "n /SOCKFILE:\\\\.\\pipe\\evil",
                                                               "p", "\\\\.\\pipe\\1", &line));
    EXPECT_EQ(CommandLineResult::BadText,
              BuildPipeCommandLine("C:\\x.exe", "n", "a/b", "\\\\.\\pipe\\1", &line));
    EXPECT_EQ(CommandLineResult::BadText,
              BuildPipeCommandLine("C:\\x\".exe", "n", "p", "\\\\.\\pipe\\1", &line));
    EXPECT_EQ(CommandLineResult::BadText,
              BuildPipeCommandLine("C:\\x.exe", std::string("n\0/DEMO", 7), "p", "\\\\.\\pipe\\1", &line));
    EXPECT_EQ(CommandLineResult::BadText, BuildLoopbackCommandLine("C:\\x\".exe", "", 22050, &line));
    EXPECT_EQ(CommandLineResult::BadText, BuildLoopbackCommandLine("C:\\x.exe", "", 70000, &line));
    EXPECT_EQ(CommandLineResult::BadText, BuildLoopbackCommandLine("C:\\x.exe", "", -1, &line));
    EXPECT_STREQ("ERROR: System name or password contains '\"' or '/'",
                 CommandLineResultText(CommandLineResult::BadText));
    EXPECT_STREQ("ERROR: Cannot build command line",
                 CommandLineResultText(static_cast<CommandLineResult>(9)));
    // Spaces and other punctuation are ordinary text of a name or password.
    EXPECT_EQ(CommandLineResult::Ok,
              BuildPipeCommandLine("C:\\x.exe", "Zizu Office #2", "p:a;ss-\\", "\\\\.\\pipe\\1", &line));
}

TEST(CommandLines, PasswordMaskedForStatusLines)
{
    std::string line;
    ASSERT_EQ(CommandLineResult::Ok,
              BuildPipeCommandLine("C:\\x.exe", "Pool", "s3cr et", PipeNameFor(0xDEADBEEF), &line));
    EXPECT_EQ("\"C:\\x.exe\"  /R /USER:Pool /PASS:**** /SOCKFILE:\\\\.\\pipe\\DEADBEEF", MaskPassword(line));
    EXPECT_EQ(std::string::npos, MaskPassword(line).find("s3cr"));
    EXPECT_EQ("/PASS:****", MaskPassword("/PASS:"));
    EXPECT_EQ("/PASS:****", MaskPassword("/PASS:abc"));
    EXPECT_EQ("/PASS:****/X /PASS:****", MaskPassword("/PASS:a/X /PASS:b"));
    EXPECT_EQ("\"p\" /LOOPBACK:1", MaskPassword("\"p\" /LOOPBACK:1"));
}

} // namespace
