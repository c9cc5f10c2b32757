#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "../ui/framework.h"
#include "../util/folders.h"
#include "../util/product.h"
#include "../util/qvfile.h"
#include "install.h"

std::string GetCompanyFolderName()
{
    return QV_COMPANY_NAME;
}

std::string GetProductName(bool removeSpaces, bool addExe)
{
    std::string name = QV_PRODUCT_NAME;
    if (removeSpaces) {
        std::string packed;
        for (char c : name)
            if (c != ' ') packed += c;
        name = packed;
    }
    if (addExe) name += ".exe";
    return name;
}

std::string GetShortcutName()
{
    return GetProductName(false, false) + ".lnk";
}

bool IsUsableRootFolder(const std::string& path)
{
    if (path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
        path[1] == ':' && path[2] == '\\')
        return true;
    return path.size() >= 3 && path[0] == '\\' && path[1] == '\\' && path[2] != '\\';
}

static std::string WithoutTrailingSlash(std::string p)
{
    while (p.size() > 3 && (p.back() == '\\' || p.back() == '/'))
        p.pop_back();
    return p;
}

std::string GetInstallFolder(bool create)
{
    // An unset PROGRAMFILES would put "our" folder at the root of whatever drive is
    // current, which a later install would then empty.
    std::string root = GetEnv("PROGRAMFILES");
    if (!IsUsableRootFolder(root)) return std::string();
    std::string p = WithoutTrailingSlash(root) + "\\" + GetCompanyFolderName();
    if (create && !EnsureFolder(p)) return std::string();
    p += "\\" + GetProductName(false, false);
    if (create && !EnsureFolder(p)) return std::string();
    return p;
}

std::string GetShortcutFolder(bool create)
{
    std::string root = GetEnv("PROGRAMDATA");
    if (!IsUsableRootFolder(root)) return std::string();
    std::string p =
        WithoutTrailingSlash(root) + "\\Microsoft\\Windows\\Start Menu\\Programs\\" + GetCompanyFolderName();
    if (create) {
        // The Start Menu levels above our folder normally exist; make them when not.
        std::string level = WithoutTrailingSlash(root);
        const char* parts[] = {"Microsoft", "Windows", "Start Menu", "Programs"};
        for (const char* part : parts) {
            level += "\\";
            level += part;
            if (!EnsureFolder(level)) return std::string();
        }
        if (!EnsureFolder(p)) return std::string();
    }
    return p;
}

bool WriteVersionFile()
{
    std::string folder = GetInstallFolder(false);
    if (folder.empty()) return false;
    CQVFile file(folder + "\\VERSION.DAT");
    if (!file.Open(CQVFile::OpenCreate, 0)) {
        file.Close();
        return false;
    }
    bool ok = file.WriteString(GetBuildVersion(true));
    // The bytes only reach the disk on the flush; its failure is the write's.
    ok = file.Flush() && ok;
    file.Close();
    return ok;
}

int32_t CreateShortcut(const std::string& targetPath, const std::string& linkPath,
                       const std::string& workingFolder, const std::string& description)
{
    HRESULT init = CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    HRESULT hr =
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void**)&link);
    if (SUCCEEDED(hr)) {
        link->SetPath(targetPath.c_str());
        link->SetDescription(description.c_str());
        link->SetWorkingDirectory(workingFolder.c_str());
        IPersistFile* file = nullptr;
        hr = link->QueryInterface(IID_IPersistFile, (void**)&file);
        if (SUCCEEDED(hr)) {
            // Converted at its full length: a fixed buffer would silently cut a deep
            // path and save the link somewhere else.
            int n = MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, nullptr, 0);
            if (n > 0) {
                std::wstring wide((size_t)n, L'\0');
                MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, &wide[0], n);
                hr = file->Save(wide.c_str(), TRUE);
            } else {
                hr = E_INVALIDARG;
            }
            file->Release();
        }
    }
    if (link) link->Release();
    // Only a successful initialisation is ours to undo.
    if (SUCCEEDED(init)) CoUninitialize();
    return (int32_t)hr;
}

std::string ShortcutQuestionText(const std::string& shortcutFolder)
{
    return GetProductName(false, false) + " " + "currently has no Start Menu shortcut\n\n" +
           "Would you like to create one?\n\n" + "The shortcut will be generated in\n\n" + " '" +
           shortcutFolder + "'";
}

