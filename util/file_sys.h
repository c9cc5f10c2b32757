// The raw operating-system calls under CQVFile and CQVFileFinder. Everything
// above this line (buffering, strings, the directory walk) is shared by both
// platforms.
#pragma once
#include <cstdint>
#include <string>

#include "qvfile.h"

// One directory entry as the system reports it.
struct QVFindRecord {
    std::string name;
    bool bDirectory;
    bool bLink;             // symbolic link, junction or other reparse point
    uint32_t size;          // low 32 bits
    QVSystemTime lastWrite; // as stored by the file system, not local time
};

// A search in progress; the record outlives the search handle so that the last
// entry handed out stays readable.
struct QVFindImpl {
    QVFindRecord rec;
    void* pSys = nullptr; // platform search state; null when no search is open
};

// The platform's spelling of a path built with '\' separators.
std::string SysPath(const std::string& path);

// mode: CQVFile::OpenRead, OpenCreate or OpenAppend (append does not move to the
// end; the caller seeks). Directories are refused. -1 on failure.
QVFileHandle SysOpen(const std::string& path, int mode, int shareMode);
void SysClose(QVFileHandle h);
// Reads until count bytes arrived or the file ended; false on an error.
bool SysRead(QVFileHandle h, void* buffer, uint32_t count, uint32_t* got);
// Writes all bytes or fails.
bool SysWrite(QVFileHandle h, const void* buffer, uint32_t count);
// Moves the position (origin 0/1/2); the new position's low 32 bits.
bool SysSeek(QVFileHandle h, int32_t distance, int origin, uint32_t* newPos);
uint32_t SysSize(QVFileHandle h); // low 32 bits; 0 on failure

// Opens a search for the pattern inside the directory and fills the first entry.
bool SysFindFirst(QVFindImpl* find, const std::string& directory, const std::string& pattern);
bool SysFindNext(QVFindImpl* find);
void SysFindClose(QVFindImpl* find);

bool SysExists(const std::string& path);
bool SysDeleteFile(const std::string& path);
bool SysRemoveDirectory(const std::string& path);
bool SysMoveFile(const std::string& from, const std::string& to);
// Puts a file in the place of another in one step: afterwards 'to' holds either
// its old bytes or all of 'from', whatever happens meanwhile. 'from''s bytes are
// flushed to the disk first. Both lie in the same directory.
bool SysReplaceFile(const std::string& from, const std::string& to);
bool SysCopyFile(const std::string& from, const std::string& to);
