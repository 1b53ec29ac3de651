#include "dict/zmalloc.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void oom(size_t size) {
    fprintf(stderr, "zmalloc: Out of memory trying to allocate %zu bytes\n", size);
    fflush(stderr);
    abort();
}

} // namespace

void *zmalloc(size_t size) {
    void *p = malloc(size ? size : 1);
    if (p == nullptr) oom(size);
    return p;
}

void *zcalloc(size_t size) {
    void *p = calloc(1, size ? size : 1);
    if (p == nullptr) oom(size);
    return p;
}

void zfree(void *ptr) {
    free(ptr);
}
