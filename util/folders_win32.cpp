#include <windows.h>

#include <cstdio>
#include <vector>

#include "folders.h"

std::string GetEnv(const char* name)
{
    DWORD n = GetEnvironmentVariableA(name, nullptr, 0);
    if (n == 0) return std::string();
    std::vector<char> buf(n + 1, '\0');
    DWORD got = GetEnvironmentVariableA(name, buf.data(), (DWORD)buf.size());
    if (got == 0 || got >= buf.size()) return std::string();
    return std::string(buf.data(), got);
}

std::string GetExecutablePath()
{
    std::vector<char> buf(MAX_PATH, '\0');
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, buf.data(), (DWORD)buf.size());
        if (n == 0) return std::string();
        if (n < buf.size()) return std::string(buf.data(), n);
        if (buf.size() >= 32768) return std::string();
        buf.resize(buf.size() * 2);
    }
}

std::string GetExecutableFolder()
{
    std::string path = GetExecutablePath();
    size_t cut = path.find_last_of('\\');
    if (cut == std::string::npos) return ".";
    return path.substr(0, cut);
}

bool FolderExists(const std::string& path)
{
    DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateFolder(const std::string& path)
{
    bool ok = false;
    if (CreateDirectoryA(path.c_str(), nullptr)) {
        printf("Path created: %s\n", path.c_str());
        ok = true;
    } else {
        DWORD err = GetLastError();
        if (err == ERROR_ALREADY_EXISTS) {
            printf("Path already exists\n");
            // A file of that name is no folder to keep data in.
            ok = FolderExists(path);
        } else if (err == ERROR_PATH_NOT_FOUND) {
            printf("Path not found\n");
        } else {
            printf("Unhandled error: [%d]\n", (int)err);
        }
    }
    fflush(stdout);
    return ok;
}
