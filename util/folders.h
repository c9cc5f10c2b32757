// The launcher's folders and a few process facts (seam).
#pragma once
#include <string>

// Environment variable value; empty when unset.
std::string GetEnv(const char* name);
// Full path of the running executable.
std::string GetExecutablePath();
// The folder of the running executable, without trailing backslash.
std::string GetExecutableFolder();
bool FolderExists(const std::string& path);
// Creates one directory level (the parent must exist). True when created or
// already there. Prints its diagnostic line to standard output.
bool CreateFolder(const std::string& path);
// One level that is there already or is made now (without CreateFolder's line
// when it is there).
bool EnsureFolder(const std::string& path);
// APPDATA\OSKA Zizu Systems\OSKA Rerudi, each level made when missing; the
// executable's folder when that fails (then *fellBack is set, so that nobody
// empties a folder that is not ours). No trailing backslash.
std::string GetDataFolder(bool* fellBack = nullptr);
// QV_VERSION_DISPLAY ("8.6 Build 522.0 Rel") or QV_VERSION_FOLDER ("8_6_522_0").
std::string GetBuildVersion(bool displayForm);
