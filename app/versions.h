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

// The viewer's window size. The numbers are the ones LOGIN.DAT keeps.
enum class SizeClass : int32_t { Window800x600 = 0, Window800x480 = 1, Window1024x576 = 2, Count };
// The class for a desktop of this size.
SizeClass SizeClassFor(int width, int height);
// The viewer's option for the class ("/WNDDX:1024 /WNDDY:576"); empty for a number
// outside the classes (one a damaged LOGIN.DAT may hold).
const char* SizeOptionText(SizeClass sizeClass);

// The system accepts command lines up to this many characters, terminator included.
const size_t QV_MAX_COMMAND_LINE = 32767;

enum class CommandLineResult {
    Ok = 0,
    TooLong = 1, // the whole line would not fit the system's limit
    BadText = 2, // a field would break the quoting or inject an option
    Count
};

// "\"path\"  /R /USER:user /PASS:pass /SOCKFILE:pipe". The name and password may
// contain neither '"' nor '/' nor a NUL: the started program reads each value up to
// the next '/', so such a value would reach it cut, and what follows would be read
// as an option of its own. On failure *out is emptied.
CommandLineResult BuildPipeCommandLine(const std::string& path, const std::string& user,
                                       const std::string& pass, const std::string& pipeName,
                                       std::string* out);
// "\"path\" sizeOption /LOOPBACK:port". On failure *out is emptied.
CommandLineResult BuildLoopbackCommandLine(const std::string& path, const std::string& sizeOption, int port,
                                           std::string* out);
// A short text for a failed build, for the progress window.
const char* CommandLineResultText(CommandLineResult result);

// The command line with every "/PASS:" value replaced by "****", for status lines
// and the connection log.
std::string MaskPassword(const std::string& commandLine);

// The pipe name "\\.\pipe\%08X" for a 32-bit value unique to this launcher.
std::string PipeNameFor(uint32_t value);
