#include "protocol/qvmsg.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "util/qvtext.h"
#include "util/qvtypes.h"

namespace
{

const uint32_t GROWTH_STEP = 4096;

// Rounds up to the next multiple of 4; callers keep n far below 2^32 - 3.
inline uint32_t Align4(uint32_t n)
{
    return (n + 3u) & ~3u;
}

void WriteHeader(uint8_t* p, uint16_t id, uint16_t code, uint32_t length)
{
    PutLE16(p, id);
    PutLE16(p + 2, code);
    PutLE32(p + 4, length);
}

} // namespace

CQVMSG::CQVMSG(uint16_t id, uint16_t code, uint32_t sizeHint)
    : m_nId(id), m_nCode(code), m_nLength(0), m_pBuffer(nullptr), m_nCapacity(0), m_nCursor(0),
      m_bOwnsBuffer(true), m_bReadError(false)
{
    WriteHeader(m_Header, m_nId, m_nCode, 0);
    if (sizeHint > QVMSG_MAX_LENGTH) return;
    // The hinted length stands until the first write; the reserved bytes are
    // zeroed, so a message sent before any write carries no stale memory.
    if (Reserve(sizeHint)) m_nLength = sizeHint;
}

CQVMSG::CQVMSG(const void* wire)
    : m_nId(0xFFFF), m_nCode(0xFFFF), m_nLength(0), m_pBuffer(nullptr), m_nCapacity(0), m_nCursor(0),
      m_bOwnsBuffer(false), m_bReadError(false)
{
    const uint8_t* p = static_cast<const uint8_t*>(wire);
    if (p) {
        uint32_t length = GetLE32(p + 4);
        if (length <= QVMSG_MAX_LENGTH) {
            m_nId = GetLE16(p);
            m_nCode = GetLE16(p + 2);
            m_nLength = length;
            // A view only ever writes its header back when the id really changes
            // (SetId), so read-only memory stays untouched by parsing.
            m_pBuffer = const_cast<uint8_t*>(p);
            m_nCapacity = length + QVMSG_HEADER_SIZE;
        }
    }
    WriteHeader(m_Header, m_nId, m_nCode, m_nLength);
}

CQVMSG::~CQVMSG()
{
    if (m_bOwnsBuffer) free(m_pBuffer);
}

CQVMSG* CQVMSG::Clone() const
{
    CQVMSG* copy = new (std::nothrow) CQVMSG(m_nId, m_nCode, QVMSG_MAX_LENGTH + 1);
    if (!copy) return nullptr;
    if (!m_pBuffer) {
        // Keeps an invalid message invalid and an empty one empty.
        copy->m_nLength = m_nLength;
        WriteHeader(copy->m_Header, m_nId, m_nCode, m_nLength);
        return copy;
    }
    if (!copy->Reserve(m_nLength)) {
        delete copy;
        return nullptr;
    }
    memcpy(copy->m_pBuffer + QVMSG_HEADER_SIZE, m_pBuffer + QVMSG_HEADER_SIZE, m_nLength);
    copy->m_nLength = m_nLength;
    WriteHeader(copy->m_pBuffer, m_nId, m_nCode, m_nLength);
    WriteHeader(copy->m_Header, m_nId, m_nCode, m_nLength);
    return copy;
}

void CQVMSG::SetId(uint16_t id)
{
    if (!m_pBuffer) return;
    m_nId = id;
    if (m_bOwnsBuffer || GetLE16(m_pBuffer) != id) PutLE16(m_pBuffer, id);
    PutLE16(m_Header, id);
}

const uint8_t* CQVMSG::GetBody() const
{
    return m_pBuffer ? m_pBuffer + QVMSG_HEADER_SIZE : nullptr;
}

const uint8_t* CQVMSG::GetWireData()
{
    WriteHeader(m_Header, m_nId, m_nCode, m_nLength);
    if (!m_pBuffer) return m_Header;
    if (m_bOwnsBuffer) {
        PutLE16(m_pBuffer, m_nId);
        PutLE32(m_pBuffer + 4, m_nLength);
    } else {
        // A view's header already holds these values unless the id was changed.
        if (GetLE16(m_pBuffer) != m_nId) PutLE16(m_pBuffer, m_nId);
        if (GetLE32(m_pBuffer + 4) != m_nLength) PutLE32(m_pBuffer + 4, m_nLength);
    }
    return m_pBuffer;
}

