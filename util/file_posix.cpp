#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "file_sys.h"

namespace
{

struct PosixFind {
    DIR* dir;
    std::string directory; // platform spelling
    std::string pattern;
};

bool Matches(const std::string& pattern, const char* name)
{
    // "*.*" has always meant every entry, dot or not.
    if (pattern == "*.*" || pattern == "*") return true;
    return fnmatch(pattern.c_str(), name, 0) == 0;
}

// Fills the record from the next entry that matches; false when there is none.
bool NextMatch(QVFindImpl* find)
{
    PosixFind* pf = static_cast<PosixFind*>(find->pSys);
    for (;;) {
        errno = 0;
        dirent* de = readdir(pf->dir);
        if (!de) return false;
        if (!Matches(pf->pattern, de->d_name)) continue;

        QVFindRecord& rec = find->rec;
        rec.name = de->d_name;
        rec.bDirectory = false;
        rec.bLink = false;
        rec.size = 0;
        memset(&rec.lastWrite, 0, sizeof(rec.lastWrite));
        struct stat st;
        std::string full = pf->directory + "/" + de->d_name;
        if (lstat(full.c_str(), &st) == 0) {
            // A link is reported as itself: deleting it must never reach what it points at.
            rec.bLink = S_ISLNK(st.st_mode);
            rec.bDirectory = S_ISDIR(st.st_mode);
            rec.size = (uint32_t)st.st_size;
            struct tm tmv;
            time_t secs = st.st_mtim.tv_sec;
            if (gmtime_r(&secs, &tmv)) {
                rec.lastWrite.wYear = (uint16_t)(tmv.tm_year + 1900);
                rec.lastWrite.wMonth = (uint16_t)(tmv.tm_mon + 1);
                rec.lastWrite.wDayOfWeek = (uint16_t)tmv.tm_wday;
                rec.lastWrite.wDay = (uint16_t)tmv.tm_mday;
                rec.lastWrite.wHour = (uint16_t)tmv.tm_hour;
                rec.lastWrite.wMinute = (uint16_t)tmv.tm_min;
                rec.lastWrite.wSecond = (uint16_t)tmv.tm_sec;
                rec.lastWrite.wMilliseconds = (uint16_t)(st.st_mtim.tv_nsec / 1000000);
            }
        }
        return true;
    }
}

} // namespace

std::string SysPath(const std::string& path)
{
    std::string out = path;
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

QVFileHandle SysOpen(const std::string& path, int mode, int /*shareMode: no mandatory sharing here*/)
{
    int flags = O_CLOEXEC;
    if (mode == CQVFile::OpenRead)
        flags |= O_RDONLY;
    else if (mode == CQVFile::OpenCreate)
        flags |= O_WRONLY | O_CREAT | O_TRUNC;
    else
        flags |= O_WRONLY | O_CREAT;
    std::string p = SysPath(path);
    int fd;
    do {
        fd = open(p.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

void SysClose(QVFileHandle h)
{
    close((int)h);
}

bool SysRead(QVFileHandle h, void* buffer, uint32_t count, uint32_t* got)
{
    uint8_t* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = read((int)h, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            *got = done;
            return false;
        }
        if (n == 0) break;
        done += (uint32_t)n;
    }
    *got = done;
    return true;
}

bool SysWrite(QVFileHandle h, const void* buffer, uint32_t count)
{
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = write((int)h, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        done += (uint32_t)n;
    }
    return true;
}

bool SysSeek(QVFileHandle h, int32_t distance, int origin, uint32_t* newPos)
{
    int whence = origin == QVFILE_BEGIN ? SEEK_SET : origin == QVFILE_CURRENT ? SEEK_CUR : SEEK_END;
    if (origin < QVFILE_BEGIN || origin > QVFILE_END) return false;
    off_t pos = lseek((int)h, (off_t)distance, whence);
    if (pos < 0) return false;
    *newPos = (uint32_t)pos;
    return true;
}

uint32_t SysSize(QVFileHandle h)
{
    struct stat st;
    if (fstat((int)h, &st) != 0) return 0;
    return (uint32_t)st.st_size;
}

bool SysFindFirst(QVFindImpl* find, const std::string& directory, const std::string& pattern)
{
    find->pSys = nullptr;
    std::string dir = SysPath(directory);
    // An empty directory name is the root, as "\*.*" is on a drive.
    DIR* d = opendir(dir.empty() ? "/" : dir.c_str());
    if (!d) return false;
    PosixFind* pf = new (std::nothrow) PosixFind{d, dir, pattern};
    if (!pf) {
        closedir(d);
        return false;
    }
    find->pSys = pf;
    if (!NextMatch(find)) {
        SysFindClose(find);
        return false;
    }
    return true;
}

bool SysFindNext(QVFindImpl* find)
{
    if (!find->pSys) return false;
    return NextMatch(find);
}

void SysFindClose(QVFindImpl* find)
{
    PosixFind* pf = static_cast<PosixFind*>(find->pSys);
    if (pf) {
        closedir(pf->dir);
        delete pf;
    }
    find->pSys = nullptr;
}

bool SysExists(const std::string& path)
{
    struct stat st;
    return lstat(SysPath(path).c_str(), &st) == 0;
}

bool SysDeleteFile(const std::string& path)
{
    std::string p = SysPath(path);
    struct stat st;
    // Deleting a file never removes a directory.
    if (lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    return unlink(p.c_str()) == 0;
}

bool SysRemoveDirectory(const std::string& path)
{
    return rmdir(SysPath(path).c_str()) == 0;
}

bool SysCopyFile(const std::string& from, const std::string& to)
{
    std::string src = SysPath(from), dst = SysPath(to);
    int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat sst, dstst;
    if (fstat(in, &sst) != 0 || !S_ISREG(sst.st_mode)) {
        close(in);
        return false;
    }
    // Copying a file onto itself would truncate it before reading it.
    if (stat(dst.c_str(), &dstst) == 0 && dstst.st_dev == sst.st_dev && dstst.st_ino == sst.st_ino) {
        close(in);
        return false;
    }
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, sst.st_mode & 0777);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = true;
    static const uint32_t kChunk = 65536;
    uint8_t* buf = new (std::nothrow) uint8_t[kChunk];
    if (!buf) ok = false;
    while (ok) {
        uint32_t got = 0;
        if (!SysRead(in, buf, kChunk, &got)) ok = false;
        if (!ok || got == 0) break;
        if (!SysWrite(out, buf, got)) ok = false;
    }
    delete[] buf;
    close(in);
    if (close(out) != 0) ok = false;
    return ok;
}

bool SysMoveFile(const std::string& from, const std::string& to)
{
    std::string src = SysPath(from), dst = SysPath(to);
    struct stat st, existing;
    if (lstat(src.c_str(), &st) != 0) return false;
    if (lstat(dst.c_str(), &existing) == 0) return false; // the target is never replaced
    if (rename(src.c_str(), dst.c_str()) == 0) return true;
    if (errno != EXDEV || S_ISDIR(st.st_mode)) return false;
    // Another file system: copy, then remove the original.
    if (!SysCopyFile(from, to)) {
        unlink(dst.c_str());
        return false;
    }
    return unlink(src.c_str()) == 0;
}

bool SysReplaceFile(const std::string& from, const std::string& to)
{
    std::string src = SysPath(from), dst = SysPath(to);
    struct stat st;
    if (lstat(src.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // Without this the rename could reach the disk before the bytes it names.
    int fd = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool synced = fsync(fd) == 0;
    close(fd);
    return synced && rename(src.c_str(), dst.c_str()) == 0;
}
