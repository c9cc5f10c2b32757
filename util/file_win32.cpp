#include <windows.h>

#include <cstring>

#include "file_sys.h"

namespace
{

HANDLE H(QVFileHandle h)
{
    return reinterpret_cast<HANDLE>(h);
}

void FillRecord(QVFindRecord* rec, const WIN32_FIND_DATAA& fd)
{
    rec->name = fd.cFileName;
    rec->bDirectory = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    rec->bLink = (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    rec->size = fd.nFileSizeLow;
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&fd.ftLastWriteTime, &st)) memset(&st, 0, sizeof(st));
    rec->lastWrite.wYear = st.wYear;
    rec->lastWrite.wMonth = st.wMonth;
    rec->lastWrite.wDayOfWeek = st.wDayOfWeek;
    rec->lastWrite.wDay = st.wDay;
    rec->lastWrite.wHour = st.wHour;
    rec->lastWrite.wMinute = st.wMinute;
    rec->lastWrite.wSecond = st.wSecond;
    rec->lastWrite.wMilliseconds = st.wMilliseconds;
}

} // namespace

std::string SysPath(const std::string& path)
{
    return path;
}

QVFileHandle SysOpen(const std::string& path, int mode, int shareMode)
{
    DWORD access = GENERIC_WRITE;
    DWORD disposition = OPEN_ALWAYS;
    if (mode == CQVFile::OpenRead) {
        access = GENERIC_READ;
        disposition = OPEN_EXISTING;
    } else if (mode == CQVFile::OpenCreate) {
        disposition = CREATE_ALWAYS;
    }
    HANDLE h = CreateFileA(path.c_str(), access, (DWORD)shareMode, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    return reinterpret_cast<QVFileHandle>(h);
}

void SysClose(QVFileHandle h)
{
    CloseHandle(H(h));
}

bool SysRead(QVFileHandle h, void* buffer, uint32_t count, uint32_t* got)
{
    DWORD n = 0;
    BOOL ok = ReadFile(H(h), buffer, count, &n, nullptr);
    *got = n;
    return ok != FALSE;
}

bool SysWrite(QVFileHandle h, const void* buffer, uint32_t count)
{
    DWORD n = 0;
    BOOL ok = WriteFile(H(h), buffer, count, &n, nullptr);
    return ok && n == count;
}

bool SysSeek(QVFileHandle h, int32_t distance, int origin, uint32_t* newPos)
{
    SetLastError(NO_ERROR);
    DWORD pos = SetFilePointer(H(h), distance, nullptr, (DWORD)origin);
    if (pos == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
    *newPos = pos;
    return true;
}

uint32_t SysSize(QVFileHandle h)
{
    SetLastError(NO_ERROR);
    DWORD size = GetFileSize(H(h), nullptr);
    if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
    return size;
}

bool SysFindFirst(QVFindImpl* find, const std::string& directory, const std::string& pattern)
{
    WIN32_FIND_DATAA fd;
    std::string query = directory + "/" + pattern;
    HANDLE h = FindFirstFileA(query.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
        find->pSys = nullptr;
        return false;
    }
    find->pSys = h;
    FillRecord(&find->rec, fd);
    return true;
}

bool SysFindNext(QVFindImpl* find)
{
    if (!find->pSys) return false;
    WIN32_FIND_DATAA fd;
    if (!FindNextFileA(static_cast<HANDLE>(find->pSys), &fd)) return false;
    FillRecord(&find->rec, fd);
    return true;
}

void SysFindClose(QVFindImpl* find)
{
    if (find->pSys) FindClose(static_cast<HANDLE>(find->pSys));
    find->pSys = nullptr;
}

bool SysExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
bool SysDeleteFile(const std::string& path)
{
    return DeleteFileA(path.c_str()) != FALSE;
}
bool SysRemoveDirectory(const std::string& path)
{
    return RemoveDirectoryA(path.c_str()) != FALSE;
}
bool SysMoveFile(const std::string& from, const std::string& to)
{
    return MoveFileA(from.c_str(), to.c_str()) != FALSE;
}
bool SysReplaceFile(const std::string& from, const std::string& to)
{
    HANDLE h =
        CreateFileA(from.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BOOL flushed = FlushFileBuffers(h);
    CloseHandle(h);
    return flushed &&
           MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}
bool SysCopyFile(const std::string& from, const std::string& to)
{
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != FALSE;
}
