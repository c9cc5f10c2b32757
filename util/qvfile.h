// Buffered file of raw bytes with 32-bit integers and length-prefixed strings,
// and a directory walker. Paths are narrow strings built with '\' separators;
// the POSIX implementation maps '\' to '/'.
#pragma once
#include <cstdint>
#include <string>

#include "qvtime.h"

enum {
    QVFILE_SHARE_READ = 1,  // FILE_SHARE_READ
    QVFILE_SHARE_WRITE = 2, // FILE_SHARE_WRITE
};

enum { QVFILE_BEGIN = 0, QVFILE_CURRENT = 1, QVFILE_END = 2 };

// A stored string longer than this is refused before anything is allocated: no
// file of ours holds a string near this size, and a damaged length must not make
// the reader allocate gigabytes.
const uint32_t QVFILE_MAX_STRING = 1u << 20;

typedef intptr_t QVFileHandle; // -1 while closed

class CQVFile
{
  public:
    enum { OpenRead = 1, OpenCreate = 2, OpenAppend = 3 };
    enum { BufferSize = 5000 };

    explicit CQVFile(const std::string& fileName);
    virtual ~CQVFile();
    virtual bool ConstFalse();
    virtual bool ConstTrue();
    virtual uint32_t GetSize();
    virtual bool Open(int mode, int shareMode);
    virtual void Close();
    virtual uint32_t Seek(int32_t distance, int origin);
    virtual uint32_t SeekTell(int32_t distance, int origin);
    virtual uint32_t Tell();
    virtual bool ReadExact(void* buffer, uint32_t count);
    virtual bool Read(void* buffer, uint32_t count);
    virtual bool IsOpen();
    virtual bool Write(const void* buffer, uint32_t count);

    bool Flush();
    bool WriteBytes(const void* buffer, uint32_t count);
    bool ReadInt32(uint32_t* out);
    bool WriteInt32(uint32_t value);
    bool ReadString(std::string* out);
    bool WriteString(const std::string& text);
    const std::string& GetFileName() const { return m_strName; }
    int GetMode() const { return m_nMode; }

  private:
    CQVFile(const CQVFile&) = delete;
    CQVFile& operator=(const CQVFile&) = delete;
    std::string m_strName;
    QVFileHandle m_hFile;
    uint8_t* m_pBuffer;
    int32_t m_nBufferSize;
    int32_t m_nCount;
    int32_t m_nPos;
    int m_nMode;
};

enum {
    QVFILE_ENTRY_NOTDOT = 1,    // the name does not begin with '.'
    QVFILE_ENTRY_DIRECTORY = 2, // a directory
    QVFILE_ENTRY_LINK = 4,      // a link or junction: removed itself, never walked into
};

struct CQVFileEntry {
    const char* name;
    uint32_t flags; // bit 0: name does not begin with '.'; bit 1: directory; bit 2: link
    uint32_t size;
    QVSystemTime lastWrite;

    bool IsNotDot() const { return (flags & QVFILE_ENTRY_NOTDOT) != 0; }
    bool IsDirectory() const { return (flags & QVFILE_ENTRY_DIRECTORY) != 0; }
    bool IsLink() const { return (flags & QVFILE_ENTRY_LINK) != 0; }
};

struct QVFindImpl;

class CQVFileFinder
{
  public:
    CQVFileFinder(const std::string& directory, const std::string& pattern);
    virtual ~CQVFileFinder();
    bool FindNext(CQVFileEntry* entry);
    std::string GetFullPath(const CQVFileEntry* entry) const;

  private:
    CQVFileFinder(const CQVFileFinder&) = delete;
    CQVFileFinder& operator=(const CQVFileFinder&) = delete;
    std::string m_strDirectory;
    std::string m_strPattern;
    bool m_bStarted;
    QVFindImpl* m_pImpl;
};

// Deletes everything below the folder, never the folder itself. Names that begin
// with '.' are neither deleted nor descended into.
void DeleteDirectoryContents(const std::string& directory);

// Small file-system helpers used by the application (seam).
bool FileExists(const std::string& path); // any kind of entry
bool QVDeleteFile(const std::string& path);
bool QVMoveFile(const std::string& from, const std::string& to); // plain move; fails if 'to' exists
bool QVCopyFile(const std::string& from, const std::string& to); // replaces 'to'
// Renames 'from' over 'to' in one step (same directory): 'to' is whole either way.
bool QVReplaceFile(const std::string& from, const std::string& to);