// Full, long, case-folded form of a path for comparisons.
static std::string ComparablePath(const std::string& path)
{
    std::string p = path;
    DWORD n = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (n > 0) {
        std::string full((size_t)n, '\0');
        DWORD m = GetFullPathNameA(path.c_str(), n, &full[0], nullptr);
        if (m > 0 && m < n) {
            full.resize(m);
            p = full;
        }
    }
    DWORD l = GetLongPathNameA(p.c_str(), nullptr, 0);
    if (l > 0) {
        std::string longer((size_t)l, '\0');
        DWORD m = GetLongPathNameA(p.c_str(), &longer[0], l);
        if (m > 0 && m < l) {
            longer.resize(m);
            p = longer;
        }
    }
    for (char& c : p) {
        if (c == '/') c = '\\';
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    }
    while (p.size() > 3 && p.back() == '\\')
        p.pop_back();
    return p;
}

static bool SamePath(const std::string& a, const std::string& b)
{
    return ComparablePath(a) == ComparablePath(b);
}

static bool FolderHolds(const std::string& folder, const std::string& path)
{
    std::string f = ComparablePath(folder) + "\\";
    std::string p = ComparablePath(path);
    return p.compare(0, f.size(), f) == 0;
}

// Empties one of our folders unless the running program lives in it: deleting
// beside a running launcher would take files that were never ours to remove.
static void ClearFolder(const std::string& folder, const std::string& self)
{
    if (FolderHolds(folder, self)) {
        printf("Folder holds the running program, not emptied: %s\n", folder.c_str());
        return;
    }
    DeleteDirectoryContents(folder);
}

// The launcher is a window program: a printed line reaches no one, so a refusal
// is also shown in a box.
static bool Refuse(const char* text)
{
    printf("%s\n", text);
    QVMessageBox(nullptr, text, GetProductName(false, false), MB_OK | MB_ICONWARNING | MB_TOPMOST);
    return false;
}

void MoveBuildFiles(const std::string& dataFolder)
{
    // Files that older launchers kept directly in the data folder; they now live
    // in the folder of the build that uses them. An existing target stays.
    static const char* const BUILD_FILES[] = {"BRIGHTLEAF.EXE", "TIDEWORKER.EXE", "MOSSDESK.EXE", "AREA.CSV"};
    const std::string buildFolder = dataFolder + "\\" + GetBuildVersion(false);
    if (!CreateFolder(buildFolder)) return;
    for (const char* name : BUILD_FILES)
        QVMoveFile(dataFolder + "\\" + name, buildFolder + "\\" + name);
}

bool Install()
{
    if (!IsUsableRootFolder(GetEnv("PROGRAMFILES"))) {
        return Refuse("Install refused: PROGRAMFILES is not set");
    }
    if (!IsUsableRootFolder(GetEnv("APPDATA"))) {
        return Refuse("Install refused: APPDATA is not set");
    }
    const std::string installFolder = GetInstallFolder(false);
    const std::string shortcutFolder = GetShortcutFolder(false);
    const std::string target = installFolder + "\\" + GetProductName(true, true);
    const std::string link =
        shortcutFolder.empty() ? std::string() : shortcutFolder + "\\" + GetShortcutName();
    const std::string self = GetExecutablePath();

    if (!FileExists(installFolder + "\\VERSION.DAT")) {
        bool fellBack = false;
        const std::string dataFolder = GetDataFolder(&fellBack);
        if (fellBack) {
            // The "data folder" is now the executable's own folder: emptying it would
            // delete whatever else lives there.
            return Refuse("Install refused: no data folder of our own");
        }
        if (!link.empty()) QVDeleteFile(link);
        ClearFolder(installFolder, self);
        ClearFolder(dataFolder, self);
    }

    if (GetInstallFolder(true).empty()) {
        return Refuse("Install path creation failed");
    }
    // Started as the installed program itself: the file is already in place, and a
    // copy onto itself would fail.
    bool copied = SamePath(self, target) || QVCopyFile(self, target);
    if (!copied || !WriteVersionFile()) {
        return Refuse("Install failed");
    }
    if (link.empty()) {
        return Refuse("Shortcut refused: PROGRAMDATA is not set");
    }
    if (FileExists(link)) return true;

    int answer = QVMessageBox(nullptr, ShortcutQuestionText(shortcutFolder), GetProductName(false, false),
                              MB_YESNO | MB_ICONQUESTION | MB_TOPMOST);
    if (answer != IDYES) return true;
    if (GetShortcutFolder(true).empty()) {
        return Refuse("Shortcut path creation failed");
    }
    return CreateShortcut(target, link, installFolder, GetProductName(false, false)) >= 0;
}
