// The tool's heap allocations, each asking the machine's fault table first (see
// api/tool_allocation.h). A failed allocation leaves errno at ENOMEM, as the C library's does.
#include "api/tool_allocation.h"

#include <cerrno>

#include "machine.h"

namespace standin {
namespace {

bool AllocationFails() {
    if (!Machine::Current().Check("ToolAllocation").fail) {
        return false;
    }
    errno = ENOMEM;
    return true;
}

}  // namespace

void* ToolMalloc(size_t size) {
    return AllocationFails() ? nullptr : std::malloc(size);
}

void* ToolCalloc(size_t count, size_t size) {
    return AllocationFails() ? nullptr : std::calloc(count, size);
}

void* ToolRealloc(void* block, size_t size) {
    return AllocationFails() ? nullptr : std::realloc(block, size);  // the old block stays
}

}  // namespace standin
