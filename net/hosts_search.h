// The search of a hosts file's text for the vendor's names, which makes no platform call: built
// natively too, for the sanitizers and the fuzz target.
#pragma once

// Which of the vendor's names the text holds: anywhere, in any letter case of A-Z, also inside
// a comment or another name (a hosts file line is not parsed).
struct VendorNamesFound {
    bool serviceHost = false;
    bool vendorDomainCom = false;
    bool vendorDomainEu = false;

    bool Any() const { return serviceHost || vendorDomainCom || vendorDomainEu; }
};

// Only A-Z fold, as the classic locale does; bytes from 0x80 up stay as they are. `text` ends at
// its first zero byte.
void LowerAsciiInPlace(char* text);

// Searches text already lowered by LowerAsciiInPlace.
VendorNamesFound FindVendorNames(const char* lowerText);
