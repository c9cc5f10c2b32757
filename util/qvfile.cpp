#include <cstring>
#include <new>
#include <vector>

#include "file_sys.h"
#include "qvfile.h"
#include "qvtext.h"
#include "qvtypes.h"

CQVFile::CQVFile(const std::string& fileName)
    : m_strName(fileName), m_hFile(-1), m_pBuffer(nullptr), m_nBufferSize(BufferSize), m_nCount(0), m_nPos(0),
      m_nMode(0)
{
}

CQVFile::~CQVFile()
{
    Close();
}

bool CQVFile::ConstFalse()
{
    return false;
}
bool CQVFile::ConstTrue()
{
    return true;
}

bool CQVFile::IsOpen()
{
    return m_hFile != -1;
}

uint32_t CQVFile::GetSize()
{
    if (IsOpen()) return SysSize(m_hFile);
    QVFileHandle h = SysOpen(m_strName, OpenRead, 0);
    if (h == -1) return 0;
    uint32_t size = SysSize(h);
    SysClose(h);
    return size;
}

bool CQVFile::Open(int mode, int shareMode)
{
    if (IsOpen()) Close();
    if (mode != OpenRead && mode != OpenCreate && mode != OpenAppend) return false;

    m_hFile = SysOpen(m_strName, mode, shareMode);
    if (m_hFile != -1 && mode == OpenAppend) {
        uint32_t end = 0;
        if (!SysSeek(m_hFile, 0, QVFILE_END, &end)) {
            // Writing anywhere but the end would overwrite what the file holds.
            SysClose(m_hFile);
            m_hFile = -1;
        }
    }
    if (!m_pBuffer) m_pBuffer = new (std::nothrow) uint8_t[m_nBufferSize];
    m_nCount = 0;
    m_nPos = 0;
    if (m_hFile == -1) {
        m_nMode = 0;
        return false;
    }
    m_nMode = mode;
    return true;
}

void CQVFile::Close()
{
    if (IsOpen()) {
        Flush();
        SysClose(m_hFile);
        m_hFile = -1;
    }
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
    // Stale counts would make the next Open deliver bytes from a fresh, empty buffer.
    m_nCount = 0;
    m_nPos = 0;
    m_nMode = 0;
}

bool CQVFile::Flush()
{
    if (m_nCount < 1) return true;
    if (!m_pBuffer) return false;
    if (m_nMode == OpenCreate || m_nMode == OpenAppend) {
        uint32_t pending = (uint32_t)m_nCount;
        m_nCount = 0;
        return SysWrite(m_hFile, m_pBuffer, pending);
    }
    m_nCount = 0;
    m_nPos = 0;
    return true;
}

bool CQVFile::Write(const void* buffer, uint32_t count)
{
    if (!m_pBuffer) return false;
    // Only a file opened for writing takes bytes: in read mode the buffer holds
    // read-ahead, and after a failed Open the bytes would be dropped unnoticed.
    if (m_nMode != OpenCreate && m_nMode != OpenAppend) return false;
    if (count < (uint32_t)(m_nBufferSize - m_nCount)) {
        if (count) memcpy(m_pBuffer + m_nCount, buffer, count);
        m_nCount += (int32_t)count;
        return true;
    }
    if (!Flush()) return false;
    if (count > (uint32_t)m_nBufferSize) return SysWrite(m_hFile, buffer, count);
    if (count) memcpy(m_pBuffer, buffer, count);
    m_nCount = (int32_t)count;
    return true;
}

bool CQVFile::WriteBytes(const void* buffer, uint32_t count)
{
    if (!IsOpen()) return false;
    return Write(buffer, count);
}

bool CQVFile::ReadExact(void* buffer, uint32_t count)
{
    if (!m_pBuffer || !IsOpen() || m_nMode != OpenRead) return false;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    if (m_nCount > m_nPos) {
        uint32_t avail = (uint32_t)(m_nCount - m_nPos);
        done = avail < count ? avail : count;
        memcpy(out, m_pBuffer + m_nPos, done);
        m_nPos += (int32_t)done;
    }
    uint32_t rest = count - done;
    if (rest == 0) return true;
    uint32_t got = 0;
    if (!SysRead(m_hFile, out + done, rest, &got)) return false;
    return got == rest;
}

