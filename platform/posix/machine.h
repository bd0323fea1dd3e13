// The stand-in machine: a model of one Windows machine that the stand-in layer answers from.
//
// It is kept in a prefix directory the way Wine keeps one: drive_c/ is C:\, certificate stores
// and the registry are files in it. Everything else (clock, account, name answers, HTTPS
// routing) defaults to the real host and can be set here. A test resets the machine to a fresh
// prefix and sets it through this API; a program run of the native build reads the same
// settings from <prefix>/machine.conf (one "key=value" a line), so an end-to-end scenario can
// set up the machine without the tool knowing of it. The tool itself never includes this file.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "registry.h"
#include "win32_api.h"

namespace standin {

// "Make the Nth call of F fail with error E, once or from then on"; or, for calls that move
// bytes (ReadFile, WriteFile, ...), "let the Nth call move at most L bytes".
struct Fault {
    std::string function;
    DWORD error = 0;
    unsigned skip = 0;   // calls of the function that pass before the first hit
    int times = 1;       // hits before the fault is used up; -1 for ever
    int64_t limit = -1;  // >= 0: the call succeeds but moves at most this many bytes
    std::string object;  // when set: only calls on a file whose host path ends with this
};

// What a stand-in call learns when it asks whether it is to fail.
struct FaultHit {
    bool fail = false;  // the call fails with `error` as its last error
    DWORD error = 0;
    bool limited = false;  // the call succeeds but moves at most `limit` bytes
    DWORD limit = 0;
};

class Machine {
  public:
    // The machine the stand-in calls answer from. On first use it is loaded from
    // $SKELVANE_PREFIX (default ~/.skelvane) and that prefix's machine.conf.
    static Machine& Current();

    // Makes a fresh machine kept in `prefix` (created when missing), with every setting at its
    // default and no faults, and closes every handle the old machine still had open. Tests call
    // this with a temporary folder. Loads <prefix>/machine.conf when it exists.
    static Machine& Reset(const std::string& prefix);

    const std::string& Prefix() const { return prefix_; }

    // Reads one "key=value" setting as machine.conf does; false for an unknown key or value.
    bool Configure(const std::string& key, const std::string& value);

    // Clock: the real UTC time unless fixed.
    void SetClock(const SYSTEMTIME& utc);
    uint64_t NowFileTime() const;  // 100 ns ticks since 1601-01-01 UTC

    // Account: LocalSystem when euid is 0, unless set.
    void SetLocalSystem(bool localSystem) { localSystem_ = localSystem; }
    bool IsLocalSystem() const;
    // Whether the token holds SeSecurityPrivilege: only LocalSystem's does, unless set.
    void SetSecurityPrivilegeHeld(bool held) { securityPrivilegeHeld_ = held; }
    bool HoldsSecurityPrivilege() const {
        return securityPrivilegeHeld_ ? *securityPrivilegeHeld_ : IsLocalSystem();
    }
    // The process token's state: whether SeSecurityPrivilege has been enabled in it.
    bool SecurityPrivilegeEnabled() const { return securityPrivilegeEnabled_; }
    void SetSecurityPrivilegeEnabled(bool enabled) { securityPrivilegeEnabled_ = enabled; }

    // The tool's own version resource (the build's version unless set); absent when removed.
    void SetFileVersion(WORD major, WORD minor, WORD build, WORD revision);
    void RemoveVersionResource() { hasVersionResource_ = false; }
    bool HasVersionResource() const { return hasVersionResource_; }
    void FileVersion(DWORD* versionMS, DWORD* versionLS) const;

    // The device the console input (CONIN$) is read from: the controlling terminal unless set.
    void SetConsoleDevice(const std::string& path) { consoleDevice_ = path; }
    const std::string& ConsoleDevice() const { return consoleDevice_; }

    // Fault injection.
    void AddFault(const Fault& fault);
    void FailCall(const std::string& function, DWORD error, unsigned skip = 0, int times = 1);
    void LimitTransfer(const std::string& function, DWORD bytes, unsigned skip = 0, int times = 1);
    // Asked by each stand-in call on entry; sets nothing itself. `object` is the host path of
    // the file the call works on, if any.
    FaultHit Check(const char* function, const std::string& object = std::string());
    // Whether a fault for `function` is still to hit (it has not been reached yet).
    bool FaultPending(const std::string& function) const;

