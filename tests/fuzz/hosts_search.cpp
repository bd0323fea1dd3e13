// The hosts file search on any text: lowering folds A-Z alone and keeps every other byte and the
// length, and a vendor name is found exactly when it stands in the text up to its first zero
// byte, letters compared without case.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "net/hosts_search.h"

namespace {

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool Holds(const std::string& text, const char* name) {
    return text.find(name) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input and its terminator, as the test reads a file: ASan sees any
    // read past it.
    std::string text(reinterpret_cast<const char*>(data), size);
    const std::string shown(text.c_str());
    const std::string expected = LowerAscii(shown);
    LowerAsciiInPlace(&text[0]);
    if (std::string(text.c_str()) != expected || text.size() != size) {
        __builtin_trap();
    }
    const VendorNamesFound found = FindVendorNames(text.c_str());
    if (found.serviceHost != Holds(expected, "service.tolv.com") ||
        found.vendorDomainCom != Holds(expected, "tolv.com") ||
        found.vendorDomainEu != Holds(expected, "tolv.eu") ||
        found.Any() != (found.serviceHost || found.vendorDomainCom || found.vendorDomainEu)) {
        __builtin_trap();
    }
    return 0;
}
