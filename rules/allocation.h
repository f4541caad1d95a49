#pragma once
// Allocation of the set-up memory (rule text, tables). Returns null when
// memory is exhausted, which the caller reports.

#include <cstddef>

void* allocate(std::size_t size);

// Where allocate() obtains its memory: std::malloc unless the program names
// another source, whose blocks std::free must release as well.
using MemorySource = void* (*)(std::size_t size);
void obtain_memory_from(MemorySource source);

// Test hook: lets the given number of further allocations succeed and fails
// every one after. A negative count lets all succeed again.
void fail_allocations_after(int count);
