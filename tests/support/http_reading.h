// Feeding the stand-in's response reader a reply in pieces and collecting what it decided: shared
// by its unit test and its fuzz target, which compare the outcomes of different splits.
#pragma once

#include <string>

#include "http_reader.h"

struct HttpReadOutcome {
    bool headDone = false;
    unsigned status = 0;
    std::string body;
    DWORD error = 0;
    bool bodyDone = false;

    bool operator==(const HttpReadOutcome& other) const {
        return headDone == other.headDone && status == other.status && body == other.body &&
               error == other.error && bodyDone == other.bodyDone;
    }
};

// Feeds `bytes` in pieces whose sizes `nextPiece(bytesLeft)` chooses (at least 1, at most what
// is left), then the connection's end.
template <typename NextPiece>
HttpReadOutcome ReadInPieces(const std::string& bytes, const standin::HttpLimits& limits,
                             NextPiece nextPiece) {
    standin::HttpResponseReader reader(false, limits);
    HttpReadOutcome outcome;
    for (size_t at = 0; at < bytes.size();) {
        const size_t piece = nextPiece(bytes.size() - at);
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
