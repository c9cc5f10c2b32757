#include "protocol/qvcode.h"

#include <cstring>

namespace
{

const uint8_t SBOX[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

const uint8_t RCON[10] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};

inline uint8_t XTime(uint8_t b)
{
    return (uint8_t)((b << 1) ^ ((b & 0x80) ? 0x1b : 0));
}

inline uint32_t Load32(const uint8_t* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

inline void Store32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

inline uint32_t Ror8(uint32_t v)
{
    return (v >> 8) | (v << 24);
}

inline uint32_t SubWord(uint32_t w)
{
    return ((uint32_t)SBOX[w >> 24] << 24) | ((uint32_t)SBOX[(w >> 16) & 0xff] << 16) |
           ((uint32_t)SBOX[(w >> 8) & 0xff] << 8) | SBOX[w & 0xff];
}

// Round table: SubBytes and MixColumns of one state byte as a column word
// (2s, s, s, 3s); the other three tables are its byte rotations.
struct RoundTable {
    uint32_t t[4][256];
    RoundTable()
    {
        for (int i = 0; i < 256; i++) {
            uint8_t s = SBOX[i];
            uint8_t s2 = XTime(s);
            uint8_t s3 = (uint8_t)(s2 ^ s);
            uint32_t w = ((uint32_t)s2 << 24) | ((uint32_t)s << 16) | ((uint32_t)s << 8) | s3;
            for (int k = 0; k < 4; k++) {
                t[k][i] = w;
                w = Ror8(w);
            }
        }
    }
};

const RoundTable& Table()
{
    static const RoundTable table;
    return table;
}

} // namespace

CQVCode::CQVCode() : m_bKeyReady(false), m_nKeyLength(0), m_nBlockSize(16), m_nRounds(0)
{
    memset(m_RoundKeys, 0, sizeof(m_RoundKeys));
}

CQVCode::~CQVCode()
{
    // The schedule is derived from the password; do not leave it in freed memory.
    volatile uint8_t* p = &m_RoundKeys[0][0];
    for (size_t i = 0; i < sizeof(m_RoundKeys); i++)
        p[i] = 0;
}

bool CQVCode::MakeKey(const uint8_t* key, int keyLength)
{
    if (!key || (keyLength != 16 && keyLength != 24 && keyLength != 32)) return false;
    const int nk = keyLength / 4;
    const int rounds = nk + 6;
    const int words = 4 * (rounds + 1);
    uint32_t w[60];
    for (int i = 0; i < nk; i++)
        w[i] = Load32(key + 4 * i);
    for (int i = nk; i < words; i++) {
        uint32_t temp = w[i - 1];
        if (i % nk == 0)
            temp = SubWord((temp << 8) | (temp >> 24)) ^ ((uint32_t)RCON[i / nk - 1] << 24);
        else if (nk > 6 && i % nk == 4)
            temp = SubWord(temp);
        w[i] = w[i - nk] ^ temp;
    }
    for (int i = 0; i < words; i++)
        Store32(&m_RoundKeys[i / 4][(i % 4) * 4], w[i]);
    memset(w, 0, sizeof(w));
    m_nKeyLength = keyLength;
    m_nBlockSize = 16;
    m_nRounds = rounds;
    m_bKeyReady = true;
    return true;
}

bool CQVCode::EncryptBlock(const uint8_t* in, uint8_t* out) const
{
    if (!m_bKeyReady || !in || !out) return false;
    const RoundTable& tb = Table();
    const uint32_t(*t)[256] = tb.t;
    uint32_t s0 = Load32(in) ^ Load32(m_RoundKeys[0]);
    uint32_t s1 = Load32(in + 4) ^ Load32(m_RoundKeys[0] + 4);
    uint32_t s2 = Load32(in + 8) ^ Load32(m_RoundKeys[0] + 8);
    uint32_t s3 = Load32(in + 12) ^ Load32(m_RoundKeys[0] + 12);
    for (int r = 1; r < m_nRounds; r++) {
        const uint8_t* rk = m_RoundKeys[r];
        uint32_t t0 =
            t[0][s0 >> 24] ^ t[1][(s1 >> 16) & 0xff] ^ t[2][(s2 >> 8) & 0xff] ^ t[3][s3 & 0xff] ^ Load32(rk);
        uint32_t t1 = t[0][s1 >> 24] ^ t[1][(s2 >> 16) & 0xff] ^ t[2][(s3 >> 8) & 0xff] ^ t[3][s0 & 0xff] ^
                      Load32(rk + 4);
        uint32_t t2 = t[0][s2 >> 24] ^ t[1][(s3 >> 16) & 0xff] ^ t[2][(s0 >> 8) & 0xff] ^ t[3][s1 & 0xff] ^
                      Load32(rk + 8);
        uint32_t t3 = t[0][s3 >> 24] ^ t[1][(s0 >> 16) & 0xff] ^ t[2][(s1 >> 8) & 0xff] ^ t[3][s2 & 0xff] ^
                      Load32(rk + 12);
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    // Last round: no MixColumns.
    const uint8_t* rk = m_RoundKeys[m_nRounds];
    uint32_t o0 = ((uint32_t)SBOX[s0 >> 24] << 24) | ((uint32_t)SBOX[(s1 >> 16) & 0xff] << 16) |
                  ((uint32_t)SBOX[(s2 >> 8) & 0xff] << 8) | SBOX[s3 & 0xff];
    uint32_t o1 = ((uint32_t)SBOX[s1 >> 24] << 24) | ((uint32_t)SBOX[(s2 >> 16) & 0xff] << 16) |
                  ((uint32_t)SBOX[(s3 >> 8) & 0xff] << 8) | SBOX[s0 & 0xff];
    uint32_t o2 = ((uint32_t)SBOX[s2 >> 24] << 24) | ((uint32_t)SBOX[(s3 >> 16) & 0xff] << 16) |
                  ((uint32_t)SBOX[(s0 >> 8) & 0xff] << 8) | SBOX[s1 & 0xff];
    uint32_t o3 = ((uint32_t)SBOX[s3 >> 24] << 24) | ((uint32_t)SBOX[(s0 >> 16) & 0xff] << 16) |
                  ((uint32_t)SBOX[(s1 >> 8) & 0xff] << 8) | SBOX[s2 & 0xff];
    // Written only after the whole block is computed, so in and out may overlap.
    Store32(out, o0 ^ Load32(rk));
    Store32(out + 4, o1 ^ Load32(rk + 4));
    Store32(out + 8, o2 ^ Load32(rk + 8));
    Store32(out + 12, o3 ^ Load32(rk + 12));
    return true;
}

std::vector<uint8_t> PadTo16(const std::string& text, uint8_t padByte)
{
    size_t size = (text.size() + 15) / 16 * 16;
    if (size == 0) size = 16;
    std::vector<uint8_t> out(size, padByte);
    if (!text.empty()) memcpy(out.data(), text.data(), text.size());
    return out;
}
