#include "cert_list.h"

namespace {

const uint32_t RecordHeaderLength = 4;

uint32_t ReadLittleEndian32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

}  // namespace

bool NextCertRecord(const unsigned char* list, uint32_t totalLength, uint32_t* offset,
                    CertRecord* record) {
    // The lists are constants, but a length that runs past the end would read beyond them:
    // every record must fit in what remains.
    if (list == nullptr || *offset > totalLength) {
        return false;
    }
    const uint32_t remaining = totalLength - *offset;
    if (remaining < RecordHeaderLength) {
        return false;
    }
    const unsigned char* header = list + *offset;
    const uint32_t length = ReadLittleEndian32(header);
    if (length > remaining - RecordHeaderLength) {
        return false;
    }
    record->der = header + RecordHeaderLength;
    record->length = length;
    *offset += RecordHeaderLength + length;
    return true;
}
