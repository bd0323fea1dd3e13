// The handle verifier, after Application Verifier's Handles layer: the fault layer's interceptors
// record each handle the code under test is handed (files, finds, keys, stores, chains, providers,
// hashes, WinHTTP handles, address lists, NT handles, certificate contexts) and forget it when the
// code closes it. A handle opened during a test and still held at its end fails that test with
// one line naming the call that opened it; closing a handle the code does not hold (twice, or one
// of the test's own) fails the test at the close. Calls made while the fault layer is paused are
// a fixture's own: recorded, so that a later close balances, but never failed.
#pragma once

#include <cstdint>

#include <gtest/gtest.h>

namespace handle_verifier {

// What closes a handle: handles of one kind are closed by the same call(s).
enum class Kind {
    Kernel,  // CloseHandle, NtClose: files, tokens, NT file handles
    Find,
    RegistryKey,
    CertificateStore,
    CertificateChain,
    ChainEngine,
    CertificateContext,
    CryptProvider,
    CryptHash,
    WinHttp,
    AddressList,
    Sid,
};

void Opened(Kind kind, const void* value, const char* call, const char* what);
void Closed(Kind kind, const void* value, const char* call);

// The handles opened since the current test began and not closed, each failed with its line;
// they are then forgotten. Run at the end of each test.
void CheckLeaks();
// Forgets every handle recorded so far, leaks and all: for the verifier's own tests.
void Forget();
// The number of handles the code under test holds.
size_t Held();

// A test that takes a handle from the code under test and closes it itself, or hands the code a
// handle of its own to close, says so with these.
void TakenByTest(Kind kind, const void* value);
void GivenByTest(Kind kind, const void* value, const char* what);

// Checks each test's handles at its end; main() appends it to the test program's listeners.
testing::TestEventListener* NewListener();

}  // namespace handle_verifier
