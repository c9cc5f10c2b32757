// Arbitrary texts where the launcher takes text from outside: its own command line,
// a controller's version answer, a typed address, and the fields that go into the
// started program's command line. Besides never crashing, what is parsed must
// read back: values found are what followed the option, numbers written out parse
// to themselves, and a built command line hands each field back to a reader of
// options exactly as given.
//
// Input layout: a 16-bit count of repeats for the path, then length-prefixed texts
// (a byte each): option name, command line, version, address, path, user,
// password, pipe name, size option; then four words for numbers.
#include <cstdint>
#include <cstring>
#include <string>

#include "app/options.h"
#include "app/versions.h"
#include "fuzz_support.h"
#include "remote/netaddr.h"
#include "util/qvtypes.h"

namespace
{

bool Has(const std::string& s, char c)
{
    return s.find(c) != std::string::npos;
}

std::string TrimRight(const std::string& s)
{
    size_t end = s.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

void CheckFind(const std::string& commandLine, const char* name)
{
    std::string value = "old";
    const bool found = FindOption(commandLine, name, &value);
    FUZZ_CHECK(found == FindOption(commandLine, name, nullptr));
    const char* hit = *name ? strstr(commandLine.c_str(), name) : nullptr;
    FUZZ_CHECK(found == (hit != nullptr));
    if (!found) {
        FUZZ_CHECK(value.empty());
        return;
    }
    FUZZ_CHECK(value.size() <= QV_OPTION_VALUE_MAX);
    FUZZ_CHECK(!Has(value, '/') && !Has(value, '\0'));
    FUZZ_CHECK(value.empty() || value.back() != ' ');
    FUZZ_CHECK(strncmp(hit + strlen(name), value.c_str(), value.size()) == 0);
}

void CheckCommandLine(const std::string& commandLine, const std::string& name)
{
    CheckFind(commandLine, name.c_str());
    static const char* const known[] = {"/TYPE:", "/IPADDR:", "/SILENT", "/DEMO",
                                        "/USER:", "/PASS:",   "/SIZE:"};
    for (const char* k : known)
        CheckFind(commandLine, k);

    StartOptions o;
    ParseStartOptions(commandLine, &o);
    std::string v;
    FUZZ_CHECK(o.silent == FindOption(commandLine, "/SILENT", nullptr));
    FUZZ_CHECK(o.demo == FindOption(commandLine, "/DEMO", nullptr));
    FUZZ_CHECK(!o.demo || g_bDemoMode == 1);
    FUZZ_CHECK(o.targetAddress == (FindOption(commandLine, "/IPADDR:", &v) ? ParseOptionHex(v) : 0u));
    FUZZ_CHECK(o.startType == (FindOption(commandLine, "/TYPE:", &v) ? ParseOptionInt(v) : 0));
    FindOption(commandLine, "/USER:", &v);
    FUZZ_CHECK(o.systemName == v);
    FindOption(commandLine, "/PASS:", &v);
    FUZZ_CHECK(o.password == v);

    // What is left after the program's path is the line's own tail, without the
    // blanks in front.
    const std::string rest = StripProgramPath(commandLine);
    const char* full = commandLine.c_str();
    const size_t fullLength = strlen(full);
    FUZZ_CHECK(rest.size() <= fullLength && strcmp(full + fullLength - rest.size(), rest.c_str()) == 0);
    FUZZ_CHECK(rest.empty() || (rest[0] != ' ' && rest[0] != '\t'));

    // Every password value shown after masking is the mask.
    const std::string masked = MaskPassword(commandLine);
    for (size_t at = masked.find("/PASS:"); at != std::string::npos; at = masked.find("/PASS:", at + 1))
        FUZZ_CHECK(masked.compare(at + 6, 4, "****") == 0);
    if (commandLine.find("/PASS:") == std::string::npos) FUZZ_CHECK(masked == commandLine);
}

void CheckNumbers(uint32_t a, uint32_t b)
{
    const int32_t signedValue = (int32_t)a;
    FUZZ_CHECK(ParseOptionInt(std::to_string(signedValue)) == signedValue);
    FUZZ_CHECK(ParseOptionInt("  " + std::to_string(signedValue) + "x") == signedValue);
    FUZZ_CHECK(ParseOptionHex(StrPrintf("%X", a)) == a);
    FUZZ_CHECK(ParseOptionHex(StrPrintf("0x%x/", a)) == a);
    // One digit too many is no address rather than some other one.
    if (a >= 0x10000000u) FUZZ_CHECK(ParseOptionHex(StrPrintf("%X0", a)) == 0);

    FUZZ_CHECK(ParseIPv4(FormatIPv4(a)) == a);
    if (a != 0) {
        uint32_t address = 0;
        uint16_t port = 0;
        FUZZ_CHECK(ParseSystemAddress(FormatIPv4(a), &address, &port) && address == a && port == 80);
    }

    // Four 16-bit parts, written in either form the controllers use.
    const uint32_t p[4] = {a >> 16, a & 0xFFFF, b >> 16, b & 0xFFFF};
    const uint64_t want = ((uint64_t)p[0] << 48) | ((uint64_t)p[1] << 32) | ((uint64_t)p[2] << 16) | p[3];
    FUZZ_CHECK(ParseVersion(StrPrintf("%u.%u.%u.%u", p[0], p[1], p[2], p[3])) == want);
    FUZZ_CHECK(ParseVersion(StrPrintf("%u.%u Build %u.%u Rel", p[0], p[1], p[2], p[3])) == want);
    FUZZ_CHECK(VersionFolderName(StrPrintf("%u.%u.%u.%u", p[0], p[1], p[2], p[3])) ==
               StrPrintf("%u_%u_%u_%u", p[0], p[1], p[2], p[3]));

    const SizeClass sizeClass = SizeClassFor((int)a, (int)b);
    FUZZ_CHECK(sizeClass >= SizeClass::Window800x600 && sizeClass < SizeClass::Count);
    FUZZ_CHECK(SizeOptionText(static_cast<SizeClass>(a)) != nullptr);
    FUZZ_CHECK(PipeNameFor(a).size() == 17);
}

void CheckVersionText(const std::string& text)
{
    const std::string clean = CleanVersion(text);
    for (char c : clean)
        FUZZ_CHECK((c >= '0' && c <= '9') || c == '.');
    FUZZ_CHECK(clean.size() <= text.size());
    FUZZ_CHECK(CleanVersion(clean) == clean);
    FUZZ_CHECK(ParseVersion(text) == ParseVersion(clean));
    const std::string folder = VersionFolderName(text);
    FUZZ_CHECK(folder.size() == clean.size());
    for (char c : folder)
        FUZZ_CHECK((c >= '0' && c <= '9') || c == '_');
}

void CheckAddressText(const std::string& text)
{
    (void)ParseIPv4(text);
    // Texts with a port would be resolved by name; those stay off the fuzzer.
    if (Has(text, ':')) return;
    uint32_t address = 1;
    uint16_t port = 1;
    const bool ok = ParseSystemAddress(text, &address, &port);
    FUZZ_CHECK(port == 80);
    FUZZ_CHECK(ok == (address != 0));
    size_t dots = 0;
    for (char c : std::string(text.c_str()))
        dots += c == '.';
    if (dots < 3) FUZZ_CHECK(!ok);
}

void CheckBuilders(const std::string& path, const std::string& user, const std::string& pass,
                   const std::string& pipe, const std::string& sizeOption, uint32_t portWord)
{
    auto unsafe = [](const std::string& s) { return Has(s, '"') || Has(s, '\0'); };

    std::string out = "old";
    CommandLineResult r = BuildPipeCommandLine(path, user, pass, pipe, &out);
    const bool bad =
        unsafe(path) || unsafe(user) || unsafe(pass) || unsafe(pipe) || Has(user, '/') || Has(pass, '/');
    const size_t length = path.size() + user.size() + pass.size() + pipe.size() + 31;
    if (bad) {
        FUZZ_CHECK(r == CommandLineResult::BadText);
    } else if (length + 1 > QV_MAX_COMMAND_LINE) {
        FUZZ_CHECK(r == CommandLineResult::TooLong);
    } else {
        FUZZ_CHECK(r == CommandLineResult::Ok);
    }
    FUZZ_CHECK(CommandLineResultText(r) != nullptr);
    if (r != CommandLineResult::Ok) {
        FUZZ_CHECK(out.empty());
    } else {
        FUZZ_CHECK(out.size() == length);
        FUZZ_CHECK(StripProgramPath(out).compare(0, 8, "/R /USER") == 0);
        if (!Has(path, '/')) {
            // The started program reads each value up to the next '/'.
            std::string v;
            FUZZ_CHECK(FindOption(out, "/USER:", &v));
            if (user.size() < QV_OPTION_VALUE_MAX) FUZZ_CHECK(v == TrimRight(user));
            FUZZ_CHECK(FindOption(out, "/PASS:", &v));
            if (pass.size() < QV_OPTION_VALUE_MAX) FUZZ_CHECK(v == TrimRight(pass));
            const std::string masked = MaskPassword(out);
            FUZZ_CHECK(FindOption(masked, "/PASS:", &v) && v == "****");
        }
    }

    const int port = (int)(portWord % 70000) - 1000;
    out = "old";
    r = BuildLoopbackCommandLine(path, sizeOption, port, &out);
    if (unsafe(path) || unsafe(sizeOption) || port < 0 || port > 65535) {
        FUZZ_CHECK(r == CommandLineResult::BadText && out.empty());
    } else if (r == CommandLineResult::Ok) {
        const std::string tail = " /LOOPBACK:" + std::to_string(port);
        FUZZ_CHECK(out.size() >= tail.size() &&
                   out.compare(out.size() - tail.size(), tail.size(), tail) == 0);
        FUZZ_CHECK(out.compare(0, path.size() + 3, "\"" + path + "\" ") == 0);
        FUZZ_CHECK(out.size() + 1 <= QV_MAX_COMMAND_LINE);
    } else {
        FUZZ_CHECK(r == CommandLineResult::TooLong && out.empty());
    }
}

} // namespace

extern "C" int QV_FUZZ_ENTRY(const uint8_t* data, size_t size)
{
    qvfuzz::Reader in(data, size);
    const uint32_t repeats = (uint32_t)in.Byte() | ((uint32_t)in.Byte() << 8);
    const std::string name = in.Text();
    const std::string commandLine = in.Text() + in.Text();
    const std::string version = in.Text();
    const std::string address = in.Text();
    const std::string pathPiece = in.Text();
    const std::string user = in.Text();
    const std::string pass = in.Text();
    const std::string pipe = in.Text();
    const std::string sizeOption = in.Text();
    const uint32_t a = in.Word(), b = in.Word(), c = in.Word();

    // Long paths reach the system's command-line limit.
    std::string path = pathPiece;
    for (uint32_t i = 0; i < repeats % 512 && !pathPiece.empty(); i++)
        path += pathPiece;

    CheckCommandLine(commandLine, name);
    CheckCommandLine(path, name);
    CheckVersionText(version);
    CheckVersionText(commandLine);
    CheckAddressText(address);
    CheckNumbers(a, b);
    CheckBuilders(path, user, pass, pipe, sizeOption, c);
    return 0;
}