    // --- certificate stores and chains

    // The folder of DER files that is the system store `name` ("Root", ...) of the local machine
    // or of the current user. The standard stores exist on every machine, their folders made
    // on first use.
    std::string CertificateStoreFolder(bool localMachine, const std::string& name) const;

    // The host's CA bundle (PEM) that the machine's root stores trust besides their folders;
    // the system's bundle unless set, none when set to "".
    void SetHostRootBundle(const std::string& path) { hostRootBundle_ = path; }
    const std::string& HostRootBundle() const { return hostRootBundle_; }

    // A system store that refuses additions with ERROR_ACCESS_DENIED, as the local machine's
    // stores do for a user without administrative rights.
    void SetStoreReadOnly(bool localMachine, const std::string& name);
    bool IsStoreReadOnly(bool localMachine, const std::string& name) const;

    // Trust bits that the chain engine adds to every certificate below the root, as on a machine
    // that checks revocation by policy: CERT_TRUST_REVOCATION_STATUS_UNKNOWN, with
    // CERT_TRUST_IS_OFFLINE_REVOCATION when the servers are out of reach, or CERT_TRUST_IS_REVOKED.
    void SetRevocationStatus(DWORD trustBits) { revocationStatus_ = trustBits; }
    DWORD RevocationStatus() const { return revocationStatus_; }

    // --- CryptoAPI, name rendering and HTTPS

    // A hash algorithm the providers lack: CryptCreateHash fails with NTE_BAD_ALGID.
    void RemoveHashAlgorithm(ALG_ID algorithm) { removedHashes_.insert(algorithm); }
    bool HasHashAlgorithm(ALG_ID algorithm) const { return removedHashes_.count(algorithm) == 0; }

    // Where a WinHTTP connection to `host` really goes (a test's own server): the address is
    // resolved in its place and the port replaces the request's; SNI and the certificate's name
    // check still use `host`. Without a route the host's name is resolved as it stands.
    void SetHttpsRoute(const std::string& host, const std::string& address, unsigned port);
    bool HttpsRoute(const std::string& host, std::string* address, unsigned* port) const;

    // WinHTTP's default time-outs in milliseconds, 0 meaning none (a test shortens them).
    struct HttpTimeouts {
        DWORD resolve = 0;
        DWORD connect = 60000;
        DWORD send = 30000;
        DWORD receive = 30000;
    };
    void SetHttpTimeouts(const HttpTimeouts& timeouts) { httpTimeouts_ = timeouts; }
    const HttpTimeouts& DefaultHttpTimeouts() const { return httpTimeouts_; }

    // --- environment, hosts file and name answers

    // Variables of the process environment; the host's own environment answers the names not
    // set here. A new machine has SystemRoot and windir C:\windows, as a new Wine prefix.
    // Names compare without regard to case, as on Windows.
    void SetEnvironmentValue(const std::string& name, const std::string& value);
    bool EnvironmentValue(const std::string& name, std::string* value) const;

    // One entry of a fixed name answer. The address is text ("192.0.2.10", "2001:db8::1%3") and
    // gives the socket address its layout; empty for an entry without one. The other fields go
    // into the entry as they stand.
    struct NameAnswer {
        std::string address;
        int family = 2;      // AF_INET
        int socketType = 1;  // SOCK_STREAM
        int protocol = 6;    // IPPROTO_TCP
        int flags = 0;
        std::string canonicalName;  // none when empty
    };
    // Answers for `name` (without regard to case) in place of the host's resolver: entries in
    // the order added, or a resolver error (a WSA code) when set.
    void AddNameAnswer(const std::string& name, const NameAnswer& answer);
    void SetNameError(const std::string& name, int error);
    bool FixedNameAnswer(const std::string& name, std::vector<NameAnswer>* answers,
                         int* error) const;

