#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "protocol/qvcode.h"

namespace
{

// A second AES, written plainly and differently on purpose: byte-wise state in
// rows and columns, S-box derived from the field inverse at run time, MixColumns
// by general field multiplication. Agreement with CQVCode is the evidence.
struct SlowAes {
    const uint8_t* sbox = Sbox();
    uint8_t w[240];
    int rounds = 0;

    static uint8_t Mul(uint8_t a, uint8_t b)
    {
        uint8_t r = 0;
        while (b) {
            if (b & 1) r ^= a;
            a = (uint8_t)((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
            b >>= 1;
        }
        return r;
    }
    static uint8_t Rotl(uint8_t x, int n) { return (uint8_t)((x << n) | (x >> (8 - n))); }

    static const uint8_t* Sbox()
    {
        static uint8_t table[256];
        static bool ready = false;
        if (!ready) {
            for (int a = 0; a < 256; a++) {
                uint8_t inv = 0; // a^254 is the inverse of a (0 stays 0)
                if (a) {
                    inv = 1;
                    for (int i = 0; i < 254; i++)
                        inv = Mul(inv, (uint8_t)a);
                }
                table[a] = (uint8_t)(inv ^ Rotl(inv, 1) ^ Rotl(inv, 2) ^ Rotl(inv, 3) ^ Rotl(inv, 4) ^ 0x63);
            }
            ready = true;
        }
        return table;
    }

    explicit SlowAes(const uint8_t* key, int len)
    {
        int nk = len / 4;
        rounds = nk + 6;
        memcpy(w, key, len);
        uint8_t rcon = 1;
        for (int i = nk; i < 4 * (rounds + 1); i++) {
            uint8_t t[4];
            memcpy(t, w + 4 * (i - 1), 4);
            if (i % nk == 0) {
                uint8_t first = t[0];
                t[0] = (uint8_t)(sbox[t[1]] ^ rcon);
                t[1] = sbox[t[2]];
                t[2] = sbox[t[3]];
                t[3] = sbox[first];
                rcon = Mul(rcon, 2);
            } else if (nk == 8 && i % nk == 4) {
                for (int k = 0; k < 4; k++)
                    t[k] = sbox[t[k]];
            }
            for (int k = 0; k < 4; k++)
                w[4 * i + k] = (uint8_t)(w[4 * (i - nk) + k] ^ t[k]);
        }
    }

    void Encrypt(const uint8_t* in, uint8_t* out) const
    {
        uint8_t st[4][4]; // [row][column]
        for (int c = 0; c < 4; c++)
            for (int r = 0; r < 4; r++)
                st[r][c] = (uint8_t)(in[4 * c + r] ^ w[4 * c + r]);
        for (int round = 1; round <= rounds; round++) {
            for (int r = 0; r < 4; r++)
                for (int c = 0; c < 4; c++)
                    st[r][c] = sbox[st[r][c]];
            for (int r = 1; r < 4; r++) {
                uint8_t row[4];
                for (int c = 0; c < 4; c++)
                    row[c] = st[r][(c + r) % 4];
                memcpy(st[r], row, 4);
            }
            if (round != rounds) {
                for (int c = 0; c < 4; c++) {
                    uint8_t a0 = st[0][c], a1 = st[1][c], a2 = st[2][c], a3 = st[3][c];
                    st[0][c] = (uint8_t)(Mul(a0, 2) ^ Mul(a1, 3) ^ a2 ^ a3);
                    st[1][c] = (uint8_t)(a0 ^ Mul(a1, 2) ^ Mul(a2, 3) ^ a3);
                    st[2][c] = (uint8_t)(a0 ^ a1 ^ Mul(a2, 2) ^ Mul(a3, 3));
                    st[3][c] = (uint8_t)(Mul(a0, 3) ^ a1 ^ a2 ^ Mul(a3, 2));
                }
            }
            for (int c = 0; c < 4; c++)
                for (int r = 0; r < 4; r++)
                    st[r][c] ^= w[16 * round + 4 * c + r];
        }
        for (int c = 0; c < 4; c++)
            for (int r = 0; r < 4; r++)
                out[4 * c + r] = st[r][c];
    }
};

std::vector<uint8_t> Hex(const char* h)
{
    std::vector<uint8_t> out;
    for (; h[0] && h[1]; h += 2)
        out.push_back((uint8_t)std::stoi(std::string(h, 2), nullptr, 16));
    return out;
}

std::vector<uint8_t> Seq(int n)
{
    std::vector<uint8_t> out;
    for (int i = 0; i < n; i++)
        out.push_back((uint8_t)i);
    return out;
}

} // namespace

TEST(QvCode, AppendixCVectorsForAllKeyLengths)
{
    const std::vector<uint8_t> plain = Hex("00112233445566778899aabbccddeeff");
    struct {
        int len;
        int rounds;
        const char* cipher;
    } cases[] = {
        {16, 10, "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {24, 12, "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {32, 14, "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto& c : cases) {
        CQVCode code;
        ASSERT_TRUE(code.MakeKey(Seq(c.len).data(), c.len));
        EXPECT_EQ(code.GetRounds(), c.rounds);
        uint8_t out[16];
        ASSERT_TRUE(code.EncryptBlock(plain.data(), out));
        EXPECT_EQ(std::vector<uint8_t>(out, out + 16), Hex(c.cipher)) << c.len;
        // In place gives the same.
        uint8_t buf[16];
        memcpy(buf, plain.data(), 16);
        ASSERT_TRUE(code.EncryptBlock(buf, buf));
        EXPECT_EQ(0, memcmp(buf, out, 16));
    }
    // The test's own cipher must agree with the same vectors, or the comparison below proves nothing.
    SlowAes slow(Seq(32).data(), 32);
    uint8_t out[16];
    slow.Encrypt(plain.data(), out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), Hex("8ea2b7ca516745bfeafc49904b496089"));
}

TEST(QvCode, AgreesWithIndependentCipherOnRandomKeysAndBlocks)
{
    std::mt19937 rng(20240611);
    const int lengths[] = {16, 24, 32};
    for (int i = 0; i < 3000; i++) {
        int len = lengths[i % 3];
        uint8_t key[32], in[16], ours[16], theirs[16];
        for (uint8_t& b : key)
            b = (uint8_t)rng();
        for (uint8_t& b : in)
            b = (uint8_t)rng();
        CQVCode code;
        ASSERT_TRUE(code.MakeKey(key, len));
        ASSERT_TRUE(code.EncryptBlock(in, ours));
        SlowAes(key, len).Encrypt(in, theirs);
        ASSERT_EQ(0, memcmp(ours, theirs, 16)) << "case " << i << " key length " << len;
    }
}

TEST(QvCode, RefusesMissingOrOddKeysAndEncryptsNothingWithoutOne)
{
    CQVCode code;
    uint8_t out[16];
    memset(out, 0x5A, sizeof out);
    const uint8_t in[16] = {1};
    EXPECT_FALSE(code.EncryptBlock(in, out));
    for (uint8_t b : out)
        ASSERT_EQ(b, 0x5A);

    std::vector<uint8_t> key = Seq(48);
    EXPECT_FALSE(code.MakeKey(nullptr, 16));
    for (int len : {0, -16, 8, 15, 17, 20, 31, 33, 48})
        EXPECT_FALSE(code.MakeKey(key.data(), len)) << len;
    EXPECT_FALSE(code.EncryptBlock(in, out));
    EXPECT_EQ(out[0], 0x5A);

    // A refused key leaves the previous schedule in use.
    ASSERT_TRUE(code.MakeKey(key.data(), 24));
    EXPECT_EQ(code.GetRounds(), 12);
    uint8_t first[16], second[16];
    ASSERT_TRUE(code.EncryptBlock(in, first));
    EXPECT_FALSE(code.MakeKey(key.data(), 40));
    EXPECT_EQ(code.GetRounds(), 12);
    ASSERT_TRUE(code.EncryptBlock(in, second));
    EXPECT_EQ(0, memcmp(first, second, 16));
}

TEST(QvCode, PadTo16RoundsUpWithAtLeastOneBlock)
{
    EXPECT_EQ(PadTo16("", 0xAB), std::vector<uint8_t>(16, 0xAB));
    std::string sixteen = "0123456789abcdef";
    EXPECT_EQ(PadTo16(sixteen, 0), std::vector<uint8_t>(sixteen.begin(), sixteen.end()));
    std::vector<uint8_t> p = PadTo16(sixteen + "g", 0);
    ASSERT_EQ(p.size(), 32u);
    EXPECT_EQ(p[16], 'g');
    for (size_t i = 17; i < 32; i++)
        EXPECT_EQ(p[i], 0);
}

// The login answers the challenge by encrypting it, zero-padded, under the
// zero-padded password.
TEST(QvCode, LoginResponseFromPaddedPasswordAndChallenge)
{
    struct {
        std::string password;
        size_t keyLen;
        std::string challenge;
    } cases[] = {
        {"", 16, "5FJ2k"},
        {"0123456789ABCDEF", 16, "x"},
        {"0123456789ABCDEFG", 32, "a challenge longer than sixteen"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> key = PadTo16(c.password, 0);
        ASSERT_EQ(key.size(), c.keyLen);
        std::vector<uint8_t> input = PadTo16(c.challenge, 0);
        CQVCode code;
        ASSERT_TRUE(code.MakeKey(key.data(), (int)key.size()));
        uint8_t response[16];
        ASSERT_TRUE(code.EncryptBlock(input.data(), response));

        uint8_t plainKey[32] = {0}, block[16] = {0}, expected[16];
        memcpy(plainKey, c.password.data(), c.password.size());
        memcpy(block, c.challenge.data(), std::min<size_t>(16, c.challenge.size()));
        SlowAes(plainKey, (int)c.keyLen).Encrypt(block, expected);
        EXPECT_EQ(0, memcmp(response, expected, 16)) << c.password;
    }
}
