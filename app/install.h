// Self-install: the executable into the program-files folder, a version marker
// beside it, and an optional all-users Start Menu shortcut.
#pragma once
#include <cstdint>
#include <string>

// Copies the running executable into the install folder and writes VERSION.DAT;
// without an earlier VERSION.DAT the old installation, its shortcut and the data
// folder are cleared first. Offers the shortcut when there is none. Never empties
// or writes a folder that is not ours: with PROGRAMFILES or APPDATA unset (or not
// an absolute path), or with the data folder fallen back to the executable's
// folder, it refuses before changing anything. A folder that holds the running
// executable is never emptied. True when the executable is in place and, if the
// user asked for one, the shortcut was made.
bool Install();
bool WriteVersionFile();
// Moves the files older launchers kept in the data folder into the folder of this
// build; a missing source or an existing target leaves that file where it is.
void MoveBuildFiles(const std::string& dataFolder);
// PROGRAMFILES\OSKA Zizu Systems\OSKA Rerudi. With create set, missing levels are
// made and an empty path is returned when one cannot be. Empty as well when
// PROGRAMFILES is not usable.
std::string GetInstallFolder(bool create);
// PROGRAMDATA\Microsoft\Windows\Start Menu\Programs\OSKA Zizu Systems, the same way.
std::string GetShortcutFolder(bool create);
// "OSKA Rerudi"; with removeSpaces "OSKARerudi"; with addExe ".exe" appended.
std::string GetProductName(bool removeSpaces, bool addExe);
std::string GetShortcutName();      // "OSKA Rerudi.lnk"
std::string GetCompanyFolderName(); // "OSKA Zizu Systems"
// A shell link at linkPath to targetPath, starting in workingFolder, carrying the
// description. The result code of the last shell call (negative on failure).
int32_t CreateShortcut(const std::string& targetPath, const std::string& linkPath,
                       const std::string& workingFolder, const std::string& description);

// The question text offered when no shortcut exists.
std::string ShortcutQuestionText(const std::string& shortcutFolder);
// True for a value that names an absolute folder ("C:\..." or "\\server\...").
bool IsUsableRootFolder(const std::string& path);
