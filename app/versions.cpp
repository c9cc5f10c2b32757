#include "versions.h"

#include <cstring>

#include "../util/enumtext.h"
#include "../util/qvsocket.h"
#include "../util/qvtypes.h"

std::string CleanVersion(const std::string& text)
{
    std::string upper(text);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    std::string replaced;
    replaced.reserve(upper.size());
    for (size_t i = 0; i < upper.size();) {
        if (upper.compare(i, 5, "BUILD") == 0) {
            replaced += '.';
            i += 5;
        } else {
            replaced += upper[i++];
        }
    }
    std::string out;
    out.reserve(replaced.size());
    for (char c : replaced)
        if ((c >= '0' && c <= '9') || c == '.') out += c;
    return out;
}

// Leading decimal digits as a 32-bit value; the wrap of an absurdly long run of
// digits is defined here, where the C library's conversion would not be.
static uint32_t LeadingDecimal(const std::string& text)
{
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        v = v * 10u + (uint32_t)(c - '0');
    }
    return v;
}

uint64_t ParseVersion(const std::string& text)
{
    std::string t = CleanVersion(text);
    uint64_t value = 0;
    int shift = 48;
    for (int i = 0; i < 4; ++i) {
        size_t p = t.find('.');
        if (p == std::string::npos) p = t.find('_');
        std::string part;
        if (p != std::string::npos) {
            part = t.substr(0, p);
            t = t.substr(p + 1);
        } else {
            part = t;
        }
        // A part is a signed 32-bit number widened with its sign, so that big parts
        // spill into the parts above exactly as the controllers' own numbering does.
        int64_t n = (int64_t)(int32_t)LeadingDecimal(part);
        value |= (uint64_t)n << shift;
        shift -= 16;
    }
    return value;
}

std::string VersionFolderName(const std::string& text)
{
    std::string s = CleanVersion(text);
    for (char& c : s)
        if (c < '0' || c > '9') c = '_';
    return s;
}

bool ParseSystemAddress(const std::string& text, uint32_t* address, uint16_t* port)
{
    *address = 0;
    *port = 80;
    std::string t(text.c_str());
    uint16_t p = 80;
    size_t colon = t.find(':');
    if (colon != std::string::npos) {
        p = (uint16_t)LeadingDecimal(t.substr(colon + 1));
        t.resize(colon);
        uint32_t resolved = 0;
        // An empty host would name this PC itself to the system's resolver, and a
        // resolved 0.0.0.0 is no controller: neither counts as a typed address.
        if (!t.empty() && ResolveHostIPv4(t, &resolved) && resolved != 0) {
            *address = resolved;
            *port = p;
            return true;
        }
    }
    int dots = 0;
    for (char c : t)
        if (c == '.') ++dots;
    if (dots < 3) return false;
    uint32_t a = 0;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t end = t.find('.', start);
        std::string field = t.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // Blanks before a field are skipped, as the address helpers do: " 10.0.0.1"
        // is 10.0.0.1, never 0.0.0.1.
        size_t digits = field.find_first_not_of(" \t\r\n\v\f");
        a |= LeadingDecimal(digits == std::string::npos ? std::string() : field.substr(digits)) << (8 * i);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (a == 0) return false;
    *address = a;
    *port = p;
    return true;
}

SizeClass SizeClassFor(int width, int height)
{
    if (width >= 1024 && height >= 576) return SizeClass::Window1024x576;
    if (height < 600) return SizeClass::Window800x480;
    return SizeClass::Window800x600;
}

static constexpr EnumText<SizeClass> kSizeOptions[] = {
    {SizeClass::Window800x600, "/WNDDX:800 /WNDDY:600"},
    {SizeClass::Window800x480, "/WNDDX:800 /WNDDY:480"},
    {SizeClass::Window1024x576, "/WNDDX:1024 /WNDDY:576"},
};
static_assert(EveryValueOnce(kSizeOptions, SizeClass::Count), "every size class has its option");

const char* SizeOptionText(SizeClass sizeClass)
{
    return TextOf(kSizeOptions, sizeClass, "");
}

static bool HasChar(const std::string& s, char c)
{
    return s.find(c) != std::string::npos;
}

// A quote ends the quoted path early or opens a new quoted argument; a NUL cuts the
// line where the system reads it.
static bool SafeField(const std::string& s)
{
    return !HasChar(s, '"') && !HasChar(s, '\0');
}

static CommandLineResult Finish(std::string& line, std::string* out)
{
    if (line.size() + 1 > QV_MAX_COMMAND_LINE) {
        out->clear();
        return CommandLineResult::TooLong;
    }
    out->swap(line);
    return CommandLineResult::Ok;
}

CommandLineResult BuildPipeCommandLine(const std::string& path, const std::string& user,
                                       const std::string& pass, const std::string& pipeName, std::string* out)
{
    out->clear();
    if (!SafeField(path) || !SafeField(pipeName) || !SafeField(user) || !SafeField(pass) ||
        HasChar(user, '/') || HasChar(pass, '/'))
        return CommandLineResult::BadText;
    std::string line;
    line.reserve(path.size() + user.size() + pass.size() + pipeName.size() + 40);
    line += '"';
    line += path;
    line += "\"  /R /USER:";
    line += user;
    line += " /PASS:";
    line += pass;
    line += " /SOCKFILE:";
    line += pipeName;
    return Finish(line, out);
}

CommandLineResult BuildLoopbackCommandLine(const std::string& path, const std::string& sizeOption, int port,
                                           std::string* out)
{
    out->clear();
    if (!SafeField(path) || !SafeField(sizeOption) || port < 0 || port > 65535)
        return CommandLineResult::BadText;
    std::string line = "\"" + path + "\" " + sizeOption + StrPrintf(" /LOOPBACK:%d", port);
    return Finish(line, out);
}

static constexpr EnumText<CommandLineResult> kCommandLineTexts[] = {
    {CommandLineResult::Ok, "OK"},
    {CommandLineResult::TooLong, "ERROR: Command line too long"},
    {CommandLineResult::BadText, "ERROR: System name or password contains '\"' or '/'"},
};
static_assert(EveryValueOnce(kCommandLineTexts, CommandLineResult::Count), "every build result has its text");

const char* CommandLineResultText(CommandLineResult result)
{
    return TextOf(kCommandLineTexts, result, "ERROR: Cannot build command line");
}

std::string MaskPassword(const std::string& commandLine)
{
    static const char key[] = "/PASS:";
    const size_t keyLen = sizeof(key) - 1;
    std::string out;
    size_t pos = 0;
    for (;;) {
        size_t hit = commandLine.find(key, pos);
        if (hit == std::string::npos) break;
        size_t valueStart = hit + keyLen;
        size_t valueEnd = commandLine.find('/', valueStart);
        if (valueEnd == std::string::npos) valueEnd = commandLine.size();
        // Keep the blanks that separate the value from the next option.
        size_t keepFrom = valueEnd;
        while (keepFrom > valueStart && commandLine[keepFrom - 1] == ' ')
            --keepFrom;
        out.append(commandLine, pos, valueStart - pos);
        out += "****";
        out.append(commandLine, keepFrom, valueEnd - keepFrom);
        pos = valueEnd;
    }
    out.append(commandLine, pos, std::string::npos);
    return out;
}

std::string PipeNameFor(uint32_t value)
{
    return StrPrintf("\\\\.\\pipe\\%08X", value);
}
