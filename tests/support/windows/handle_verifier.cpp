#include "support/windows/handle_verifier.h"

#include <vector>

#include "support/windows/faults.h"

namespace handle_verifier {
namespace {

struct Entry {
    Kind kind;
    const void* value;
    const char* call;
    const char* what;
    unsigned test;  // the test it was opened in; 0 outside tests or by a fixture
    unsigned references;
};

struct State {
    std::vector<Entry> held;
    unsigned test = 0;  // the running test's number, 0 between tests
    unsigned tests = 0;
};

State& Verifier() {
    static State* state = new State;  // never destroyed: closes may come during exit
    return *state;
}

Entry* Find(Kind kind, const void* value) {
    for (Entry& entry : Verifier().held) {
        if (entry.kind == kind && entry.value == value) {
            return &entry;
        }
    }
    return nullptr;
}

class Listener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { Verifier().test = ++Verifier().tests; }
    // Called before the result printer's (listeners end in reverse order), so a leak is part
    // of the test's result.
    void OnTestEnd(const testing::TestInfo&) override {
        CheckLeaks();
        Verifier().test = 0;
    }
};

}  // namespace

void Opened(Kind kind, const void* value, const char* call, const char* what) {
    const unsigned test = faults_detail::Paused() ? 0 : Verifier().test;
    if (Entry* entry = Find(kind, value)) {
        // Another reference to the same object (a certificate context added twice).
        ++entry->references;
        if (entry->test == 0) {
            entry->test = test;
        }
        return;
    }
    Verifier().held.push_back({kind, value, call, what, test, 1});
}

void Closed(Kind kind, const void* value, const char* call) {
    Entry* entry = Find(kind, value);
    if (entry == nullptr) {
        if (!faults_detail::Paused()) {
            ADD_FAILURE() << "handle verifier: " << call << " closed " << value
                          << ", which the code under test does not hold (closed twice, or not "
                             "its own)";
        }
        return;
    }
    if (--entry->references == 0) {
        Verifier().held.erase(Verifier().held.begin() + (entry - Verifier().held.data()));
    }
}

void CheckLeaks() {
    State& state = Verifier();
    for (size_t i = 0; i < state.held.size();) {
        const Entry& entry = state.held[i];
        if (entry.test == 0 || entry.test != state.test) {
            ++i;
            continue;
        }
        ADD_FAILURE() << "handle verifier: " << entry.call << " opened " << entry.what << " "
                      << entry.value << ", not closed by the end of the test";
        // Forgotten, so that its value handed out again later is not taken for the same one.
        state.held.erase(state.held.begin() + i);
    }
}

void Forget() {
    Verifier().held.clear();
}

size_t Held() {
    size_t held = 0;
    for (const Entry& entry : Verifier().held) {
        held += entry.references;
    }
    return held;
}

void TakenByTest(Kind kind, const void* value) {
    PausedFaults fixture;
    Closed(kind, value, "the test");
}

void GivenByTest(Kind kind, const void* value, const char* what) {
    PausedFaults fixture;
    Opened(kind, value, "the test", what);
}

testing::TestEventListener* NewListener() {
    return new Listener;
}

}  // namespace handle_verifier
