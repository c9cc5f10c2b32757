// Arbitrary bytes as a received message: the parser must never read outside the
// message, never move the cursor past the body, and fail reads in a defined way.
//
// Input layout: byte 0 = number k of operation bytes (mod 32), then k operation
// bytes, then the message (header and body). The header's length is fitted to
// the bytes actually present, unless it is above the wire limit (which must give
// the invalid message without touching the body).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "protocol/qvmsg.h"
#include "util/qvtypes.h"

#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond)) __builtin_trap();                                                                       \
    } while (0)

namespace
{

void Exercise(CQVMSG& m, const uint8_t* ops, size_t nops)
{
    uint8_t scratch[256];
    std::string text;
    for (int step = 0; step < 1024; step++) {
        uint8_t op = nops ? ops[step % nops] : (uint8_t)step;
        uint32_t before = m.GetCursor();
        bool errorBefore = m.HasReadError();
        bool ok = false;
        switch (op & 7) {
        case 0:
        case 1: {
            uint32_t v;
            ok = m.ReadDWord((op & 1) ? &v : nullptr);
            break;
        }
        case 2:
        case 3: {
            uint32_t n = op >> 3; // 0..31
            ok = m.ReadBytes(scratch, n);
            CHECK(!ok || m.GetCursor() >= before + n || m.GetCursor() == m.GetLength());
            break;
        }
        case 4: {
            ok = m.ReadString(&text);
            if (errorBefore) CHECK(!ok);
            if (ok) CHECK(text.size() <= m.GetLength() && !m.HasReadError());
            break;
        }
        case 5: {
            ok = m.ReadBytes(nullptr, ((uint32_t)op << 24) | m.Remaining()); // huge counts
            break;
        }
        case 6: {
            CQVMSG* copy = m.Clone();
            CHECK(copy);
            CHECK(copy->GetWireSize() == m.GetWireSize());
            CHECK(memcmp(copy->GetWireData(), m.GetWireData(), m.GetWireSize()) == 0);
            std::string a;
            while (copy->ReadString(&a)) {
            }
            delete copy;
            ok = true;
            break;
        }
        default:
            m.Rewind();
            ok = true;
            break;
        }
        CHECK(m.GetCursor() <= m.GetLength());
        if (!ok) {
            CHECK(m.GetCursor() == before);
            CHECK(m.HasReadError());
            if (m.Remaining() == 0 && (op & 7) != 5) return; // nothing more to read: done
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    size_t nops = data[0] % 32;
    if (size < 1 + nops + QVMSG_HEADER_SIZE) return 0;
    const uint8_t* ops = data + 1;
    const uint8_t* wire = ops + nops;
    size_t wireSize = size - 1 - nops;

    // An exact-size copy, so that any read past the message hits the sanitizer.
    uint8_t* copy = static_cast<uint8_t*>(malloc(wireSize));
    memcpy(copy, wire, wireSize);
    uint32_t announced = GetLE32(copy + 4);
    if (announced <= QVMSG_MAX_LENGTH) {
        size_t body = wireSize - QVMSG_HEADER_SIZE;
        if (body > QVMSG_MAX_LENGTH) body = QVMSG_MAX_LENGTH;
        if (announced > body) PutLE32(copy + 4, (uint32_t)body);
    }

    {
        CQVMSG view(copy);
        if (announced > QVMSG_MAX_LENGTH) {
            CHECK(!view.IsValid() && view.GetLength() == 0 && !view.GetBody());
        } else {
            CHECK(view.IsValid() && view.GetLength() == GetLE32(copy + 4));
        }
        CHECK(!view.WriteDWord(1)); // views never write
        Exercise(view, ops, nops);
    }
    free(copy);
    return 0;
}
