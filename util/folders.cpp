#include "folders.h"

#include "product.h"

bool EnsureFolder(const std::string& path)
{
    return FolderExists(path) || CreateFolder(path);
}

std::string GetDataFolder(bool* fellBack)
{
    if (fellBack) *fellBack = false;
    // With APPDATA unset the base is "\", the root of the current drive.
    std::string base = GetEnv("APPDATA");
    while (!base.empty() && (base.back() == '\\' || base.back() == '/'))
        base.pop_back();
    base += "\\";

    std::string company = base + QV_COMPANY_NAME;
    std::string folder = company + "\\" + QV_PRODUCT_NAME;
    if (!EnsureFolder(company) || !EnsureFolder(folder)) {
        if (fellBack) *fellBack = true;
        return GetExecutableFolder();
    }
    return folder;
}

std::string GetBuildVersion(bool displayForm)
{
    return displayForm ? QV_VERSION_DISPLAY : QV_VERSION_FOLDER;
}
