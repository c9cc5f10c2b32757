#include "folders.h"

namespace
{

// One level of the data folder: there already, or made now.
bool EnsureFolder(const std::string& path)
{
    return FolderExists(path) || CreateFolder(path);
}

} // namespace

std::string GetDataFolder(bool* fellBack)
{
    if (fellBack) *fellBack = false;
    // With APPDATA unset the base is "\", the root of the current drive.
    std::string base = GetEnv("APPDATA");
    while (!base.empty() && (base.back() == '\\' || base.back() == '/'))
        base.pop_back();
    base += "\\";

    std::string company = base + "OSKA Zizu Systems";
    std::string folder = company + "\\" + "OSKA Rerudi";
    if (!EnsureFolder(company) || !EnsureFolder(folder)) {
        if (fellBack) *fellBack = true;
        return GetExecutableFolder();
    }
    return folder;
}

std::string GetBuildVersion(bool displayForm)
{
    return displayForm ? "8.6 Build 522.0 Rel" : "8_6_522_0";
}
