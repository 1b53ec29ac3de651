#include "dict/redisassert.h"

#include <cstdio>
#include <cstdlib>

void redis_assert_fail(const char *expr, const char *file, int line) {
    fprintf(stderr, "=== ASSERTION FAILED ===\n");
    fprintf(stderr, "==> %s:%d '%s' is not true\n", file, line, expr);
    fflush(stderr);
    abort();
}
