// The stand-in WinHTTP's response reader: takes the bytes of one HTTP/1.1 response apart as they
// arrive, in whatever pieces the connection delivers them, and is as strict as WinHTTP on what a
// server may send. No I/O of its own, so the same bytes give the same outcome however they are
// split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "win32_api.h"

namespace standin {

// WinHTTP's bounds on what a server sends besides the body (its defaults: 64 KiB of headers per
// response, WINHTTP_OPTION_MAX_RESPONSE_HEADER_SIZE; at most 10 interim responses,
// WINHTTP_OPTION_MAX_HTTP_STATUS_CONTINUE). Trailers count against the header bound. A chunk-size
// line has no documented bound; 4 KiB is ours.
struct HttpLimits {
    size_t maxHeaderBytes = 64 * 1024;
    unsigned maxInterimResponses = 10;
    size_t maxChunkLineBytes = 4096;
};

class HttpResponseReader {
  public:
    explicit HttpResponseReader(bool headRequest = false, HttpLimits limits = HttpLimits())
        : headRequest_(headRequest), limits_(limits) {}

    // Takes apart what the connection delivered; does nothing once an error is set.
    void Feed(const char* bytes, size_t length);
    // The connection has ended: ends a body that runs to the close, or sets the error of a
    // response cut short.
    void Close();

    // The final (non-interim) response's status line and headers are complete.
    bool HeadDone() const { return headDone_; }
    unsigned Status() const { return status_; }
    bool BodyDone() const { return bodyDone_; }
    // The first fault of the response (ERROR_WINHTTP_INVALID_SERVER_RESPONSE,
    // ERROR_WINHTTP_HEADER_SIZE_OVERFLOW, ERROR_WINHTTP_CONNECTION_ERROR), 0 while there is
    // none. Body decoded before the fault stays in Body() to be handed out first.
    DWORD Error() const { return error_; }
    // Decoded body bytes not yet handed out; the caller takes them from the front.
    std::string& Body() { return body_; }

  private:
    enum class Framing { None, Length, Chunked, UntilClose };
    enum class ChunkStep { Size, Data, DataEnd, Trailer };

    void Fail(DWORD error);
    bool TakeHead();
    bool ReadHeaders(const std::string& head);
    void DecodeBody();
    bool TakeChunkLine();

    bool headRequest_;
    HttpLimits limits_;
    std::string inbound_;  // bytes not yet taken apart
    size_t headScan_ = 0;  // where the search for the head's end goes on
    size_t lineScan_ = 0;  // where the search for a chunk line's end goes on
    std::string body_;
    bool headDone_ = false;
    bool bodyDone_ = false;
    unsigned status_ = 0;
    unsigned interimResponses_ = 0;
    Framing framing_ = Framing::None;
    ChunkStep chunkStep_ = ChunkStep::Size;
    uint64_t remaining_ = 0;  // of the Content-Length or of the current chunk
    size_t trailerBytes_ = 0;
    DWORD error_ = 0;
};

// The value of a chunk-size line (hex digits, then nothing or an extension after ';'), or false;
// sizes beyond 2^63 - 1 are refused.
bool ParseChunkSize(const std::string& line, uint64_t* size);
// The value of a Content-Length (decimal digits only, at most 2^63 - 1), or false.
bool ParseContentLength(const std::string& value, uint64_t* length);

}  // namespace standin
