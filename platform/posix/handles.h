// Handles of the stand-in: every HANDLE, store, provider or WinHTTP handle it gives out points at
// an object derived from KernelObject and is checked against the live set before use, so a
// stale or forged handle fails with ERROR_INVALID_HANDLE instead of touching freed memory.
#pragma once

#include <memory>

#include "win32_api.h"

namespace standin {

class KernelObject {
  public:
    virtual ~KernelObject() = default;
};

// Registers the object and gives its handle value.
void* AddHandle(std::unique_ptr<KernelObject> object);

// The live object behind `handle` when it is of type T, else null (last error untouched).
template <class T>
T* HandleAs(const void* handle);

// Removes and destroys the object; false when the handle is not live.
bool RemoveHandle(const void* handle);

// Destroys every live object (a machine reset).
void RemoveAllHandles();

KernelObject* LiveObject(const void* handle);

template <class T>
T* HandleAs(const void* handle) {
    return dynamic_cast<T*>(LiveObject(handle));
}

}  // namespace standin
