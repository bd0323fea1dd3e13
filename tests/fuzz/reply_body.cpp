// The probe's reply handling: the UTF-8 decoder on any bytes (never more characters than bytes,
// and a text decoded without a replacement character encodes back to exactly the input),
// and the 1 MiB body store on any run of reads: what is kept is a prefix of what came, cut only
// between characters, and nothing is lost from the count.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/probe_text.h"

namespace {

void CheckDecoder(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::wstring wide = WideFromUtf8Lossy(bytes, size);
    if (wide.size() > size) {
        __builtin_trap();
    }
    std::string encoded;
    for (size_t i = 0; i < wide.size(); ++i) {
        uint32_t c = static_cast<uint32_t>(wide[i]);
        if (c == 0xFFFD) {
            return;  // something was replaced: no round trip to check
        }
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(wide[++i]) - 0xDC00);
        }
        if (c < 0x80) {
            encoded += static_cast<char>(c);
        } else if (c < 0x800) {
            encoded += static_cast<char>(0xC0 | c >> 6);
            encoded += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            encoded += static_cast<char>(0xE0 | c >> 12);
            encoded += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            encoded += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            encoded += static_cast<char>(0xF0 | c >> 18);
            encoded += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            encoded += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            encoded += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    if (encoded != std::string(bytes, size)) {
        __builtin_trap();
    }
}

// Reads made of the input: each a 2-byte length (times 32, so the store's bound is reached)
// filled by repeating the whole input, until a little more than the bound has come.
void CheckBodyStore(const uint8_t* data, size_t size) {
    if (size < 3) {
        return;
    }
    ReplyBody body;
    std::string all;
    size_t at = 0;
    while (at + 2 <= size && all.size() <= MaxShownReplyBytes + 65536) {
        const size_t length = (data[at] | (data[at + 1] << 8)) * 32u;
        at += 2;
        std::string read;
        read.reserve(length);
        while (read.size() < length) {
            const size_t piece = size < length - read.size() ? size : length - read.size();
            read.append(reinterpret_cast<const char*>(data), piece);
        }
        all += read;
        body.Append(read.data(), read.size());
    }
    std::string kept;
    for (const std::string& chunk : body.chunks) {
        kept += chunk;
    }
    if (kept.size() != body.keptBytes || body.keptBytes > MaxShownReplyBytes ||
        body.keptBytes + body.droppedBytes != all.size() ||
        all.compare(0, kept.size(), kept) != 0) {
        __builtin_trap();
    }
    // Cut at most a character's start bytes short of the bound, never inside a character.
    if (body.droppedBytes > 0) {
        if (body.keptBytes + 3 < MaxShownReplyBytes) {
            __builtin_trap();
        }
        const unsigned char next = static_cast<unsigned char>(all[kept.size()]);
        if (body.keptBytes < MaxShownReplyBytes && (next & 0xC0) == 0x80) {
            __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    if (data[0] & 1) {
        CheckBodyStore(data + 1, size - 1);
    } else {
        CheckDecoder(data + 1, size - 1);
    }
    return 0;
}
