// The named holders over real handles: a failed open leaves each empty (nothing is closed), and
// each closes what it holds with its own call and reads that call's result right. Moves, one
// close per handle and the kept last error are the template's (scoped_handle_test.cpp).
#include "platform/holders.h"

#include <gtest/gtest.h>

#include "support/windows/scratch.h"

namespace {

// Closes what `holder` holds; its close call's result read as success.
template <typename Holder>
void ExpectReleased(Holder& holder, const char* kind) {
    ASSERT_FALSE(holder.IsEmpty()) << kind;
    EXPECT_TRUE(holder.Release()) << kind << ": the close succeeded";
}

bool KernelHandleIsClosed(HANDLE handle) {
    DWORD flags = 0;
    return !GetHandleInformation(handle, &flags) && GetLastError() == ERROR_INVALID_HANDLE;
}

TEST(Holders, FailedOpensLeaveThemEmpty) {
    ScratchFolder folder;
    const std::wstring missing = folder / L"missing";
    // INVALID_HANDLE_VALUE is the empty file and listing; taken for a handle, it would be
    // closed, and as the current process's pseudo handle that close would succeed.
    ScopedFile file(CreateFileW(missing.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    WIN32_FIND_DATAW found;
    ScopedFind find(FindFirstFileW(missing.c_str(), &found));
    EXPECT_FALSE(file.Release());
    EXPECT_FALSE(find.Release());
    // Null is the empty kernel and native handle, and the empty file is not null.
    EXPECT_TRUE(ScopedKernelHandle(nullptr).IsEmpty());
    EXPECT_TRUE(ScopedNtHandle(nullptr).IsEmpty());
    EXPECT_FALSE(ScopedFile(nullptr).IsEmpty());
    EXPECT_EQ(ScopedFile().Get(), INVALID_HANDLE_VALUE);
}

TEST(Holders, EachClosesWithItsOwnCallAndKeepsTheLastError) {
    ScratchFolder folder;
    const std::wstring path = folder / L"held.txt";
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ExpectReleased(file, "file");
    ScopedFile again(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_FALSE(again.IsEmpty()) << "the file, opened without sharing, was closed";

    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    ScopedKernelHandle kernel(token);
    ExpectReleased(kernel, "kernel handle");
    EXPECT_TRUE(KernelHandleIsClosed(token));
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    ScopedNtHandle native(token);
    ExpectReleased(native, "native handle");
    EXPECT_TRUE(KernelHandleIsClosed(token));

    WIN32_FIND_DATAW found;
    ScopedFind find(FindFirstFileW((folder / L"*").c_str(), &found));
    ExpectReleased(find, "listing");

    ScopedRegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, key.Put()),
              ERROR_SUCCESS);
    const HKEY opened = key.Get();
    ExpectReleased(key, "registry key");
    EXPECT_EQ(RegQueryInfoKeyW(opened, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    ScopedSid sid;
    ASSERT_TRUE(AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0,
                                         0, 0, sid.Put()));
    ExpectReleased(sid, "SID");  // FreeSid answers null when it freed it

    ScopedCertStoreClosedWith<0> store(CertOpenStore(CERT_STORE_PROV_MEMORY, X509_ASN_ENCODING, 0,
                                                     CERT_STORE_CREATE_NEW_FLAG, nullptr));
    ExpectReleased(store, "certificate store");

    ScopedInternetHandle session(WinHttpOpen(L"holders test", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    const HINTERNET sessionHandle = session.Get();
    ExpectReleased(session, "WinHTTP session");
    DWORD timeout = 0;
    DWORD size = sizeof timeout;
    EXPECT_FALSE(
        WinHttpQueryOption(sessionHandle, WINHTTP_OPTION_CONNECT_TIMEOUT, &timeout, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    ADDRINFOW hints = {};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    ScopedAddressList list;
    ASSERT_EQ(GetAddrInfoW(L"127.0.0.1", L"443", &hints, list.Put()), 0);
    ExpectReleased(list, "address list");  // FreeAddrInfoW answers nothing: done
    WSACleanup();

    ScopedHeapText text(AllocateZeroedText(16));
    EXPECT_EQ(text.Get()[15], L'\0');
    ExpectReleased(text, "heap block");
    ScopedMallocBlock<char> block(static_cast<char*>(malloc(16)));
    ExpectReleased(block, "malloc block");
}

}  // namespace
