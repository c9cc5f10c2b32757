#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "file_sys.h"
#include "folders.h"

std::string GetEnv(const char* name)
{
    const char* v = getenv(name);
    return v ? std::string(v) : std::string();
}

std::string GetExecutablePath()
{
    std::vector<char> buf(4096, '\0');
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return std::string();
        if ((size_t)n < buf.size()) return std::string(buf.data(), (size_t)n);
        if (buf.size() >= 65536) return std::string();
        buf.resize(buf.size() * 2);
    }
}

std::string GetExecutableFolder()
{
    std::string path = GetExecutablePath();
    size_t cut = path.find_last_of("\\/");
    if (cut == std::string::npos) return ".";
    return path.substr(0, cut);
}

bool FolderExists(const std::string& path)
{
    struct stat st;
    return stat(SysPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFolder(const std::string& path)
{
    bool ok = false;
    if (mkdir(SysPath(path).c_str(), 0777) == 0) {
        printf("Path created: %s\n", path.c_str());
        ok = true;
    } else {
        int err = errno;
        if (err == EEXIST) {
            printf("Path already exists\n");
            // A file of that name is no folder to keep data in.
            ok = FolderExists(path);
        } else if (err == ENOENT || err == ENOTDIR) {
            printf("Path not found\n");
        } else {
            printf("Unhandled error: [%d]\n", err);
        }
    }
    fflush(stdout);
    return ok;
}