bool CQVFile::Read(void* buffer, uint32_t count)
{
    if (!IsOpen() || !m_pBuffer || m_nMode != OpenRead) return false;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t remaining = count;
    while (remaining > 0) {
        if (m_nPos >= m_nCount) {
            if (remaining > (uint32_t)m_nBufferSize) {
                uint32_t got = 0;
                bool ok = SysRead(m_hFile, out, remaining, &got);
                m_nCount = 0;
                m_nPos = 0;
                // Short at the end of the file is a failure too: the caller asked
                // for all of it.
                return ok && got == remaining;
            }
            uint32_t got = 0;
            if (!SysRead(m_hFile, m_pBuffer, (uint32_t)m_nBufferSize, &got) || got == 0) return false;
            m_nCount = (int32_t)got;
            m_nPos = 0;
        }
        uint32_t avail = (uint32_t)(m_nCount - m_nPos);
        uint32_t n = remaining < avail ? remaining : avail;
        memcpy(out, m_pBuffer + m_nPos, n);
        m_nPos += (int32_t)n;
        out += n;
        remaining -= n;
    }
    return true;
}

uint32_t CQVFile::Tell()
{
    if (!IsOpen()) return 0;
    uint32_t pos = 0;
    if (!SysSeek(m_hFile, 0, QVFILE_CURRENT, &pos)) return 0;
    if (m_nMode == OpenRead) {
        int32_t unread = m_nCount > m_nPos ? m_nCount - m_nPos : 0;
        return pos - (uint32_t)unread;
    }
    return pos + (uint32_t)m_nCount;
}

uint32_t CQVFile::SeekTell(int32_t distance, int origin)
{
    if (!IsOpen()) return 0;
    if (m_nMode == OpenCreate || m_nMode == OpenAppend) Flush();

    if (m_nMode == OpenRead) {
        int32_t unread = m_nCount > m_nPos ? m_nCount - m_nPos : 0;
        if (origin == QVFILE_CURRENT) {
            if (distance == 0) return Tell();
            if (distance > 0 && distance < unread) {
                m_nPos += distance;
                return Tell();
            }
            origin = QVFILE_BEGIN;
            distance = (int32_t)((uint32_t)distance + Tell());
        }
        if (origin == QVFILE_BEGIN && unread > 0) {
            uint32_t here = Tell();
            if ((int64_t)here < (int64_t)distance && (int64_t)distance - (int64_t)here < (int64_t)unread) {
                m_nPos += (int32_t)((int64_t)distance - (int64_t)here);
                return Tell();
            }
        }
    }

    uint32_t before = Tell();
    m_nCount = 0;
    m_nPos = 0;
    uint32_t pos = 0;
    if (!SysSeek(m_hFile, distance, origin, &pos)) {
        // The read-ahead is gone, so the system position must come back to where
        // the reader was, or the unread bytes would be skipped.
        SysSeek(m_hFile, (int32_t)before, QVFILE_BEGIN, &pos);
    }
    return Tell();
}

uint32_t CQVFile::Seek(int32_t distance, int origin)
{
    return SeekTell(distance, origin);
}

bool CQVFile::ReadInt32(uint32_t* out)
{
    uint8_t b[4];
    if (!ReadExact(b, 4)) return false;
    *out = GetLE32(b);
    return true;
}

bool CQVFile::WriteInt32(uint32_t value)
{
    uint8_t b[4];
    PutLE32(b, value);
    return WriteBytes(b, 4);
}

bool CQVFile::ReadString(std::string* out)
{
    uint32_t length = 0;
    if (!ReadInt32(&length)) return false;
    bool wide = (length & 0x80000000u) != 0;
    uint32_t bytes = length & 0x7FFFFFFFu;

    // A damaged length must not make us allocate what the file cannot hold.
    if (bytes > QVFILE_MAX_STRING) return false;
    uint32_t size = SysSize(m_hFile);
    uint32_t here = Tell();
    if (here > size || bytes > size - here) return false;

    if (wide) {
        uint32_t chars = bytes / 2;
        std::vector<uint8_t> raw(((size_t)chars + 1) * 2, 0);
        if (!ReadExact(raw.data(), bytes)) return false;
        *out = Utf16ToNarrow(raw.data(), chars);
        return true;
    }
    std::string text(bytes, '\0');
    if (bytes && !ReadExact(&text[0], bytes)) return false;
    out->swap(text);
    return true;
}

