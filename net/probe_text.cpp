#include "net/probe_text.h"

namespace {

// The length of the longest prefix of `length` bytes that does not end inside a UTF-8 sequence.
size_t Utf8Boundary(const char* bytes, size_t length) {
    size_t start = length;
    for (int back = 0; back < 3 && start > 0; ++back) {
        const unsigned char byte = static_cast<unsigned char>(bytes[start - 1]);
        if ((byte & 0xC0) != 0x80) {
            const size_t need = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            return length - (start - 1) >= need ? length : start - 1;
        }
        --start;
    }
    return length;
}

void AppendCodePoint(std::wstring& text, uint32_t codePoint) {
    if (sizeof(wchar_t) == 2 && codePoint >= 0x10000) {
        codePoint -= 0x10000;
        text += static_cast<wchar_t>(0xD800 + (codePoint >> 10));
        text += static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF));
    } else {
        text += static_cast<wchar_t>(codePoint);
    }
}

}  // namespace

void ReplyBody::Append(const char* bytes, size_t length) {
    size_t keep = 0;
    if (droppedBytes == 0) {
        keep = MaxShownReplyBytes - keptBytes;
        keep = length <= keep ? length : Utf8Boundary(bytes, keep);
    }
    if (keep > 0 || (length == 0 && droppedBytes == 0)) {
        chunks.emplace_back(bytes, keep);
        keptBytes += keep;
    }
    droppedBytes += length - keep;
}

const wchar_t* CertVerdictName(int verdict) {
    switch (verdict) {
        case CertUnknown:
            return L"unknown";
        case CertError:
            return L"error";
        case CertNotMeeting:
            return L"certificate does not meet requirements";
        case CertSubjectMatch:
            return L"subject match";
        case CertSubjectIssuerMatch:
            return L"subject and issuer match";
        case CertThumbprintMatch:
            return L"certificate thumbprint match";
        default:
            return L"-?\?\?-";
    }
}

std::wstring WideFromUtf8Lossy(const char* bytes, size_t length) {
    const unsigned char* text = reinterpret_cast<const unsigned char*>(bytes);
    std::wstring wide;
    wide.reserve(length);
    size_t i = 0;
    while (i < length) {
        const unsigned char lead = text[i];
        if (lead < 0x80) {
            wide += static_cast<wchar_t>(lead);
            ++i;
            continue;
        }
        // Sequence length and the range of the second byte that keeps it well formed.
        int need = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        uint32_t codePoint = lead & (0x3F >> need);
        size_t next = i + 1;
        bool wellFormed = need > 0;
        for (int k = 0; wellFormed && k < need; ++k, ++next) {
            const unsigned char byte = next < length ? text[next] : 0;
            wellFormed =
                next < length && byte >= (k == 0 ? low : 0x80) && byte <= (k == 0 ? high : 0xBF);
            if (!wellFormed) {
                break;
            }
            codePoint = (codePoint << 6) | (byte & 0x3F);
        }
        if (!wellFormed) {
            wide += static_cast<wchar_t>(0xFFFD);
            i = need > 0 ? next : i + 1;
            continue;
        }
        AppendCodePoint(wide, codePoint);
        i = next;
    }
    return wide;
}
