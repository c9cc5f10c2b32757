// Controller versions, typed system addresses, window-size classes and the command
// lines that start the viewer or configurator.
#pragma once
#include <cstdint>
#include <string>

// Versions compare as four 16-bit parts, the first in the top 16 bits.
const char QV_MIN_HOST_VERSION[] = "4.0.488.0"; // older controllers are refused
const char QV_LOOPBACK_VERSION[] = "7.1.1.0";   // from here on the bridge hands over

// Upper case, every "BUILD" becomes '.', then only digits and '.' remain.
std::string CleanVersion(const std::string& text);
// Four parts of 16 bits; a version with fewer parts repeats its last one (7.1 is
// 7.1.1.1) and a part of 65536 or more spills into the part above.
uint64_t ParseVersion(const std::string& text);
// The cleaned version with every non-digit turned into '_' (4_2_512_0).
std::string VersionFolderName(const std::string& text);

// A typed system name that names a controller directly: "host:port" (resolved), or
// a dotted address a.b.c.d with an optional ":port". *address is in socket-address
// order; *port is 80 unless given. A plain name without ':' is never looked up.
// Fails (address 0, port 80) for anything else, including the address 0.
bool ParseSystemAddress(const std::string& text, uint32_t* address, uint16_t* port);

// Window-size class of the viewer from the desktop size: 2, 1 or 0.
int SizeClassFor(int width, int height);
// "/WNDDX:1024 /WNDDY:576", "/WNDDX:800 /WNDDY:480", "/WNDDX:800 /WNDDY:600"; empty
// for any other class.
const char* SizeOptionText(int sizeClass);

// The system accepts command lines up to this many characters, terminator included.
const size_t QV_MAX_COMMAND_LINE = 32767;

enum CommandLineResult {
    CMDLINE_OK = 0,
    CMDLINE_TOO_LONG = 1, // the whole line would not fit the system's limit
    CMDLINE_BAD_TEXT = 2, // a field would break the quoting or inject an option
};

// "\"path\"  /R /USER:user /PASS:pass /SOCKFILE:pipe". The name and password may
// contain neither '"' nor '/' nor a NUL: the started program reads each value up to
// the next '/', so such a value would reach it cut, and what follows would be read
// as an option of its own. On failure *out is emptied.
int BuildPipeCommandLine(const std::string& path, const std::string& user, const std::string& pass,
                         const std::string& pipeName, std::string* out);
// "\"path\" sizeOption /LOOPBACK:port". On failure *out is emptied.
int BuildLoopbackCommandLine(const std::string& path, const std::string& sizeOption, int port,
                             std::string* out);
// A short text for a failed build, for the progress window.
const char* CommandLineResultText(int result);

// The command line with every "/PASS:" value replaced by "****", for status lines
// and the connection log.
std::string MaskPassword(const std::string& commandLine);

// The pipe name "\\.\pipe\%08X" for a 32-bit value unique to this launcher.
std::string PipeNameFor(uint32_t value);
