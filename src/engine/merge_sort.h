// A stable merge sort with the interface of the BSD C library's mergesort,
// which glibc lacks.
#pragma once

#include <cstddef>

// Sorts count elements of size bytes at base in ascending order of compare,
// keeping equal elements in their order. Returns 0, or -1 (base untouched)
// when its scratch space cannot be allocated.
int mergesort(void *base, std::size_t count, std::size_t size,
              int (*compare)(const void *, const void *));
