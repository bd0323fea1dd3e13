// The stand-in WinHTTP's response reader on any reply: the same bytes give the same outcome in
// one piece, byte by byte, and split where the input says.
#include <cstdint>
#include <string>

#include "tests/support/http_reading.h"

namespace {

// In pieces of `pieceSize`, or (0) of pseudo-random sizes from `splitSeed`.
HttpReadOutcome Read(const std::string& bytes, const standin::HttpLimits& limits, uint8_t splitSeed,
                     size_t pieceSize) {
    uint32_t state = splitSeed;
    return ReadInPieces(bytes, limits, [&](size_t left) {
        size_t piece = pieceSize;
        if (piece == 0) {
            state = state * 1103515245u + 12345u;
            piece = 1 + (state >> 16) % 17;
        }
        return piece < left ? piece : left;
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    standin::HttpLimits limits;
    if (data[0] & 1) {  // small bounds, so that they are reached
        limits.maxHeaderBytes = 16 + data[0];
        limits.maxChunkLineBytes = 4 + (data[0] >> 4);
        limits.maxInterimResponses = data[0] >> 5;
    }
    const std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
    const HttpReadOutcome whole = Read(bytes, limits, 0, bytes.size() + 1);
    if (!(Read(bytes, limits, 0, 1) == whole) || !(Read(bytes, limits, data[1], 0) == whole)) {
        __builtin_trap();
    }
    return 0;
}
