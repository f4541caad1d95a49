#include "rules/allocation.h"

#include <cstdlib>

namespace {
int allocations_left = -1;
MemorySource memory_source = std::malloc;
}  // namespace

void* allocate(std::size_t size) {
  if (allocations_left == 0) return nullptr;
  if (allocations_left > 0) --allocations_left;
  // Zero-size requests (an empty prefix list) must not look like a failure.
  return memory_source(size == 0 ? 1 : size);
}

void obtain_memory_from(MemorySource source) { memory_source = source; }

void fail_allocations_after(int count) { allocations_left = count; }
