#include "net/hosts_search.h"

#include <cstring>

#include "vendor/vendor_hosts.h"

namespace {

static_assert(IsLowerAscii(ServiceHost) && IsLowerAscii(VendorDomainCom) &&
                  IsLowerAscii(VendorDomainEu),
              "the hosts file is searched in lower case for the names as written");

constexpr auto ServiceHostKey = Narrow(ServiceHost);
constexpr auto VendorDomainComKey = Narrow(VendorDomainCom);
constexpr auto VendorDomainEuKey = Narrow(VendorDomainEu);

}  // namespace

void LowerAsciiInPlace(char* text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'A' && *text <= 'Z') {
            *text = static_cast<char>(*text - 'A' + 'a');
        }
    }
}

VendorNamesFound FindVendorNames(const char* lowerText) {
    VendorNamesFound found;
    found.serviceHost = strstr(lowerText, ServiceHostKey.text) != nullptr;
    found.vendorDomainCom = strstr(lowerText, VendorDomainComKey.text) != nullptr;
    found.vendorDomainEu = strstr(lowerText, VendorDomainEuKey.text) != nullptr;
    return found;
}
