// What the trust tests share: the test certificates (tests/trust/data) and the carried ones
// (trust/certs) as bytes, encoded certificate lists made of them, roots put into the machine's
// stores, and a report log whose console text a test reads.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/machine_fixture.h"
#include "platform/win32.h"

// The DER bytes of tests/trust/data/<name>.der, or of trust/certs/<name>.der.
std::vector<BYTE> TestCertificate(const std::string& name);
std::vector<BYTE> CarriedCertificate(const std::string& name);

// An encoded certificate list: each certificate with its 4-byte little-endian length.
std::vector<BYTE> EncodedList(const std::vector<std::vector<BYTE>>& certificates);

// Upper-case hexadecimal SHA-1 of the bytes.
std::string Sha1Hex(const BYTE* bytes, size_t length);

class TrustTest : public MachineTest {
  protected:
    void SetUp() override;

    // A fixed clock inside every test certificate's validity (and the carried server's).
    static SYSTEMTIME InsideValidity() { return SYSTEMTIME{2020, 6, 1, 1, 12, 0, 0, 0}; }

    // Puts the certificate into the Root store of the local machine or the current user.
    void TrustRoot(bool localMachine, const std::vector<BYTE>& der);

    // Opens the report log and captures the console from then on.
    void StartReport();
    // The console text since StartReport.
    std::string ConsoleText();

  private:
    std::unique_ptr<CapturedStreams> streams_;
};
