// The simulator programs' option parsing, seen from outside: what a scenario script
// may type and what stops the program.
#include <gtest/gtest.h>

#include "simopts.h"

namespace
{

TEST(SimOptions, NumbersRefuseTyposAndOverflow)
{
    uint32_t n = 7;
    EXPECT_TRUE(simopts::ParseNumber("4294967295", &n));
    EXPECT_EQ(n, 4294967295u);
    EXPECT_FALSE(simopts::ParseNumber("4294967296", &n));
    EXPECT_FALSE(simopts::ParseNumber("", &n));
    EXPECT_FALSE(simopts::ParseNumber("12a", &n));
    EXPECT_FALSE(simopts::ParseNumber("-1", &n));
    uint64_t v = 0;
    EXPECT_TRUE(simopts::Number("60000", 60000, &v));
    EXPECT_FALSE(simopts::Number("60001", 60000, &v));
    EXPECT_FALSE(simopts::Number(nullptr, 60000, &v));
}

// Every program reads a dotted address the same way; a part of more than three
// digits is refused even when its value would fit (rerudi-sim's --listen once took
// "0001.0.0.1" while its --relay and the other servers refused it).
TEST(SimOptions, DottedAddressesHaveFourPartsOfAtMostThreeDigits)
{
    uint32_t a = 0;
    EXPECT_TRUE(simopts::ParseDotted("10.0.0.255", &a));
    EXPECT_EQ(a, MakeIPv4(10, 0, 0, 255));
    EXPECT_TRUE(simopts::ParseDotted("010.0.0.1", &a));
    EXPECT_FALSE(simopts::ParseDotted("0001.0.0.1", &a));
    EXPECT_FALSE(simopts::ParseDotted("1.2.3", &a));
    EXPECT_FALSE(simopts::ParseDotted("1.2.3.4.", &a));
    EXPECT_FALSE(simopts::ParseDotted("1.2.3.256", &a));
    EXPECT_FALSE(simopts::ParseDotted("1..3.4", &a));
    QVSockAddr e;
    EXPECT_TRUE(simopts::ParseEndpoint("192.0.2.7:8500", &e));
    EXPECT_EQ(simopts::EndpointText(e), "192.0.2.7:8500");
    EXPECT_FALSE(simopts::ParseEndpoint("192.0.2.7", &e));
    EXPECT_FALSE(simopts::ParseEndpoint("192.0.2.7:65536", &e));
}

struct Parsed {
    int rc;
    bool help;
    std::string err;
};

Parsed ParseArgs(simopts::COptionParser& p, std::vector<std::string> args)
{
    args.insert(args.begin(), "prog");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    Parsed r;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    r.rc = p.Parse((int)argv.size(), argv.data(), &r.help);
    testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

TEST(SimOptions, ServersNameTheOptionAndItsBadValue)
{
    uint32_t port = 0;
    simopts::COptionParser p("rerudi-x", "usage\n", simopts::STYLE_NAMED);
    p.Number("--port", 65535, false, [&](uint32_t n) { port = n; });
    Parsed r = ParseArgs(p, {"--port", "80"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(port, 80u);
    EXPECT_EQ(ParseArgs(p, {"--port", "65536"}).err, "rerudi-x: bad value for --port: 65536\n");
    EXPECT_EQ(ParseArgs(p, {"--port"}).err, "rerudi-x: --port needs a value\nusage\n");
    EXPECT_EQ(ParseArgs(p, {"--nope"}).err, "rerudi-x: --nope needs a value\nusage\n");
    EXPECT_EQ(ParseArgs(p, {"--nope", "1"}).err, "rerudi-x: unknown option --nope\nusage\n");
    EXPECT_EQ(ParseArgs(p, {"--nope", "1"}).rc, 2);
    r = ParseArgs(p, {"-h", "--nope"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.help);
}

TEST(SimOptions, ToolsNameOnlyTheOptionAndTakeFlags)
{
    bool echo = false;
    uint64_t streams = 0;
    simopts::COptionParser p("rerudi-y", "usage\n", simopts::STYLE_TERSE);
    p.Flag("--echo", [&] { echo = true; });
    p.Value("--streams", [&](const std::string& v) { return simopts::Number(v.c_str(), 10, &streams); });
    Parsed r = ParseArgs(p, {"--echo", "--streams", "3"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(echo);
    EXPECT_EQ(streams, 3u);
    EXPECT_EQ(ParseArgs(p, {"--streams", "11"}).err, "rerudi-y: bad option --streams\nusage\n");
    EXPECT_EQ(ParseArgs(p, {"--streams"}).err, "rerudi-y: bad option --streams\nusage\n");
    EXPECT_EQ(ParseArgs(p, {"-h"}).err, "rerudi-y: bad option -h\nusage\n");
    EXPECT_TRUE(ParseArgs(p, {"--help"}).help);
}

} // namespace
