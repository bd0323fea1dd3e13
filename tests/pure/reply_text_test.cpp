// The probe's pure pieces: the lossy UTF-8 decoder of the reply, the 1 MiB body store, the
// verdict names and the known addresses' byte order.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "net/probe_text.h"
#include "vendor/vendor_hosts.h"

namespace {

TEST(Utf8Decoding, IllFormedPiecesBecomeReplacements) {
    const std::pair<std::string, std::wstring> table[] = {
        {"plain", L"plain"},
        {"\xC3\xA9", L"\u00E9"},
        {"\xC3", L"\uFFFD"},      // cut after the lead byte
        {"\xA9", L"\uFFFD"},      // a lone continuation byte
        {"\xE2\x82", L"\uFFFD"},  // one maximal piece, one replacement
        {"\xE2\x82x", L"\uFFFDx"},
        {"\xC0\xAF", L"\uFFFD\uFFFD"},                      // overlong
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},            // a surrogate
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xF0\x9F\x98\x80", L"\U0001F600"},
        {"\xFF\xFE", L"\uFFFD\uFFFD"},
    };
    for (const auto& [bytes, text] : table) {
        EXPECT_EQ(WideFromUtf8Lossy(bytes.data(), bytes.size()), text) << bytes;
    }
}

// The store keeps whole characters up to the bound: a character that would straddle it is
// dropped with the rest, whichever of its bytes fell on the bound.
TEST(ReplyBodyStore, CutsOnlyBetweenCharacters) {
    struct Case {
        std::string tail;  // after MaxShownReplyBytes - 3 bytes of 'a'
        size_t kept;       // beyond the 'a's
    };
    const Case cases[] = {
        {"bcd", 3},          {"b\xC3\xA9", 3},     {"bc\xC3\xA9", 2},
        {"\xE2\x82\xAC", 3}, {"b\xE2\x82\xAC", 1}, {"\xF0\x9F\x98\x80", 0},
    };
    for (const auto& c : cases) {
        ReplyBody body;
        const std::string bytes = std::string(MaxShownReplyBytes - 3, 'a') + c.tail;
        body.Append(bytes.data(), bytes.size());
        EXPECT_EQ(body.keptBytes, MaxShownReplyBytes - 3 + c.kept) << c.tail;
        EXPECT_EQ(body.droppedBytes, c.tail.size() - c.kept) << c.tail;
        body.Append("more", 4);  // once dropping, everything after is dropped
        EXPECT_EQ(body.chunks.size(), 1u);
        EXPECT_EQ(body.droppedBytes, c.tail.size() - c.kept + 4);
    }
}

TEST(CertVerdictNames, EveryCode) {
    const std::pair<int, const wchar_t*> table[] = {
        {0, L"unknown"},
        {1, L"error"},
        {2, L"certificate does not meet requirements"},
        {3, L"subject match"},
        {4, L"subject and issuer match"},
        {5, L"certificate thumbprint match"},
        {6, L"-?\?\?-"},
        {-1, L"-?\?\?-"},
    };
    for (const auto& [code, name] : table) {
        EXPECT_STREQ(CertVerdictName(code), name) << code;
    }
}

TEST(KnownAddresses, AreStoredInNetworkOrder) {
    const unsigned char first[4] = {192, 0, 2, 10};
    std::uint32_t stored;
    memcpy(&stored, first, 4);
    EXPECT_EQ(KnownServiceAddresses[0], stored);
    EXPECT_EQ(Ipv4(203, 0, 113, 33), 0x217100CBu);
}

}  // namespace
