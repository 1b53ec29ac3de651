// Random numbers from the kernel's generator (getrandom), for values that peers may see and
// present back (session identifiers). Each thread reads the kernel in blocks and hands the bytes
// out from its own buffer, so a value costs no system call most of the time.
#pragma once

#include <cstdint>

// Fills *out with 32 random bits. False only when the kernel's generator cannot be read; *out is
// then unchanged.
[[nodiscard]] bool x_random_u32(uint32_t *out);
