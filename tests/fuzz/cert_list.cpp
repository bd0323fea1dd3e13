// The certificate-list walker on any bytes: it never reads past the list, every record it yields
// lies inside the list right after its length, the offset only grows, and it stops at the first
// place where no whole record starts.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "trust/cert_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes: ASan sees any read past the list's end.
    std::vector<unsigned char> list(data, data + size);
    const unsigned char* start = list.empty() ? nullptr : list.data();
    const uint32_t total = static_cast<uint32_t>(list.size());
    uint32_t offset = 0;
    CertRecord record = {};
    while (NextCertRecord(start, total, &offset, &record)) {
        if (record.der < start + 4 || record.der + record.length != start + offset ||
            offset > total) {
            __builtin_trap();
        }
    }
    // Where it stopped, fewer than 4 bytes are left or the length runs past the end.
    if (offset + 4 <= total) {
        const uint32_t length = list[offset] | list[offset + 1] << 8 | list[offset + 2] << 16 |
                                static_cast<uint32_t>(list[offset + 3]) << 24;
        if (length <= total - offset - 4) {
            __builtin_trap();
        }
    }
    return 0;
}
