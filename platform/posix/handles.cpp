// The live set of stand-in handles.
#include "handles.h"

#include <map>

namespace standin {
namespace {

std::map<const void*, std::unique_ptr<KernelObject>>& LiveSet() {
    static std::map<const void*, std::unique_ptr<KernelObject>> live;
    return live;
}

}  // namespace

void* AddHandle(std::unique_ptr<KernelObject> object) {
    void* handle = object.get();
    LiveSet()[handle] = std::move(object);
    return handle;
}

KernelObject* LiveObject(const void* handle) {
    auto found = LiveSet().find(handle);
    return found == LiveSet().end() ? nullptr : found->second.get();
}

bool RemoveHandle(const void* handle) {
    auto found = LiveSet().find(handle);
    if (found == LiveSet().end()) {
        return false;
    }
    // Destroy outside the map: a destructor may itself release handles.
    std::unique_ptr<KernelObject> object = std::move(found->second);
    LiveSet().erase(found);
    return true;
}

void RemoveAllHandles() {
    // One at a time, each destroyed after it left the map (its destructor may release others).
    while (!LiveSet().empty()) {
        LiveSet().extract(LiveSet().begin());
    }
}

}  // namespace standin
