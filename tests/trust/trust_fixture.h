// What the trust tests share: the test certificates (tests/trust/data) and the carried ones
// (trust/certs) as bytes, encoded certificate lists made of them, roots put into the machine's
// real Root stores for one test, and a report log whose console text a test reads.
#pragma once

#include "platform/win32.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/windows/faults.h"
#include "support/windows/scratch.h"

// The DER bytes of tests/trust/data/<name>.der, or of trust/certs/<name>.der.
std::vector<BYTE> TestCertificate(const std::string& name);
std::vector<BYTE> CarriedCertificate(const std::string& name);

// An encoded certificate list: each certificate with its 4-byte little-endian length.
std::vector<BYTE> EncodedList(const std::vector<std::vector<BYTE>>& certificates);

// Upper-case hexadecimal SHA-1 of the bytes (the certificate's thumbprint for DER).
std::string Sha1Hex(const BYTE* bytes, size_t length);

// Whether the system store `name` of the local machine or the current user holds the
// certificate with this thumbprint.
bool StoreHolds(bool localMachine, const wchar_t* name, const std::vector<BYTE>& der);

class TrustTest : public testing::Test {
  protected:
    void TearDown() override;

    // Puts the certificate into the Root store of the local machine or the current user, until
    // the test ends (a root that was there before stays).
    void TrustRoot(bool localMachine, const std::vector<BYTE>& der);
    // Takes the certificate out of that Root store when the test ends, unless it is there now.
    void ForgetRootAfterTest(bool localMachine, const std::vector<BYTE>& der);
    // Takes back every root this test added.
    void UntrustRoots();

    // Opens the report log in a folder of the test's own and captures the console from then on.
    void StartReport();
    // The console text since StartReport.
    std::string ConsoleText();
    // Closes the report log and stops the capture.
    void EndReport();

    ImportFaults faults_;
    ScratchFolder folder_;

  private:
    struct AddedRoot {
        bool localMachine;
        std::vector<BYTE> der;
    };
    std::vector<AddedRoot> added_;
    std::unique_ptr<CapturedStreams> streams_;
};
