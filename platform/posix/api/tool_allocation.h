// The tool's own heap allocations (malloc, calloc, realloc) go through the stand-in machine, so
// that a test can make the Nth of them fail (the function "ToolAllocation" in the fault table)
// and reach each out-of-memory branch. The stand-in's own code is compiled with SKELVANE_STANDIN
// and allocates directly; a failed tool allocation never reaches it.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace standin {

void* ToolMalloc(size_t size);
void* ToolCalloc(size_t count, size_t size);
void* ToolRealloc(void* block, size_t size);

}  // namespace standin

#ifndef SKELVANE_STANDIN
#define malloc(size) ::standin::ToolMalloc(size)
#define calloc(count, size) ::standin::ToolCalloc(count, size)
#define realloc(block, size) ::standin::ToolRealloc(block, size)
#endif
