#pragma once
// Allocation of the set-up memory (rule text, tables). Returns null when
// memory is exhausted, which the caller reports.

#include <cstddef>

void* allocate(std::size_t size);

// Test hook: lets the given number of further allocations succeed and fails
// every one after. A negative count lets all succeed again.
void fail_allocations_after(int count);
