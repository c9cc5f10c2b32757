// The login's response encoding: AES (FIPS-197) encryption of one block.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class CQVCode
{
  public:
    CQVCode();
    virtual ~CQVCode();
    // Key of 16, 24 or 32 bytes; anything else is refused and nothing changes.
    bool MakeKey(const uint8_t* key, int keyLength);
    // false without a key (out untouched).
    bool EncryptBlock(const uint8_t* in, uint8_t* out) const;
    int GetRounds() const { return m_nRounds; }

  private:
    bool m_bKeyReady;
    int m_nKeyLength;
    int m_nBlockSize;
    int m_nRounds;
    uint8_t m_RoundKeys[15][16];
};

// The text's bytes followed by padByte up to the smallest multiple of 16 not below
// the text's length, and at least 16 bytes.
std::vector<uint8_t> PadTo16(const std::string& text, uint8_t padByte);
