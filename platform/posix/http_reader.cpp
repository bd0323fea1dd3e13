#include "http_reader.h"

#include <algorithm>
#include <cstdint>

namespace standin {
namespace {

constexpr uint64_t MaxBodyLength = INT64_MAX;

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// "HTTP/d.d ddd" followed by a blank or the line's end; the status code.
bool ParseStatusLine(const std::string& line, unsigned* status) {
    if (line.size() < 12 || line.compare(0, 5, "HTTP/") != 0 || !IsDigit(line[5]) ||
        line[6] != '.' || !IsDigit(line[7]) || line[8] != ' ' || !IsDigit(line[9]) ||
        !IsDigit(line[10]) || !IsDigit(line[11]) || (line.size() > 12 && line[12] != ' ')) {
        return false;
    }
    *status = static_cast<unsigned>((line[9] - '0') * 100 + (line[10] - '0') * 10 + line[11] - '0');
    return *status >= 100;
}

}  // namespace

bool ParseChunkSize(const std::string& line, uint64_t* size) {
    uint64_t value = 0;
    size_t digits = 0;
    for (; digits < line.size() && HexValue(line[digits]) >= 0; ++digits) {
        const uint64_t digit = static_cast<uint64_t>(HexValue(line[digits]));
        if (value > (MaxBodyLength - digit) / 16) {
            return false;
        }
        value = value * 16 + digit;
    }
    size_t rest = digits;
    while (rest < line.size() && (line[rest] == ' ' || line[rest] == '\t')) {
        ++rest;
    }
    const bool ends = rest == line.size() && rest == digits;
    if (digits == 0 || (!ends && (rest == line.size() || line[rest] != ';'))) {
        return false;
    }
    *size = value;
    return true;
}

bool ParseContentLength(const std::string& value, uint64_t* length) {
    uint64_t number = 0;
    for (char c : value) {
        if (!IsDigit(c)) {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (number > (MaxBodyLength - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    *length = number;
    return !value.empty();
}

void HttpResponseReader::Fail(DWORD error) {
    if (error_ == 0) {
        error_ = error;
    }
    inbound_.clear();
}

void HttpResponseReader::Feed(const char* bytes, size_t length) {
    if (error_ != 0 || bodyDone_) {
        return;
    }
    inbound_.append(bytes, length);
    while (!headDone_ && error_ == 0 && TakeHead()) {
    }
    if (headDone_) {
        DecodeBody();
    }
}

void HttpResponseReader::Close() {
    if (error_ != 0 || bodyDone_) {
        return;
    }
    if (!headDone_) {
        Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);  // closed before the headers
    } else if (framing_ == Framing::UntilClose) {
        bodyDone_ = true;
    } else {
        Fail(ERROR_WINHTTP_CONNECTION_ERROR);  // cut short
    }
}

// One response head (interim or final) off the front of `inbound_`; false when it needs more
// bytes or the head is at fault. The bound is checked the same way whether or not the end of
// the head has arrived, so how the bytes were split does not matter.
bool HttpResponseReader::TakeHead() {
    const size_t end = inbound_.find("\r\n\r\n", headScan_);
    if (end == std::string::npos) {
        if (inbound_.size() > limits_.maxHeaderBytes) {
            Fail(ERROR_WINHTTP_HEADER_SIZE_OVERFLOW);
        } else {
            headScan_ = inbound_.size() >= 3 ? inbound_.size() - 3 : 0;
        }
        return false;
    }
    if (end + 4 > limits_.maxHeaderBytes) {
        Fail(ERROR_WINHTTP_HEADER_SIZE_OVERFLOW);
        return false;
    }
    const std::string head = inbound_.substr(0, end + 2);
    inbound_.erase(0, end + 4);
    headScan_ = 0;
    if (!ParseStatusLine(head.substr(0, head.find("\r\n")), &status_)) {
        Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
        return false;
    }
    if (status_ < 200) {
        if (++interimResponses_ > limits_.maxInterimResponses) {
            Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
            return false;
        }
        return true;
    }
    if (!ReadHeaders(head)) {
        Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
        return false;
    }
    headDone_ = true;
    return true;
}

// The framing of the body from the final response's headers; false on a bad Content-Length.
bool HttpResponseReader::ReadHeaders(const std::string& head) {
    bool chunked = false, hasLength = false;
    uint64_t length = 0;
    for (size_t at = head.find("\r\n") + 2; at < head.size();) {
        const size_t lineEnd = head.find("\r\n", at);
        const std::string line = head.substr(at, lineEnd - at);
        at = lineEnd + 2;
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string name = Lower(Trimmed(line.substr(0, colon)));
        const std::string value = Trimmed(line.substr(colon + 1));
        if (name == "transfer-encoding" && Lower(value).find("chunked") != std::string::npos) {
            chunked = true;
        } else if (name == "content-length") {
            uint64_t parsed = 0;
            if (!ParseContentLength(value, &parsed) || (hasLength && parsed != length)) {
                return false;
            }
            length = parsed;
            hasLength = true;
        }
    }
    if (headRequest_ || status_ == 204 || status_ == 304) {
        framing_ = Framing::None;
    } else if (chunked) {
        framing_ = Framing::Chunked;
    } else if (hasLength) {
        framing_ = Framing::Length;
        remaining_ = length;
    } else {
        framing_ = Framing::UntilClose;
    }
    bodyDone_ = framing_ == Framing::None || (framing_ == Framing::Length && length == 0);
    return true;
}

// Moves what the framing allows from `inbound_` to the body.
void HttpResponseReader::DecodeBody() {
    while (!bodyDone_ && error_ == 0) {
        if (framing_ == Framing::UntilClose) {
            body_ += inbound_;
            inbound_.clear();
            return;
        }
        if (framing_ == Framing::Length ||
            (framing_ == Framing::Chunked && chunkStep_ == ChunkStep::Data)) {
            const size_t take =
                static_cast<size_t>(std::min<uint64_t>(remaining_, inbound_.size()));
            body_.append(inbound_, 0, take);
            inbound_.erase(0, take);
            remaining_ -= take;
            if (remaining_ > 0) {
                return;
            }
            if (framing_ == Framing::Length) {
                bodyDone_ = true;
            } else {
                chunkStep_ = ChunkStep::DataEnd;
            }
        } else if (chunkStep_ == ChunkStep::DataEnd) {
            if (inbound_.empty()) {
                return;
            }
            if (inbound_[0] != '\r' || (inbound_.size() > 1 && inbound_[1] != '\n')) {
                Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
                return;
            }
            if (inbound_.size() < 2) {
                return;
            }
            inbound_.erase(0, 2);
            chunkStep_ = ChunkStep::Size;
        } else if (!TakeChunkLine()) {
            return;
        }
    }
}

// A chunk-size line or a trailer line off the front of `inbound_`; false when it needs more
// bytes or the line is at fault. Bounded like the head: the same whether or not its end came.
bool HttpResponseReader::TakeChunkLine() {
    const bool trailer = chunkStep_ == ChunkStep::Trailer;
    const size_t limit =
        trailer ? limits_.maxHeaderBytes - std::min(trailerBytes_, limits_.maxHeaderBytes)
                : limits_.maxChunkLineBytes;
    const DWORD fault =
        trailer ? ERROR_WINHTTP_HEADER_SIZE_OVERFLOW : ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    const size_t end = inbound_.find("\r\n", lineScan_);
    if (end == std::string::npos) {
        if (inbound_.size() > limit) {
            Fail(fault);
        } else {
            lineScan_ = inbound_.empty() ? 0 : inbound_.size() - 1;
        }
        return false;
    }
    if (end + 2 > limit) {
        Fail(fault);
        return false;
    }
    const std::string line = inbound_.substr(0, end);
    inbound_.erase(0, end + 2);
    lineScan_ = 0;
    if (trailer) {
        trailerBytes_ += end + 2;
        bodyDone_ = line.empty();
        return true;
    }
    uint64_t size = 0;
    if (!ParseChunkSize(line, &size)) {
        Fail(ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
        return false;
    }
    remaining_ = size;
    chunkStep_ = size == 0 ? ChunkStep::Trailer : ChunkStep::Data;
    return true;
}

}  // namespace standin
