// Invariant checks of the hash table: a broken invariant stops the process with the file and line.
#pragma once

[[noreturn]] void redis_assert_fail(const char *expr, const char *file, int line);

#define assert_invariant(e) ((e) ? (void)0 : redis_assert_fail(#e, __FILE__, __LINE__))
