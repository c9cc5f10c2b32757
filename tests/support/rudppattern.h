// Writes the position pattern of the reliable-stream peer (sim/rudppeer) into a
// stream, for the tests and the benchmarks that check every byte at the far end.
#pragma once
#include <cstdint>
#include <vector>

#include "remote/rudpclient.h"
#include "sim/rudppeer/rudppeer.h"

// The first total bytes of the pattern, handed to Send in pieces of chunk bytes;
// false as soon as the stream refuses one.
inline bool SendPattern(CRUDPClient* stream, uint64_t total, size_t chunk)
{
    std::vector<uint8_t> piece(chunk);
    for (uint64_t done = 0; done < total;) {
        size_t n = (size_t)(total - done < piece.size() ? total - done : piece.size());
        PatternFill(done, piece.data(), n);
        if (!stream->Send(piece.data(), (int)n)) return false;
        done += n;
    }
    return true;
}
