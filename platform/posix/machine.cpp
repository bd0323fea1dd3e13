// The stand-in machine: its settings, its prefix and its fault table.
#include "machine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <memory>
#include <vector>

#include "handles.h"
#include "text.h"

#ifndef SKELVANE_VERSION_MAJOR
#error "the build sets the tool's version"
#endif

namespace standin {

struct Machine::FaultState {
    struct Rule {
        Fault fault;
        unsigned seen = 0;  // calls of the function since the rule was added
    };
    std::vector<Rule> rules;
};

namespace {

std::unique_ptr<Machine>& CurrentMachine() {
    static std::unique_ptr<Machine> machine;
    return machine;
}

std::string DefaultPrefix() {
    if (const char* prefix = getenv("SKELVANE_PREFIX"); prefix != nullptr && *prefix != '\0') {
        return prefix;
    }
    const char* home = getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.skelvane";
}

// A new prefix looks like a new Windows installation as Wine makes one: C:\ProgramData, and
// C:\Windows\System32\drivers\etc\hosts with Wine's default text (the host's own hosts file
// serves the resolver, not the Windows machine).
void LayOutPrefix(const std::string& prefix) {
    // Only a new prefix gets the file: one removed later stays missing, as on Windows.
    struct stat info;
    const bool fresh = stat((prefix + "/drive_c").c_str(), &info) != 0;
    const std::string etc = prefix + "/drive_c/windows/system32/drivers/etc";
    MakeDirectories(etc);
    MakeDirectories(prefix + "/drive_c/ProgramData");
    if (fresh) {
        std::ofstream hosts(etc + "/hosts", std::ios::binary);
        hosts << "# 127.0.0.1 localhost\r\n";
    }
}

bool ParseUnsigned(const std::string& text, unsigned long long* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    *value = strtoull(text.c_str(), &end, 0);
    return *end == '\0';
}

// "2019-03-01T12:05:09" or "2019-03-01T12:05:09.250", UTC.
bool ParseTime(const std::string& text, SYSTEMTIME* time) {
    unsigned year, month, day, hour, minute, second, millis = 0;
    int used = 0;
    if (sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%n", &year, &month, &day, &hour, &minute,
               &second, &used) != 6) {
        return false;
    }
    if (text[used] == '.' && sscanf(text.c_str() + used, ".%3u", &millis) != 1) {
        return false;
    }
    *time =
        SYSTEMTIME{static_cast<WORD>(year),   static_cast<WORD>(month), 0,
                   static_cast<WORD>(day),    static_cast<WORD>(hour),  static_cast<WORD>(minute),
                   static_cast<WORD>(second), static_cast<WORD>(millis)};
    FILETIME check;
    return SystemTimeToFileTime(time, &check) != FALSE;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1) {
        parts.push_back(text.substr(start, at - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::string LowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The keys of a new Wine prefix that the tool reads: the Windows version key as wineboot
// fills it (no BuildLab values), the Internet Settings keys of the machine and of the user,
// and an empty policies key; HKEY_USERS\S-1-5-18 is not there.
const char FreshPrefixRegistry[] = R"reg(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion]
"CSDVersion"="Service Pack 1"
"CurrentBuild"="7601"
"CurrentBuildNumber"="7601"
"CurrentType"="Uniprocessor Free"
"CurrentVersion"="6.1"
"ProductId"="12345-oem-0000001-54321"
"ProductName"="Microsoft Windows 7"
"RegisteredOrganization"=""
"RegisteredOwner"=""
"SystemRoot"="C:\\windows"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Internet Settings\ZoneMap]
"IntranetName"=dword:00000001
"ProxyByPass"=dword:00000001
"UNCAsIntranet"=dword:00000001

[HKEY_LOCAL_MACHINE\Software\Policies]

[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings]
"User Agent"="Mozilla/4.0 (compatible; MSIE 8.0; Win32)"

[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings\ZoneMap]
@=""
"IntranetName"=dword:00000001
"ProxyByPass"=dword:00000001
"UNCAsIntranet"=dword:00000001
)reg";

}  // namespace

Machine::Machine(const std::string& prefix) : prefix_(prefix), faults_(new FaultState) {
    LayOutPrefix(prefix_);
    SetEnvironmentValue("SystemRoot", "C:\\windows");
    SetEnvironmentValue("windir", "C:\\windows");
}

Machine::~Machine() {
    delete faults_;
}

Machine& Machine::Current() {
    if (!CurrentMachine()) {
        CurrentMachine().reset(new Machine(DefaultPrefix()));
        CurrentMachine()->LoadConfiguration();
    }
    return *CurrentMachine();
}

Machine& Machine::Reset(const std::string& prefix) {
    RemoveAllHandles();
    CurrentMachine().reset(new Machine(prefix));
    CurrentMachine()->LoadConfiguration();
    return *CurrentMachine();
}

void Machine::LoadConfiguration() {
    std::ifstream file(prefix_ + "/machine.conf");
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos ||
            !Configure(line.substr(0, equals), line.substr(equals + 1))) {
            fprintf(stderr, "stand-in: machine.conf: cannot use \"%s\"\n", line.c_str());
        }
    }
}

