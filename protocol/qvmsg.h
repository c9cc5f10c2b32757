// One controller message: 8-byte little-endian header (16-bit endpoint id,
// 16-bit code, 32-bit body length) and a body of 4-aligned fields.
#pragma once
#include <cstdint>
#include <string>

enum : uint16_t {
    MSG_GET_CHALLENGE = 14,
    MSG_GET_CHALLENGE_REPLY = 15,
    MSG_LOGIN = 27,
    MSG_LOGIN_REPLY = 28,
    MSG_GET_VERSION = 8120,
    MSG_GET_VERSION_REPLY = 8121,
    MSG_GET_VIEWER_EXE = 8130,
    MSG_VIEWER_EXE_FILE = 8131,
    MSG_VIEWER_EXE_FILE2 = 8132,
    MSG_GET_CONFIG_EXE = 8148,
    MSG_CONFIG_EXE_FILE = 8149,
    MSG_FILE_PIECE = 8301,
    MSG_FILE_PIECE2 = 8333,
};

const uint16_t MSG_ID_UNSOLICITED = 0x7FFF; // addressed to every endpoint
const uint32_t CLIENT_REVISION = 1528;
const uint32_t QVMSG_HEADER_SIZE = 8;
const uint32_t QVMSG_MAX_LENGTH = 2000000; // body bytes; the session also caps header+body

class CQVMSG
{
  public:
    // A new outgoing message owning its buffer. A hint above QVMSG_MAX_LENGTH leaves it empty.
    CQVMSG(uint16_t id, uint16_t code, uint32_t sizeHint = 0);
    // A view over a complete received message (header and body) in memory; owns nothing.
    explicit CQVMSG(const void* wire);
    ~CQVMSG();

    CQVMSG* Clone() const; // null when memory runs out

    uint16_t GetId() const { return m_nId; }
    void SetId(uint16_t id);
    uint16_t GetCode() const { return m_nCode; }
    uint32_t GetLength() const { return m_nLength; }
    const uint8_t* GetBody() const;
    void Rewind() { m_nCursor = 0; }
    uint32_t GetCursor() const { return m_nCursor; }
    uint32_t GetWireSize() const { return m_nLength + QVMSG_HEADER_SIZE; }
    // Bytes held by the buffer, header included (0 without a buffer).
    uint32_t GetCapacity() const { return m_nCapacity; }
    bool OwnsBuffer() const { return m_bOwnsBuffer; }
    const uint8_t* GetWireData();
    bool HasReadError() const { return m_bReadError; }
    bool IsValid() const { return !(m_nId == 0xFFFF && m_nCode == 0xFFFF && !m_pBuffer); }

    bool WriteDWord(uint32_t value);
    bool WriteString(const std::string& text);
    bool WriteBlock16(const uint8_t* bytes);

    bool ReadDWord(uint32_t* value = nullptr);
    bool ReadBytes(void* dest, uint32_t n);
    bool ReadString(std::string* text);
    std::string ReadString();
    // Bytes left between the cursor and the end of the body.
    uint32_t Remaining() const { return m_nLength > m_nCursor ? m_nLength - m_nCursor : 0; }

    // Reply code for a request code: plus one, in 16-bit arithmetic.
    static uint16_t ReplyCode(uint16_t code) { return (uint16_t)(code + 1); }

  private:
    CQVMSG(const CQVMSG&) = delete;
    CQVMSG& operator=(const CQVMSG&) = delete;
    bool Reserve(uint32_t bodyBytes);

    uint16_t m_nId;
    uint16_t m_nCode;
    uint32_t m_nLength;
    uint8_t* m_pBuffer;
    uint32_t m_nCapacity;
    uint32_t m_nCursor;
    bool m_bOwnsBuffer;
    bool m_bReadError;
    uint8_t m_Header[QVMSG_HEADER_SIZE]; // wire image of a message without a buffer
};
