// Arbitrary contents of the saved-login file, and of any file the buffered reader
// walks. Reading must never crash, allocate for an absurd length, or hand out
// bytes other than the file's own at the position it reports.
//
// Input layout: byte 0 = number k of reader operations (mod 32), then k operation
// bytes, then the file contents.
//   LOGIN.DAT: whatever was read is written back and read again; the second read
//   must give the same fields (the remember flag as 0 or 1, the cleared fields
//   when it is 0).
//   Reader walk: each operation is ReadInt32, ReadString, Read or ReadExact of up to
//   62 bytes, or a Seek; every success is compared with the contents at the
//   position the reader was at, and Tell must follow.
#include <cstdint>
#include <cstring>
#include <string>

#include "app/loginfile.h"
#include "fuzz_support.h"
#include "util/qvfile.h"
#include "util/qvtypes.h"

namespace
{

void CheckLoginRoundTrip(const qvfuzz::TempFolder& folder, const std::string& path)
{
    LoginData first;
    FUZZ_CHECK(ReadLoginFile(path, first));

    const std::string copy = folder.File("LOGIN2.DAT");
    if (!WriteLoginFile(copy, first)) return; // a full disk is no finding
    LoginData second;
    second.systemName = "stale";
    second.password = "stale";
    second.lastAddress = 0xDEADBEEF;
    second.optionsExpanded = 0xDEADBEEF;
    second.rememberLogin = 0xDEADBEEF;
    second.sizeClass = 0xDEADBEEF;
    FUZZ_CHECK(ReadLoginFile(copy, second));
    const bool remember = first.rememberLogin != 0;
    FUZZ_CHECK(second.systemName == (remember ? first.systemName : std::string()));
    FUZZ_CHECK(second.password == (remember ? first.password : std::string()));
    FUZZ_CHECK(second.lastAddress == (remember ? first.lastAddress : 0u));
    FUZZ_CHECK(second.optionsExpanded == first.optionsExpanded);
    FUZZ_CHECK(second.rememberLogin == (remember ? 1u : 0u));
    FUZZ_CHECK(second.sizeClass == first.sizeClass);
    qvfuzz::RemovePath(copy);
}

// After a failed read the reader may have taken what was left of the file, but
// never moved backwards or past its end.
void Resync(CQVFile& file, uint64_t& pos, size_t size)
{
    const uint64_t now = file.Tell();
    FUZZ_CHECK(now >= pos && (now == pos || now <= size));
    pos = now;
}

void WalkReader(const std::string& path, const uint8_t* ops, size_t nops, const uint8_t* content, size_t size)
{
    CQVFile file(path);
    if (!file.Open(CQVFile::OpenRead, 0)) return;
    FUZZ_CHECK(file.GetSize() == size);
    FUZZ_CHECK(!file.Write("x", 1)); // a file opened for reading takes no bytes

    uint64_t pos = 0;
    uint8_t scratch[64];
    std::string text;
    for (size_t step = 0; step < 256; step++) {
        const uint8_t op = nops ? ops[step % nops] : (uint8_t)(step & 1);
        FUZZ_CHECK(file.Tell() == pos);
        switch (op & 7) {
        case 0:
        case 1: {
            uint32_t v;
            if (file.ReadInt32(&v)) {
                FUZZ_CHECK(pos + 4 <= size && v == GetLE32(content + pos));
                pos += 4;
            } else {
                FUZZ_CHECK(pos + 4 > size);
                Resync(file, pos, size);
            }
            break;
        }
        case 2:
        case 3: {
            if (file.ReadString(&text)) {
                FUZZ_CHECK(pos + 4 <= size);
                const uint32_t stored = GetLE32(content + pos);
                const uint32_t bytes = stored & 0x7FFFFFFFu;
                FUZZ_CHECK(bytes <= size - pos - 4);
                if (stored & 0x80000000u) {
                    FUZZ_CHECK(text.size() == bytes / 2);
                } else {
                    FUZZ_CHECK(text.size() == bytes);
                    FUZZ_CHECK(bytes == 0 || memcmp(text.data(), content + pos + 4, bytes) == 0);
                }
                pos += 4 + (uint64_t)bytes;
            } else {
                Resync(file, pos, size);
            }
            break;
        }
        case 4:
        case 5: {
            const uint32_t n = (uint32_t)(op >> 3) * 2; // 0..62
            const bool ok = (op & 7) == 4 ? file.Read(scratch, n) : file.ReadExact(scratch, n);
            if (ok) {
                FUZZ_CHECK(n == 0 || (pos + n <= size && memcmp(scratch, content + pos, n) == 0));
                pos += n;
            } else {
                FUZZ_CHECK(pos + n > size);
                Resync(file, pos, size);
            }
            break;
        }
        default: {
            // Small signed distances from each origin; a target before the start
            // leaves the reader where it was.
            const int origin = (op >> 3) % 3;
            const int32_t distance =
                (int32_t)(op >> 5) * 3 - 9 + (origin == QVFILE_BEGIN ? (int32_t)(pos & 15) : 0);
            int64_t want = origin == QVFILE_BEGIN     ? distance
                           : origin == QVFILE_CURRENT ? (int64_t)pos + distance
                                                      : (int64_t)size + distance;
            if (want < 0) want = (int64_t)pos;
            const uint32_t got = file.Seek(distance, origin);
            FUZZ_CHECK(got == (uint64_t)want);
            pos = (uint64_t)want;
            break;
        }
        }
    }
    file.Close();
    FUZZ_CHECK(!file.IsOpen() && file.Tell() == 0);
}

} // namespace

extern "C" int QV_FUZZ_ENTRY(const uint8_t* data, size_t size)
{
    static qvfuzz::TempFolder folder("loginfile");
    if (!folder.Ok() || size < 1) return 0;
    const size_t nops = data[0] % 32;
    if (size < 1 + nops) return 0;
    const uint8_t* ops = data + 1;
    const uint8_t* content = ops + nops;
    const size_t contentSize = size - 1 - nops;

    const std::string path = folder.File("LOGIN.DAT");
    if (!qvfuzz::WriteWholeFile(path, content, contentSize)) return 0;
    CheckLoginRoundTrip(folder, path);
    WalkReader(path, ops, nops, content, contentSize);
    qvfuzz::RemovePath(path);
    return 0;
}