// Keys: clock=<UTC time>; account=system|user; version=a.b.c.d|none; console=<device>;
// hash-missing=md5|sha1|sha256|sha384|sha512; appdata=<Windows path>;
// fail=<function>[@<path end>]:<error>[:<skip>[:<times>|always]];
// limit=<function>[@<path end>]:<bytes>[:<skip>[:<times>]].
bool Machine::Configure(const std::string& key, const std::string& value) {
    if (key == "clock") {
        SYSTEMTIME time;
        if (!ParseTime(value, &time)) {
            return false;
        }
        SetClock(time);
        return true;
    }
    if (key == "account") {
        if (value != "system" && value != "user") {
            return false;
        }
        SetLocalSystem(value == "system");
        return true;
    }
    if (key == "version") {
        if (value == "none") {
            RemoveVersionResource();
            return true;
        }
        std::vector<std::string> parts = Split(value, '.');
        unsigned long long n[4];
        if (parts.size() != 4) {
            return false;
        }
        for (int i = 0; i < 4; ++i) {
            if (!ParseUnsigned(parts[i], &n[i]) || n[i] > 0xFFFF) {
                return false;
            }
        }
        SetFileVersion(static_cast<WORD>(n[0]), static_cast<WORD>(n[1]), static_cast<WORD>(n[2]),
                       static_cast<WORD>(n[3]));
        return true;
    }
    if (key == "console") {
        SetConsoleDevice(value);
        return true;
    }
    // Certificate stores and chains: host-roots=<PEM bundle>|none;
    // store-readonly=LocalMachine|CurrentUser/<store>; revocation=none|unknown|offline|revoked.
    if (key == "host-roots") {
        SetHostRootBundle(value == "none" ? std::string() : value);
        return true;
    }
    if (key == "store-readonly") {
        const size_t slash = value.find('/');
        const std::string location = value.substr(0, slash);
        if (slash == std::string::npos || slash + 1 == value.size() ||
            (location != "LocalMachine" && location != "CurrentUser")) {
            return false;
        }
        SetStoreReadOnly(location == "LocalMachine", value.substr(slash + 1));
        return true;
    }
    if (key == "revocation") {
        static const std::pair<const char*, DWORD> states[] = {
            {"none", 0},
            {"unknown", CERT_TRUST_REVOCATION_STATUS_UNKNOWN},
            {"offline", CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION},
            {"revoked", CERT_TRUST_IS_REVOKED}};
        for (const auto& [name, bits] : states) {
            if (value == name) {
                SetRevocationStatus(bits);
                return true;
            }
        }
        return false;
    }
    if (key == "hash-missing") {
        static const std::pair<const char*, ALG_ID> names[] = {{"md5", CALG_MD5},
                                                               {"sha1", CALG_SHA1},
                                                               {"sha256", CALG_SHA_256},
                                                               {"sha384", CALG_SHA_384},
                                                               {"sha512", CALG_SHA_512}};
        for (const auto& [name, algorithm] : names) {
            if (value == name) {
                RemoveHashAlgorithm(algorithm);
                return true;
            }
        }
        return false;
    }
    // HTTPS keys: https-route=<host>:<address>:<port>;
    // http-timeouts=<connect>:<send>:<receive> in milliseconds.
    if (key == "https-route") {
        std::vector<std::string> parts = Split(value, ':');
        unsigned long long port = 0;
        if (parts.size() != 3 || parts[0].empty() || parts[1].empty() ||
            !ParseUnsigned(parts[2], &port) || port == 0 || port > 0xFFFF) {
            return false;
        }
        SetHttpsRoute(parts[0], parts[1], static_cast<unsigned>(port));
        return true;
    }
    if (key == "http-timeouts") {
        std::vector<std::string> parts = Split(value, ':');
        unsigned long long n[3];
        if (parts.size() != 3) {
            return false;
        }
        for (int i = 0; i < 3; ++i) {
            if (!ParseUnsigned(parts[i], &n[i]) || n[i] > 0xFFFFFFFF) {
                return false;
            }
        }
        HttpTimeouts timeouts;
        timeouts.connect = static_cast<DWORD>(n[0]);
        timeouts.send = static_cast<DWORD>(n[1]);
        timeouts.receive = static_cast<DWORD>(n[2]);
        SetHttpTimeouts(timeouts);
        return true;
    }
    // Environment and names: env=<name>=<value>;
    // name-answer=<name>,<address>[,<family>[,<socket type>[,<protocol>[,<flags>[,<canonical>]]]]]
    // (one entry a line, in order; family 2 or 23 from the address unless given);
    // name-error=<name>,<WSA code>.
    if (key == "env") {
        const size_t equals = value.find('=');
        if (equals == 0 || equals == std::string::npos) {
            return false;
        }
        SetEnvironmentValue(value.substr(0, equals), value.substr(equals + 1));
        return true;
    }
    if (key == "name-answer") {
        return ConfigureNameAnswer(value);
    }
    if (key == "name-error") {
        std::vector<std::string> parts = Split(value, ',');
        unsigned long long code = 0;
        if (parts.size() != 2 || parts[0].empty() || !ParseUnsigned(parts[1], &code) || code == 0 ||
            code > 0x7FFFFFFF) {
            return false;
        }
        SetNameError(parts[0], static_cast<int>(code));
        return true;
    }
    // The application-data folder: appdata=<Windows path>.
    if (key == "appdata") {
        if (value.empty()) {
            return false;
        }
        SetCommonAppDataFolder(WideFromUtf8(value));
        return true;
    }
    // Windows version, processor and registry: os-version=<major>.<minor>.<build>;
    // service-pack=<major>.<minor>; csd-version=<text>; platform-id=, product-type=,
    // suite-mask=<number>; architecture=x86|x64|arm64|<number>;
    // export-missing=<module>!<name>; registry-denied=<key path from its root name>.
    if (key == "os-version" || key == "service-pack") {
        std::vector<std::string> parts = Split(value, '.');
        unsigned long long n[3] = {0, 0, 0};
        const size_t count = key == "os-version" ? 3 : 2;
        if (parts.size() != count) {
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            if (!ParseUnsigned(parts[i], &n[i]) ||
                n[i] > (key == "os-version" ? 0xFFFFFFFF : 0xFFFF)) {
                return false;
            }
        }
        if (key == "os-version") {
            osVersion_.major = static_cast<DWORD>(n[0]);
            osVersion_.minor = static_cast<DWORD>(n[1]);
            osVersion_.build = static_cast<DWORD>(n[2]);
        } else {
            osVersion_.servicePackMajor = static_cast<WORD>(n[0]);
            osVersion_.servicePackMinor = static_cast<WORD>(n[1]);
        }
        return true;
    }
    if (key == "csd-version") {
        osVersion_.csdVersion = WideFromUtf8(value);
        return osVersion_.csdVersion.size() < 128;
    }
    if (key == "platform-id" || key == "product-type" || key == "suite-mask") {
        unsigned long long n = 0;
        const unsigned long long limit = key == "platform-id"    ? 0xFFFFFFFF
                                         : key == "product-type" ? 0xFF
                                                                 : 0xFFFF;
        if (!ParseUnsigned(value, &n) || n > limit) {
            return false;
        }
        if (key == "platform-id") {
            osVersion_.platformId = static_cast<DWORD>(n);
        } else if (key == "product-type") {
            osVersion_.productType = static_cast<BYTE>(n);
        } else {
            osVersion_.suiteMask = static_cast<WORD>(n);
        }
        return true;
    }
    if (key == "architecture") {
        static const std::pair<const char*, WORD> names[] = {
            {"x86", PROCESSOR_ARCHITECTURE_INTEL},
            {"x64", PROCESSOR_ARCHITECTURE_AMD64},
            {"arm64", PROCESSOR_ARCHITECTURE_ARM64}};
        for (const auto& [name, code] : names) {
            if (value == name) {
                SetProcessorArchitecture(code);
                return true;
            }
        }
        unsigned long long n = 0;
        if (!ParseUnsigned(value, &n) || n > 0xFFFF) {
            return false;
        }
        SetProcessorArchitecture(static_cast<WORD>(n));
        return true;
    }
    if (key == "export-missing") {
        const size_t bang = value.find('!');
        if (bang == std::string::npos || bang == 0 || bang + 1 == value.size()) {
            return false;
        }
        RemoveExport(value.substr(0, bang), value.substr(bang + 1));
        return true;
    }
    if (key == "registry-denied") {
        return RegistryTree().Deny(WideFromUtf8(value));
    }
    if (key == "fail" || key == "limit") {
        std::vector<std::string> parts = Split(value, ':');
        unsigned long long number = 0, skip = 0, times = 1;
        if (parts.size() < 2 || parts.size() > 4 || parts[0].empty() ||
            !ParseUnsigned(parts[1], &number) || number > 0xFFFFFFFF ||
            (parts.size() > 2 && !ParseUnsigned(parts[2], &skip))) {
            return false;
        }
        bool forever = parts.size() > 3 && parts[3] == "always";
        if (parts.size() > 3 && !forever && !ParseUnsigned(parts[3], &times)) {
            return false;
        }
        Fault fault;
        fault.function = parts[0];
        if (size_t at = fault.function.find('@'); at != std::string::npos) {
            fault.object = fault.function.substr(at + 1);
            fault.function.resize(at);
        }
        fault.skip = static_cast<unsigned>(skip);
        fault.times = forever ? -1 : static_cast<int>(times);
        if (key == "fail") {
            fault.error = static_cast<DWORD>(number);
        } else {
            fault.limit = static_cast<int64_t>(number);
        }
        AddFault(fault);
        return true;
    }
    return false;
}