    // The socket library's state: starts not yet cleaned up, answer lists not yet freed.
    int winsockStarts = 0;
    int addressListsHeld = 0;

    // --- the machine-wide application-data folder (CSIDL_COMMON_APPDATA)

    // Its Windows path: "C:\ProgramData" unless set. SHGetSpecialFolderPathW does not find a
    // folder that does not exist, as in Wine, and cannot answer one of MAX_PATH characters or more.
    void SetCommonAppDataFolder(const std::wstring& path) { commonAppDataFolder_ = path; }
    const std::wstring& CommonAppDataFolder() const { return commonAppDataFolder_; }

    // --- Windows version, processor and registry

    // The record RtlGetVersion fills. A new machine answers as the Wine prefix here does:
    // Windows 7 SP1 (6.1.7601 "Service Pack 1"), NT platform, workstation, no suite bits.
    struct OsVersion {
        DWORD major = 6;
        DWORD minor = 1;
        DWORD build = 7601;
        DWORD platformId = VER_PLATFORM_WIN32_NT;
        WORD servicePackMajor = 1;
        WORD servicePackMinor = 0;
        WORD suiteMask = 0;
        BYTE productType = VER_NT_WORKSTATION;
        std::wstring csdVersion = L"Service Pack 1";
    };
    void SetOsVersion(const OsVersion& version) { osVersion_ = version; }
    const OsVersion& GetOsVersion() const { return osVersion_; }

    // wProcessorArchitecture of GetNativeSystemInfo: x86 (0) unless set.
    void SetProcessorArchitecture(WORD architecture) { processorArchitecture_ = architecture; }
    WORD ProcessorArchitecture() const { return processorArchitecture_; }

    // An export GetProcAddress does not find, e.g. ntdll.dll's RtlGetVersion as on Windows
    // 2000. Module names are compared without regard to case.
    void RemoveExport(const std::string& module, const std::string& name);
    bool HasExport(const std::string& module, const std::string& name) const;

    // The registry, read on first use: a fresh Wine prefix's keys, then <prefix>/system.reg and
    // <prefix>/user.reg imported in that order (each may name any root). A malformed file is
    // reported on standard error with its line and leaves the registry broken: every open then
    // fails with ERROR_BADDB rather than answering from a half-read registry.
    Registry& RegistryTree();

    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

  private:
    std::string hostRootBundle_ = "/etc/ssl/certs/ca-certificates.crt";
    std::set<std::string> readOnlyStores_;
    DWORD revocationStatus_ = 0;

    struct HttpsRouteTarget {
        std::string address;
        unsigned port = 0;
    };
    std::map<std::string, HttpsRouteTarget> httpsRoutes_;
    HttpTimeouts httpTimeouts_;

    std::map<std::string, std::string> environment_;  // upper-case names
    struct FixedAnswer {
        std::vector<NameAnswer> entries;
        int error = 0;
    };
    std::map<std::string, FixedAnswer> nameAnswers_;  // lower-case names

    std::wstring commonAppDataFolder_ = L"C:\\ProgramData";

    OsVersion osVersion_;
    WORD processorArchitecture_ = PROCESSOR_ARCHITECTURE_INTEL;
    std::set<std::string> missingExports_;
    std::unique_ptr<Registry> registry_;

    explicit Machine(const std::string& prefix);
    void LoadConfiguration();
    bool ConfigureNameAnswer(const std::string& value);

    std::string prefix_;
    std::optional<uint64_t> fixedClock_;
    std::optional<bool> localSystem_;
    std::optional<bool> securityPrivilegeHeld_;
    bool securityPrivilegeEnabled_ = false;
    bool hasVersionResource_ = true;
    std::optional<DWORD> versionMS_, versionLS_;
    std::string consoleDevice_ = "/dev/tty";
    struct FaultState;
    FaultState* faults_;
    std::set<ALG_ID> removedHashes_;
};

// Sets the thread's last error and yields FALSE, the usual failure of a stand-in call.
BOOL Fail(DWORD error);

// Checks the fault table for `function`: on a hit sets the last error and yields true.
bool Injected(const char* function, const std::string& object = std::string());

}  // namespace standin
