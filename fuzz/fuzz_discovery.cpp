// Arbitrary datagrams as discovery answers, with the lengths a receive could
// report (negative ones included). Only a 40-byte answer decodes; a decoded name
// is always terminated inside its field; encoding a decoded answer gives back the
// datagram's bytes except what follows the name's end, which comes back as zeros.
//
// Input layout: byte 0 picks the length handed to the decoder (the real size, a
// shorter one or a negative one), the rest is the datagram. The datagram is copied
// to a buffer of exactly its size so that any read past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "protocol/discovery.h"
#include "util/qvtypes.h"

namespace
{

void CheckDecoded(const uint8_t* wire, const SYSTEM_ANSWER& a)
{
    FUZZ_CHECK(a.dwType == GetLE32(wire));
    FUZZ_CHECK(memcmp(&a.dwAddress, wire + 4, 4) == 0);
    FUZZ_CHECK(a.wPort == GetLE16(wire + 8));
    FUZZ_CHECK(a.bStatus == wire[10] && a.bFlags == wire[11]);
    size_t nameLength = 0;
    while (nameLength < sizeof(a.szName) && a.szName[nameLength])
        nameLength++;
    FUZZ_CHECK(nameLength < sizeof(a.szName));
    FUZZ_CHECK(memcmp(a.szName, wire + 12, nameLength) == 0);

    uint8_t again[SYSTEM_ANSWER_SIZE];
    EncodeSystemAnswer(a, again);
    FUZZ_CHECK(memcmp(again, wire, 12 + nameLength) == 0);
    for (size_t i = 12 + nameLength; i < (size_t)SYSTEM_ANSWER_SIZE; i++)
        FUZZ_CHECK(again[i] == 0);

    SYSTEM_ANSWER back;
    FUZZ_CHECK(DecodeSystemAnswer(again, SYSTEM_ANSWER_SIZE, &back));
    FUZZ_CHECK(back.dwType == a.dwType && back.dwAddress == a.dwAddress && back.wPort == a.wPort);
    FUZZ_CHECK(strcmp(back.szName, a.szName) == 0);
}

} // namespace

extern "C" int QV_FUZZ_ENTRY(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t pick = data[0];
    const size_t wireSize = size - 1;
    uint8_t* wire = static_cast<uint8_t*>(malloc(wireSize ? wireSize : 1));
    if (!wire) return 0;
    if (wireSize) memcpy(wire, data + 1, wireSize);

    int length;
    if (pick < 128)
        length = (int)(wireSize > 0x7FFFFFFF ? 0x7FFFFFFF : wireSize);
    else if (pick < 192)
        length = (int)((pick - 128) < (int)wireSize ? (pick - 128) : (int)wireSize);
    else
        length = -(int)(pick - 191);

    SYSTEM_ANSWER answer;
    memset(&answer, 0x5A, sizeof(answer));
    const bool ok = DecodeSystemAnswer(wire, length, &answer);
    FUZZ_CHECK(ok == (length == SYSTEM_ANSWER_SIZE));
    if (ok) CheckDecoded(wire, answer);
    FUZZ_CHECK(!DecodeSystemAnswer(nullptr, length, &answer));
    FUZZ_CHECK(!DecodeSystemAnswer(wire, length, nullptr));

    // The address helper on the datagram's first words as address and mask.
    if (wireSize >= 8) {
        uint32_t address = GetLE32(wire), mask = GetLE32(wire + 4);
        uint32_t broadcast = SubnetBroadcastAddress(address, mask);
        if (address == 0 || mask == 0 || mask == 0xFFFFFFFFu) {
            FUZZ_CHECK(broadcast == 0);
        } else {
            FUZZ_CHECK((broadcast & mask) == (address & mask));
            FUZZ_CHECK((broadcast | mask) == 0xFFFFFFFFu);
        }
    }
    free(wire);
    return 0;
}
