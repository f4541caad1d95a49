#include "rules/allocation.h"

#include <cstdlib>

namespace {
int allocations_left = -1;
}  // namespace

void* allocate(std::size_t size) {
  if (allocations_left == 0) return nullptr;
  if (allocations_left > 0) --allocations_left;
  // Zero-size requests (an empty prefix list) must not look like a failure.
  return std::malloc(size == 0 ? 1 : size);
}

void fail_allocations_after(int count) { allocations_left = count; }
