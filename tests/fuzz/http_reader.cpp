// The stand-in WinHTTP's response reader on any reply: the same bytes give the same outcome in
// one piece, byte by byte, and split where the input says.
#include <cstdint>
#include <string>

#include "http_reader.h"

namespace {

struct Outcome {
    bool headDone;
    unsigned status;
    std::string body;
    DWORD error;
    bool bodyDone;

    bool operator!=(const Outcome& o) const {
        return headDone != o.headDone || status != o.status || body != o.body || error != o.error ||
               bodyDone != o.bodyDone;
    }
};

Outcome Read(const std::string& bytes, const standin::HttpLimits& limits, uint8_t splitSeed,
             size_t pieceSize) {
    standin::HttpResponseReader reader(false, limits);
    Outcome outcome{};
    size_t at = 0;
    uint32_t state = splitSeed;
    while (at < bytes.size()) {
        size_t piece = pieceSize;
        if (piece == 0) {  // pseudo-random pieces
            state = state * 1103515245u + 12345u;
            piece = 1 + (state >> 16) % 17;
        }
        piece = piece < bytes.size() - at ? piece : bytes.size() - at;
        reader.Feed(bytes.data() + at, piece);
        at += piece;
        outcome.body += reader.Body();
        reader.Body().clear();
    }
    reader.Close();
    outcome.body += reader.Body();
    outcome.headDone = reader.HeadDone();
    outcome.status = reader.Status();
    outcome.error = reader.Error();
    outcome.bodyDone = reader.BodyDone();
    return outcome;
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
    const Outcome whole = Read(bytes, limits, 0, bytes.size() + 1);
    if (Read(bytes, limits, 0, 1) != whole || Read(bytes, limits, data[1], 0) != whole) {
        __builtin_trap();
    }
    return 0;
}
