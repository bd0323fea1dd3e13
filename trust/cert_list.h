// The walker over an encoded certificate list (records of a 4-byte little-endian length and that
// many bytes of DER, laid end to end): pure code, no platform call, so that its bounds are
// checked natively with the sanitizers.
#pragma once

#include <cstdint>

struct CertRecord {
    const unsigned char* der;
    uint32_t length;
};

// The record that starts `*offset` bytes into `list` (of `totalLength` bytes), with `*offset`
// then moved past it. False, leaving both untouched, when no whole record starts there: a null
// list, fewer than 4 bytes left, or a length that runs past the end of the list.
bool NextCertRecord(const unsigned char* list, uint32_t totalLength, uint32_t* offset,
                    CertRecord* record);
