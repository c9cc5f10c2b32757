// Arbitrary bytes as the discovery server's answer, with the lengths a collecting
// loop could hand over (the real size, a shorter one, a negative one). Only an
// answer command inside 1024 bytes decodes; the address is terminated, at most 63
// bytes and the very bytes of the answer's string item; a decoded answer encoded
// and decoded again gives the same fields. The query built from a name taken
// from the input has the layout of two string items.
//
// Input layout: byte 0 picks the length, the next byte the length of a system
// name taken from the rest, then the message. The message is copied to a buffer
// of exactly its size so that any read past it is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "remote/relaypacket.h"
#include "util/qvtypes.h"

namespace
{

void CheckQuery(const std::string& name)
{
    const std::vector<uint8_t> q = BuildDServerQuery(name);
    const size_t item = 4 + ((name.size() + 3) & ~(size_t)3);
    FUZZ_CHECK(q.size() == DSERVER_HEADER + 2 * item);
    FUZZ_CHECK(GetLE16(&q[0]) == 0 && GetLE16(&q[2]) == DSERVER_QUERY);
    FUZZ_CHECK(GetLE32(&q[4]) == 2 * item);
    for (size_t at = DSERVER_HEADER; at < q.size(); at += item) {
        FUZZ_CHECK(GetLE32(&q[at]) == name.size());
        FUZZ_CHECK(memcmp(&q[at + 4], name.data(), name.size()) == 0);
        for (size_t i = 4 + name.size(); i < item; i++)
            FUZZ_CHECK(q[at + i] == 0);
    }
}

void CheckDecoded(const uint8_t* wire, int length, const DServerAnswer& a)
{
    FUZZ_CHECK(length >= DSERVER_HEADER);
    FUZZ_CHECK(GetLE16(wire + 2) == DSERVER_ANSWER);
    const uint32_t payload = GetLE32(wire + 4);
    FUZZ_CHECK(DServerMessageFits(payload));
    const size_t address = strnlen(a.szAddress, sizeof(a.szAddress));
    FUZZ_CHECK(address <= (size_t)DSERVER_MAX_ADDRESS);
    for (size_t i = address; i < sizeof(a.szAddress); i++)
        FUZZ_CHECK(a.szAddress[i] == 0);

    const size_t end =
        DSERVER_HEADER + (payload < (uint32_t)(length - DSERVER_HEADER) ? payload : length - DSERVER_HEADER);
    FUZZ_CHECK(a.bFound == (end > 8 ? wire[8] : 0));
    FUZZ_CHECK(a.bLicensed == (end > 9 ? wire[9] : 0));
    if (address > 0) {
        // The item stands after the two flags and lies inside the payload whole.
        const uint32_t count = GetLE32(wire + 10);
        FUZZ_CHECK(count <= (uint32_t)DSERVER_MAX_ADDRESS && address <= count);
        FUZZ_CHECK(14 + ((count + 3) & ~3u) <= end);
        FUZZ_CHECK(memcmp(a.szAddress, wire + 14, address) == 0);
    }

    // Encoded again (the address up to its first NUL) and decoded: the same fields.
    const std::vector<uint8_t> again = EncodeDServerAnswer(a);
    FUZZ_CHECK(again.size() <= (size_t)DSERVER_MAX_MESSAGE);
    DServerAnswer back;
    FUZZ_CHECK(DecodeDServerAnswer(again.data(), (int)again.size(), &back));
    FUZZ_CHECK(back.bFound == a.bFound && back.bLicensed == a.bLicensed && back.wPort == a.wPort);
    FUZZ_CHECK(back.bOpen == a.bOpen && back.bRelay == a.bRelay);
    FUZZ_CHECK(strcmp(back.szAddress, a.szAddress) == 0);
}

} // namespace

extern "C" int QV_FUZZ_ENTRY(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 4096) return 0;
    qvfuzz::Reader in(data, size);
    const uint8_t pick = in.Byte();
    const std::vector<uint8_t> nameBytes = in.Bytes(in.Byte());
    CheckQuery(std::string(nameBytes.begin(), nameBytes.end()));

    const size_t wireSize = in.Left();
    uint8_t* wire = static_cast<uint8_t*>(malloc(wireSize ? wireSize : 1));
    if (!wire) return 0;
    if (wireSize) memcpy(wire, in.Here(), wireSize);
    int length;
    if (pick < 128)
        length = (int)wireSize;
    else if (pick < 192)
        length = (int)((size_t)(pick - 128) < wireSize ? (size_t)(pick - 128) : wireSize);
    else
        length = -(int)(pick - 191);

    DServerAnswer answer;
    memset(&answer, 0x5A, sizeof(answer));
    const bool ok = DecodeDServerAnswer(wire, length, &answer);
    const bool expected = length >= DSERVER_HEADER && GetLE16(wire + 2) == DSERVER_ANSWER &&
                          DServerMessageFits(GetLE32(wire + 4));
    FUZZ_CHECK(ok == expected);
    if (ok) CheckDecoded(wire, length, answer);
    if (!ok) FUZZ_CHECK(answer.szAddress[0] == 0 && answer.wPort == 0);
    FUZZ_CHECK(!DecodeDServerAnswer(wire, length, nullptr));
    free(wire);
    return 0;
}
