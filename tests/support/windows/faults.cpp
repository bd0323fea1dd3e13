#include "support/windows/faults.h"

#include <cstdio>
#include <cstdlib>

#include "support/windows/import_table.h"

namespace faults_detail {
namespace {

ImportState g_imports[] = {
#define SKELVANE_API_STATE(dll, name) {#dll, #name, nullptr, 0, 0, false, 0},
    SKELVANE_FAULTABLE_IMPORTS(SKELVANE_API_STATE)
#undef SKELVANE_API_STATE
};
static_assert(sizeof(g_imports) / sizeof(g_imports[0]) == static_cast<size_t>(Api::Count));

}  // namespace

ImportState& State(Api api) {
    return g_imports[static_cast<size_t>(api)];
}

bool& Paused() {
    static bool paused = false;
    return paused;
}

bool CountCall(Api api) {
    if (Paused()) {
        return false;
    }
    ImportState& state = State(api);
    ++state.calls;
    if (state.failAt == 0 || state.calls < state.failAt) {
        return false;
    }
    if (state.calls > state.failAt && !state.persist) {
        return false;
    }
    return true;
}

void NotImported(Api api) {
    fprintf(stderr, "fault layer: the code under test does not import %s from %s\n",
            State(api).name, State(api).dll);
    abort();
}

}  // namespace faults_detail

void InstallImportFaults(HMODULE codeUnderTest) {
#define SKELVANE_API_INSTALL(dll, name)           \
    faults_detail::State(Api::name).original =    \
        ReplaceImport(codeUnderTest, #dll, #name, \
                      reinterpret_cast<void*>(&faults_detail::InterceptorOf<Api::name>::Call));
    SKELVANE_FAULTABLE_IMPORTS(SKELVANE_API_INSTALL)
#undef SKELVANE_API_INSTALL
}

void ResetImportFaults() {
#define SKELVANE_API_RESET(dll, name)                            \
    faults_detail::InterceptorOf<Api::name>::answer() = nullptr; \
    faults_detail::State(Api::name).calls = 0;                   \
    faults_detail::State(Api::name).failAt = 0;
    SKELVANE_FAULTABLE_IMPORTS(SKELVANE_API_RESET)
#undef SKELVANE_API_RESET
}
