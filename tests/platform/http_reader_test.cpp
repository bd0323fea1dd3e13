// The stand-in WinHTTP's response reader: as strict as WinHTTP on chunk sizes and lengths,
// bounded on what is not body, and the same outcome however the connection splits the bytes.
#include "http_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/http_reading.h"

namespace {

using standin::HttpLimits;
using standin::HttpResponseReader;

using Outcome = HttpReadOutcome;

// Feeds `bytes` in pieces of `pieceSize` (0: in one piece), then the connection's end.
Outcome Read(const std::string& bytes, size_t pieceSize = 0, HttpLimits limits = HttpLimits()) {
    return ReadInPieces(bytes, limits, [pieceSize](size_t left) {
        return pieceSize == 0 ? left : std::min(pieceSize, left);
    });
}

const std::string ChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
const DWORD Invalid = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
const DWORD Overflow = ERROR_WINHTTP_HEADER_SIZE_OVERFLOW;
const DWORD Cut = ERROR_WINHTTP_CONNECTION_ERROR;

struct ReplyCase {
    const char* name;
    std::string bytes;
    std::string body;  // handed out, also before a fault
    DWORD error;
};

TEST(HttpResponseReader, RepliesGiveTheSameOutcomeInAnyPieces) {
    const ReplyCase cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "hello", 0},
        {"length with extra", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhello", "he", 0},
        {"until close", "HTTP/1.0 200 OK\r\n\r\nto the end", "to the end", 0},
        {"chunked", ChunkedHead + "4;ext=1\r\nWiki\r\n5 ; x\r\npedia\r\n0\r\nT: x\r\n\r\n",
         "Wikipedia", 0},
        {"leading zeros", ChunkedHead + "0005\r\nabcde\r\n0\r\n\r\n", "abcde", 0},
        {"interim first",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", "x", 0},
        {"no content", "HTTP/1.1 204 No Content\r\n\r\nignored", "", 0},
        {"0x prefix", ChunkedHead + "3\r\nabc\r\n0x5\r\nhello\r\n0\r\n\r\n", "abc", Invalid},
        {"plus sign", ChunkedHead + "3\r\nabc\r\n+5\r\nhello\r\n0\r\n\r\n", "abc", Invalid},
        {"vertical tab minus", ChunkedHead + "3\r\nabc\r\n\v-1\r\nhello\r\n", "abc", Invalid},
        {"leading blank", ChunkedHead + " 5\r\nhello\r\n0\r\n\r\n", "", Invalid},
        {"trailing blank", ChunkedHead + "5 \r\nhello\r\n0\r\n\r\n", "", Invalid},
        {"empty size", ChunkedHead + "\r\nhello\r\n", "", Invalid},
        {"2^64-1", ChunkedHead + "2\r\nab\r\nFFFFFFFFFFFFFFFF\r\nx", "ab", Invalid},
        {"2^63", ChunkedHead + "8000000000000000\r\nx", "", Invalid},
        {"2^63-1 cut", ChunkedHead + "7FFFFFFFFFFFFFFF\r\nxyz", "xyz", Cut},
        {"no line end after data", ChunkedHead + "3\r\nabcX\r\n0\r\n\r\n", "abc", Invalid},
        {"length overflow", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\nx", "",
         Invalid},
        {"length 2^63", "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775808\r\n\r\nx", "",
         Invalid},
        {"length sign", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\nhello", "", Invalid},
        {"length hex", "HTTP/1.1 200 OK\r\nContent-Length: 0x5\r\n\r\nhello", "", Invalid},
        {"length empty", "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\nhello", "", Invalid},
        {"two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", "",
         Invalid},
        {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort", "short", Cut},
        {"chunked cut", ChunkedHead + "5\r\nab", "ab", Cut},
        {"not http", "SSH-2.0-nonsense\r\n\r\n", "", Invalid},
        {"bad status", "HTTP/1.1 2x0 OK\r\n\r\n", "", Invalid},
        {"status 099", "HTTP/1.1 099 Odd\r\n\r\n", "", Invalid},
        {"closed in head", "HTTP/1.1 200 OK\r\n", "", Invalid},
    };
    for (const auto& c : cases) {
        const Outcome whole = Read(c.bytes);
        EXPECT_EQ(whole.body, c.body) << c.name;
        EXPECT_EQ(whole.error, c.error) << c.name;
        for (size_t piece : {1, 2, 3, 7}) {
            EXPECT_TRUE(Read(c.bytes, piece) == whole) << c.name << " in pieces of " << piece;
        }
    }
}

TEST(HttpResponseReader, InterimResponsesAreBoundedAsWinHttpBoundsThem) {
    std::string tenInterim;
    for (int i = 0; i < 10; ++i) {
        tenInterim += "HTTP/1.1 100 Continue\r\n\r\n";
    }
    const std::string final = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    EXPECT_EQ(Read(tenInterim + final).body, "ok");
    const Outcome eleven = Read(tenInterim + "HTTP/1.1 102 Processing\r\n\r\n" + final);
    EXPECT_FALSE(eleven.headDone);
    EXPECT_EQ(eleven.error, Invalid);
}

TEST(HttpResponseReader, HeadersAndTrailersAreBounded) {
    HttpLimits limits;
    limits.maxHeaderBytes = 64;
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n";
    const std::string fits = head + "X: " + std::string(64 - head.size() - 7, 'a') + "\r\n\r\nok";
    EXPECT_EQ(Read(fits, 0, limits).body, "ok");
    EXPECT_EQ(Read(fits, 1, limits).body, "ok");
    const std::string over = head + "X: " + std::string(64 - head.size() - 6, 'a') + "\r\n\r\nok";
    for (size_t piece : {0, 1, 5}) {
        EXPECT_EQ(Read(over, piece, limits).error, Overflow);
        EXPECT_FALSE(Read(over, piece, limits).headDone);
    }
    // An endless head stops at the bound, as endless trailers do.
    std::string endless = "HTTP/1.1 200 OK\r\n" + std::string(100000, 'h');
    EXPECT_EQ(Read(endless, 4096, limits).error, Overflow);

    std::string trailers = ChunkedHead + "2\r\nab\r\n0\r\n";
    for (int i = 0; i < 8; ++i) {
        trailers += "T: 12345\r\n";  // 10 bytes each
    }
    Outcome bounded = Read(trailers + "\r\n", 3, limits);
    EXPECT_EQ(bounded.body, "ab");
    EXPECT_EQ(bounded.error, Overflow);
    limits.maxHeaderBytes = 82;  // eight trailer lines and the empty one
    EXPECT_EQ(Read(trailers + "\r\n", 3, limits).error, 0u);
    EXPECT_TRUE(Read(trailers + "\r\n", 3, limits).bodyDone);
}

TEST(HttpResponseReader, ChunkLinesAreBounded) {
    HttpLimits limits;
    limits.maxChunkLineBytes = 16;
    EXPECT_EQ(Read(ChunkedHead + "00000000000005\r\nhello\r\n0\r\n\r\n", 0, limits).body, "hello");
    const std::string longLine = ChunkedHead + "000000000000005\r\nhello\r\n0\r\n\r\n";
    EXPECT_EQ(Read(longLine, 0, limits).error, Invalid);
    EXPECT_EQ(Read(longLine, 1, limits).error, Invalid);
}

TEST(HttpResponseReader, ParsersRefuseWhatWinHttpRefuses) {
    uint64_t value = 0;
    EXPECT_TRUE(standin::ParseChunkSize("7fffffffffffffff", &value));
    EXPECT_EQ(value, 0x7fffffffffffffffULL);
    EXPECT_TRUE(standin::ParseChunkSize("a;name=value", &value));
    EXPECT_EQ(value, 10u);
    for (const char* refused : {"", "g", "-1", "0x1", "1 2", "1\t", "8000000000000000"}) {
        EXPECT_FALSE(standin::ParseChunkSize(refused, &value)) << refused;
    }
    EXPECT_TRUE(standin::ParseContentLength("9223372036854775807", &value));
    EXPECT_EQ(value, 9223372036854775807ULL);
    for (const char* refused : {"", " 1", "1a", "-0", "9223372036854775808"}) {
        EXPECT_FALSE(standin::ParseContentLength(refused, &value)) << refused;
    }
}

}  // namespace
