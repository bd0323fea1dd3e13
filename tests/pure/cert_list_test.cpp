// The certificate-list walker: it hands out each whole record and refuses, without reading past
// the list, any record whose header or bytes do not fit in what remains.
#include "trust/cert_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

std::vector<unsigned char> Record(const std::vector<unsigned char>& der) {
    std::vector<unsigned char> record;
    const uint32_t length = static_cast<uint32_t>(der.size());
    for (int shift = 0; shift < 32; shift += 8) {
        record.push_back(static_cast<unsigned char>(length >> shift));
    }
    record.insert(record.end(), der.begin(), der.end());
    return record;
}

std::vector<unsigned char> Join(std::vector<std::vector<unsigned char>> parts) {
    std::vector<unsigned char> joined;
    for (const auto& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

// The list in a block of exactly its size, so that the sanitizer sees any read past its end.
struct ExactList {
    explicit ExactList(const std::vector<unsigned char>& bytes)
        : size(static_cast<uint32_t>(bytes.size())), data(new unsigned char[bytes.size()]) {
        std::copy(bytes.begin(), bytes.end(), data.get());
    }
    uint32_t size;
    std::unique_ptr<unsigned char[]> data;
};

// Every record the walker hands out, in order, until it refuses one or reaches the end.
std::vector<std::vector<unsigned char>> Walk(const unsigned char* list, uint32_t size,
                                             bool* reachedEnd) {
    std::vector<std::vector<unsigned char>> records;
    uint32_t offset = 0;
    CertRecord record = {nullptr, 0};
    while (offset < size || (records.empty() && size == 0)) {
        const uint32_t before = offset;
        CertRecord untouched = {reinterpret_cast<const unsigned char*>(&before), 77};
        record = untouched;
        if (!NextCertRecord(list, size, &offset, &record)) {
            EXPECT_EQ(offset, before);
            EXPECT_EQ(record.der, untouched.der);
            EXPECT_EQ(record.length, 77u);
            *reachedEnd = false;
            return records;
        }
        EXPECT_EQ(offset, before + 4 + record.length);
        records.emplace_back(record.der, record.der + record.length);
    }
    *reachedEnd = true;
    return records;
}

TEST(CertListWalker, HandsOutEveryRecordOfAWholeList) {
    const std::vector<unsigned char> first = {0x30, 0x03, 0x02, 0x01, 0x05};
    const std::vector<unsigned char> second(300, 0xAB);
    const std::vector<unsigned char> empty;
    const ExactList list(Join({Record(first), Record(second), Record(empty)}));
    bool reachedEnd = false;
    const auto records = Walk(list.data.get(), list.size, &reachedEnd);
    EXPECT_TRUE(reachedEnd);
    EXPECT_EQ(records, (std::vector<std::vector<unsigned char>>{first, second, empty}));
}

TEST(CertListWalker, RefusesRecordsThatDoNotFit) {
    const std::vector<unsigned char> der(947, 0x30);
    std::vector<unsigned char> longRecord = Record(der);
    longRecord[0] += 1;  // claims one byte more than there is
    std::vector<unsigned char> secondTooLong = Join({Record(der), Record(der)});
    secondTooLong.resize(secondTooLong.size() - 10);
    const struct {
        const char* name;
        std::vector<unsigned char> list;
        size_t walked;  // records handed out before the refusal
    } cases[] = {
        {"length one past the end", longRecord, 0},
        {"second record cut short", secondTooLong, 1},
        {"header of a second record cut short", Join({Record(der), {0x10, 0x00}}), 1},
        {"three bytes of a header after a record", Join({Record(der), {0, 0, 0}}), 1},
        {"length near 4 GiB", {0xFF, 0xFF, 0xFF, 0xFF, 0x30}, 0},
        {"length that wraps the offset", {0xFD, 0xFF, 0xFF, 0xFF, 0x30, 0x30, 0x30}, 0},
        {"shorter than a header", {0x05, 0x00}, 0},
        {"no bytes at all", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ExactList list(c.list);
        bool reachedEnd = true;
        EXPECT_EQ(Walk(list.data.get(), list.size, &reachedEnd).size(), c.walked);
        EXPECT_FALSE(reachedEnd);
    }
}

TEST(CertListWalker, RefusesANullListAndAnOffsetPastTheEnd) {
    uint32_t offset = 0;
    CertRecord record = {nullptr, 0};
    EXPECT_FALSE(NextCertRecord(nullptr, 0, &offset, &record));
    EXPECT_FALSE(NextCertRecord(nullptr, 8, &offset, &record));
    EXPECT_EQ(offset, 0u);

    const ExactList list(Record({0x30, 0x00}));
    offset = list.size + 1;
    EXPECT_FALSE(NextCertRecord(list.data.get(), list.size, &offset, &record));
    EXPECT_EQ(offset, list.size + 1);
    offset = list.size;
    EXPECT_FALSE(NextCertRecord(list.data.get(), list.size, &offset, &record));
}

}  // namespace