bool CQVFile::WriteString(const std::string& text)
{
    // Bit 31 of the stored length marks UTF-16; a narrow text must stay below it.
    if (text.size() > 0x7FFFFFFFu) return false;
    if (!WriteInt32((uint32_t)text.size())) return false;
    return WriteBytes(text.data(), (uint32_t)text.size());
}

// ---------------------------------------------------------------------------

CQVFileFinder::CQVFileFinder(const std::string& directory, const std::string& pattern)
    : m_strDirectory(directory), m_strPattern(pattern), m_bStarted(false), m_pImpl(nullptr)
{
    while (!m_strDirectory.empty() && m_strDirectory.back() == '\\')
        m_strDirectory.pop_back();
    while (!m_strDirectory.empty() && m_strDirectory.back() == '/')
        m_strDirectory.pop_back();
}

CQVFileFinder::~CQVFileFinder()
{
    if (m_pImpl) {
        SysFindClose(m_pImpl);
        delete m_pImpl;
    }
}

bool CQVFileFinder::FindNext(CQVFileEntry* entry)
{
    if (!m_bStarted) {
        m_bStarted = true;
        m_pImpl = new (std::nothrow) QVFindImpl;
        if (!m_pImpl) return false;
        SysFindFirst(m_pImpl, m_strDirectory, m_strPattern);
    } else {
        if (!m_pImpl || !m_pImpl->pSys) return false;
        if (!SysFindNext(m_pImpl)) SysFindClose(m_pImpl);
    }
    if (!m_pImpl || !m_pImpl->pSys) return false;

    const QVFindRecord& rec = m_pImpl->rec;
    entry->name = rec.name.c_str();
    entry->flags = 0;
    if (rec.bDirectory) entry->flags |= QVFILE_ENTRY_DIRECTORY;
    if (rec.bLink) entry->flags |= QVFILE_ENTRY_LINK;
    if (rec.name.empty() || rec.name[0] != '.') entry->flags |= QVFILE_ENTRY_NOTDOT;
    entry->size = rec.bDirectory ? 0 : rec.size;
    entry->lastWrite = rec.lastWrite;
    return true;
}

std::string CQVFileFinder::GetFullPath(const CQVFileEntry* entry) const
{
    if (!entry) return std::string();
    return m_strDirectory + "\\" + (entry->name ? entry->name : "");
}

namespace
{

// An empty folder or a bare drive would mean the root of a whole drive.
bool IsRootLike(const std::string& directory)
{
    std::string d = directory;
    while (!d.empty() && (d.back() == '\\' || d.back() == '/'))
        d.pop_back();
    if (d.empty()) return true;
    return d.size() == 2 && d[1] == ':';
}

} // namespace

void DeleteDirectoryContents(const std::string& directory)
{
    if (IsRootLike(directory)) return;
    CQVFileFinder finder(directory, "*.*");
    CQVFileEntry entry;
    while (finder.FindNext(&entry)) {
        if (!entry.IsNotDot()) continue;
        std::string path = finder.GetFullPath(&entry);
        if (entry.IsDirectory()) {
            // A linked folder lives elsewhere: only the link itself goes.
            if (!entry.IsLink()) DeleteDirectoryContents(path);
            SysRemoveDirectory(path);
        } else {
            SysDeleteFile(path);
        }
    }
}

bool FileExists(const std::string& path)
{
    return SysExists(path);
}
bool QVDeleteFile(const std::string& path)
{
    return SysDeleteFile(path);
}
bool QVMoveFile(const std::string& from, const std::string& to)
{
    return SysMoveFile(from, to);
}
bool QVCopyFile(const std::string& from, const std::string& to)
{
    return SysCopyFile(from, to);
}
bool QVReplaceFile(const std::string& from, const std::string& to)
{
    return SysReplaceFile(from, to);
}
