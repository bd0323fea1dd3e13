// The stand-in's .reg reader on any bytes: it either applies the file or names the line it
// stopped at, and every value it stored can be handed to a caller.
#include <cstdint>
#include <string>

#include "registry.h"

namespace {

void VisitValues(const standin::RegistryKey& key) {
    for (const auto& [name, value] : key.values) {
        const std::string bytes = standin::NativeValueBytes(value);
        if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ &&
            bytes != value.data) {
            __builtin_trap();  // only strings are converted for the caller
        }
    }
    for (const auto& [name, subkey] : key.subkeys) {
        VisitValues(*subkey);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    standin::Registry registry;
    std::string error;
    const bool imported =
        registry.Import(std::string(reinterpret_cast<const char*>(data), size), "fuzz.reg", &error);
    if (!imported && error.rfind("fuzz.reg:", 0) != 0) {
        __builtin_trap();  // a refusal always names the file and the line
    }
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS}) {
        if (const standin::RegistryKey* key = registry.Find(root, {})) {
            VisitValues(*key);
        }
    }
    return 0;
}