bool Machine::ConfigureNameAnswer(const std::string& value) {
    std::vector<std::string> parts = Split(value, ',');
    if (parts.size() < 2 || parts.size() > 7 || parts[0].empty()) {
        return false;
    }
    NameAnswer answer;
    answer.address = parts[1];
    answer.family = answer.address.find(':') != std::string::npos ? 23 : 2;
    int* numbers[] = {&answer.family, &answer.socketType, &answer.protocol, &answer.flags};
    for (size_t i = 2; i < parts.size() && i < 6; ++i) {
        char* end = nullptr;
        const long number = strtol(parts[i].c_str(), &end, 0);
        if (parts[i].empty() || *end != '\0' || number < INT32_MIN || number > INT32_MAX) {
            return false;
        }
        *numbers[i - 2] = static_cast<int>(number);
    }
    if (parts.size() == 7) {
        answer.canonicalName = parts[6];
    }
    AddNameAnswer(parts[0], answer);
    return true;
}

namespace {

std::string AsciiFolded(std::string text, bool upper) {
    for (char& c : text) {
        c = static_cast<char>(upper ? toupper(static_cast<unsigned char>(c))
                                    : tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace

void Machine::SetEnvironmentValue(const std::string& name, const std::string& value) {
    environment_[AsciiFolded(name, true)] = value;
}

bool Machine::EnvironmentValue(const std::string& name, std::string* value) const {
    auto found = environment_.find(AsciiFolded(name, true));
    if (found != environment_.end()) {
        *value = found->second;
        return true;
    }
    if (const char* host = getenv(name.c_str())) {
        *value = host;
        return true;
    }
    return false;
}

void Machine::AddNameAnswer(const std::string& name, const NameAnswer& answer) {
    FixedAnswer& fixed = nameAnswers_[AsciiFolded(name, false)];
    fixed.error = 0;
    fixed.entries.push_back(answer);
}

void Machine::SetNameError(const std::string& name, int error) {
    FixedAnswer& fixed = nameAnswers_[AsciiFolded(name, false)];
    fixed.entries.clear();
    fixed.error = error;
}

bool Machine::FixedNameAnswer(const std::string& name, std::vector<NameAnswer>* answers,
                              int* error) const {
    auto found = nameAnswers_.find(AsciiFolded(name, false));
    if (found == nameAnswers_.end()) {
        return false;
    }
    *answers = found->second.entries;
    *error = found->second.error;
    return true;
}

void Machine::RemoveExport(const std::string& module, const std::string& name) {
    missingExports_.insert(LowerCase(module) + "!" + name);
}

bool Machine::HasExport(const std::string& module, const std::string& name) const {
    return missingExports_.count(LowerCase(module) + "!" + name) == 0;
}

Registry& Machine::RegistryTree() {
    if (registry_) {
        return *registry_;
    }
    registry_ = std::make_unique<Registry>();
    std::string error;
    if (!registry_->Import(FreshPrefixRegistry, "the fresh prefix's registry", &error)) {
        fprintf(stderr, "stand-in: %s\n", error.c_str());
        registry_->MarkBroken();
        return *registry_;
    }
    for (const char* name : {"system.reg", "user.reg"}) {
        const std::string path = prefix_ + "/" + name;
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            continue;
        }
        std::ostringstream bytes;
        bytes << file.rdbuf();
        if (!registry_->Import(bytes.str(), path, &error)) {
            fprintf(stderr, "stand-in: %s\n", error.c_str());
            registry_->MarkBroken();
            break;
        }
    }
    return *registry_;
}

void Machine::SetHttpsRoute(const std::string& host, const std::string& address, unsigned port) {
    httpsRoutes_[host] = HttpsRouteTarget{address, port};
}

bool Machine::HttpsRoute(const std::string& host, std::string* address, unsigned* port) const {
    auto found = httpsRoutes_.find(host);
    if (found == httpsRoutes_.end()) {
        return false;
    }
    *address = found->second.address;
    *port = found->second.port;
    return true;
}

void Machine::SetClock(const SYSTEMTIME& utc) {
    FILETIME time;
    if (SystemTimeToFileTime(&utc, &time)) {
        fixedClock_ = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    }
}

uint64_t Machine::NowFileTime() const {
    if (fixedClock_) {
        return *fixedClock_;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t epochDifference = 116444736000000000ULL;  // 1601 to 1970 in 100 ns ticks
    return epochDifference + static_cast<uint64_t>(now.tv_sec) * 10000000ULL +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}

bool Machine::IsLocalSystem() const {
    return localSystem_ ? *localSystem_ : geteuid() == 0;
}

void Machine::SetFileVersion(WORD major, WORD minor, WORD build, WORD revision) {
    hasVersionResource_ = true;
    versionMS_ = (static_cast<DWORD>(major) << 16) | minor;
    versionLS_ = (static_cast<DWORD>(build) << 16) | revision;
}

void Machine::FileVersion(DWORD* versionMS, DWORD* versionLS) const {
    *versionMS = versionMS_
                     ? *versionMS_
                     : (static_cast<DWORD>(SKELVANE_VERSION_MAJOR) << 16) | SKELVANE_VERSION_MINOR;
    *versionLS = versionLS_
                     ? *versionLS_
                     : (static_cast<DWORD>(SKELVANE_VERSION_PATCH) << 16) | SKELVANE_VERSION_TWEAK;
}

void Machine::AddFault(const Fault& fault) {
    faults_->rules.push_back({fault, 0});
}

void Machine::FailCall(const std::string& function, DWORD error, unsigned skip, int times) {
    Fault fault;
    fault.function = function;
    fault.error = error;
    fault.skip = skip;
    fault.times = times;
    AddFault(fault);
}

void Machine::LimitTransfer(const std::string& function, DWORD bytes, unsigned skip, int times) {
    Fault fault;
    fault.function = function;
    fault.limit = bytes;
    fault.skip = skip;
    fault.times = times;
    AddFault(fault);
}

FaultHit Machine::Check(const char* function, const std::string& object) {
    FaultHit hit;
    auto concerns = [&](const Fault& fault) {
        return fault.object.empty() || (object.size() >= fault.object.size() &&
                                        object.compare(object.size() - fault.object.size(),
                                                       std::string::npos, fault.object) == 0);
    };
    for (auto& rule : faults_->rules) {
        if (rule.fault.function != function || rule.fault.times == 0 || !concerns(rule.fault)) {
            continue;
        }
        if (rule.seen++ < rule.fault.skip || hit.fail || hit.limited) {
            continue;  // every rule counts the call; the first one due decides it
        }
        if (rule.fault.times > 0) {
            --rule.fault.times;
        }
        if (rule.fault.limit >= 0) {
            hit.limited = true;
            hit.limit = static_cast<DWORD>(rule.fault.limit);
        } else {
            hit.fail = true;
            hit.error = rule.fault.error;
        }
    }
    return hit;
}

bool Machine::FaultPending(const std::string& function) const {
    for (const auto& rule : faults_->rules) {
        if (rule.fault.function == function && rule.fault.times != 0) {
            return true;
        }
    }
    return false;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool Injected(const char* function, const std::string& object) {
    FaultHit hit = Machine::Current().Check(function, object);
    if (hit.fail) {
        SetLastError(hit.error);
    }
    return hit.fail;
}

}  // namespace standin
