// The launcher's own command line: option lookup and the start values it yields.
#pragma once
#include <cstdint>
#include <string>

// Process-wide demonstration flag: 0 at load, set to 1 by "/DEMO", never cleared.
extern int g_bDemoMode;

// A value never exceeds this many characters; the rest of a longer one is dropped.
const size_t QV_OPTION_VALUE_MAX = 255;

// What a start starts. The numbers are those of "/TYPE:" and the session's client
// kinds that log the two programs in.
enum class StartMode {
    Viewer = 0,
    Configurator = 1,
};

// What the application object hands to the main window, in constructor order.
struct StartOptions {
    std::string systemName;     // "/USER:"
    std::string password;       // "/PASS:"
    std::string sizeOption;     // "/SIZE:" (kept, changes nothing)
    uint32_t targetAddress = 0; // "/IPADDR:", socket-address byte order, 0 = none
    int32_t startType = 0;      // "/TYPE:"
    bool silent = false;        // "/SILENT"
    bool demo = false;          // "/DEMO" (also raises g_bDemoMode)
};

// Looks for the first exact (case-sensitive) occurrence of optionName. When found,
// *value receives the text that follows it up to the next '/' or the end, at most
// QV_OPTION_VALUE_MAX characters, with trailing spaces removed; true. Otherwise
// *value is emptied and the result is false. The text ends at an embedded NUL, as
// the system's own command line would. value may be null for flag options.
bool FindOption(const std::string& commandLine, const char* optionName, std::string* value);

// Decimal integer as "/TYPE:" reads it: optional leading spaces, optional sign,
// leading digits; anything else reads as 0. Out-of-range values are clamped.
int32_t ParseOptionInt(const std::string& text);

// Hexadecimal address as "/IPADDR:" reads it: optional "0x"/"0X", digits up to the
// first non-hexadecimal character. A value that does not fit 32 bits reads as 0
// (no address) rather than as some unrelated address.
uint32_t ParseOptionHex(const std::string& text);

// The start a silent launch makes for its "/TYPE:" value; false for any value that
// starts nothing.
bool SilentStartMode(int32_t startType, StartMode* mode);

// Reads every start option from the command line that follows the program's path.
// "/INSTALL" and "/UNINSTALL" are the caller's business (they end the process first).
// Sets g_bDemoMode when "/DEMO" is present.
void ParseStartOptions(const std::string& commandLineAfterPath, StartOptions* out);

// The text of a full command line after the program's own path (quoted or not) and
// the blanks that follow it.
std::string StripProgramPath(const std::string& fullCommandLine);
