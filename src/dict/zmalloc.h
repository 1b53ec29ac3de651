// Allocation for the hash table: running out of memory is fatal here, by design, so the
// table's own callers never see a null pointer.
#pragma once

#include <cstddef>

void *zmalloc(size_t size);
void *zcalloc(size_t size);
void zfree(void *ptr);