bool CQVMSG::Reserve(uint32_t bodyBytes)
{
    // Memory that the message does not own (a view over a receive buffer) is
    // never grown or written; and no body may exceed the wire limit.
    if (!m_bOwnsBuffer || bodyBytes > QVMSG_MAX_LENGTH) return false;
    uint32_t needed = bodyBytes + QVMSG_HEADER_SIZE;
    if (m_pBuffer && needed <= m_nCapacity) return true;
    uint32_t capacity = needed / GROWTH_STEP * GROWTH_STEP + GROWTH_STEP;
    if (!m_pBuffer) {
        uint8_t* fresh = static_cast<uint8_t*>(malloc(capacity));
        if (!fresh) return false;
        memset(fresh, 0, capacity);
        WriteHeader(fresh, m_nId, m_nCode, m_nLength);
        m_pBuffer = fresh;
    } else {
        uint8_t* grown = static_cast<uint8_t*>(realloc(m_pBuffer, capacity));
        if (!grown) return false; // the old buffer and its contents stay as they were
        memset(grown + m_nCapacity, 0, capacity - m_nCapacity);
        m_pBuffer = grown;
    }
    m_nCapacity = capacity;
    return true;
}

bool CQVMSG::WriteDWord(uint32_t value)
{
    if (m_nCursor > QVMSG_MAX_LENGTH - 4 || !Reserve(m_nCursor + 4)) return false;
    PutLE32(m_pBuffer + QVMSG_HEADER_SIZE + m_nCursor, value);
    m_nCursor += 4;
    m_nLength = m_nCursor;
    return true;
}

bool CQVMSG::WriteString(const std::string& text)
{
    if (text.size() > QVMSG_MAX_LENGTH) return false;
    uint32_t len = (uint32_t)text.size();
    uint32_t padded = Align4(len);
    if (m_nCursor > QVMSG_MAX_LENGTH || padded + 4 > QVMSG_MAX_LENGTH - m_nCursor) return false;
    if (!Reserve(m_nCursor + 4 + padded)) return false;
    uint8_t* p = m_pBuffer + QVMSG_HEADER_SIZE + m_nCursor;
    PutLE32(p, len);
    if (len) memcpy(p + 4, text.data(), len);
    memset(p + 4 + len, 0, padded - len);
    m_nCursor += 4 + padded;
    m_nLength = m_nCursor;
    return true;
}

bool CQVMSG::WriteBlock16(const uint8_t* bytes)
{
    if (!bytes || m_nCursor > QVMSG_MAX_LENGTH - 16 || !Reserve(m_nCursor + 16)) return false;
    memcpy(m_pBuffer + QVMSG_HEADER_SIZE + m_nCursor, bytes, 16);
    m_nCursor += 16;
    m_nLength = m_nCursor;
    return true;
}

bool CQVMSG::ReadDWord(uint32_t* value)
{
    if (Remaining() < 4) {
        m_bReadError = true;
        return false;
    }
    uint32_t v = GetLE32(m_pBuffer + QVMSG_HEADER_SIZE + m_nCursor);
    if (value) *value = v;
    m_nCursor += 4;
    return true;
}

bool CQVMSG::ReadBytes(void* dest, uint32_t n)
{
    if (Remaining() < n) {
        m_bReadError = true;
        return false;
    }
    if (dest && n) memcpy(dest, m_pBuffer + QVMSG_HEADER_SIZE + m_nCursor, n);
    // Skips the padding to the next field, but never beyond the body's end.
    uint32_t step = Align4(n);
    m_nCursor = step > m_nLength - m_nCursor ? m_nLength : m_nCursor + step;
    return true;
}

bool CQVMSG::ReadString(std::string* text)
{
    if (m_bReadError) return false;
    m_bReadError = true;
    if (Remaining() < 4) return false;
    const uint8_t* p = m_pBuffer + QVMSG_HEADER_SIZE + m_nCursor;
    uint32_t word = GetLE32(p);
    uint32_t bytes = word & 0x7FFFFFFFu;
    // A length that runs past the body is a broken field: fail like the other
    // readers instead of reading beyond the message.
    if (bytes > Remaining() - 4) return false;
    if (text) {
        if (word & 0x80000000u)
            *text = Utf16ToNarrow(p + 4, bytes / 2);
        else
            text->assign(reinterpret_cast<const char*>(p + 4), bytes);
    }
    uint32_t step = 4 + Align4(bytes);
    m_nCursor = step > m_nLength - m_nCursor ? m_nLength : m_nCursor + step;
    m_bReadError = false;
    return true;
}

std::string CQVMSG::ReadString()
{
    std::string text;
    if (!ReadString(&text)) text.clear();
    return text;
}
