#include "core/x_random.h"

#include "core/log.h"

#include <cerrno>
#include <cstring>
#include <sys/random.h>

namespace {

constexpr size_t RANDOM_BLOCK = 256;

struct random_pool_t {
    uint8_t bytes[RANDOM_BLOCK]; // bytes read from the kernel
    size_t used;                 // bytes of `bytes` already handed out
};

thread_local random_pool_t pool = {{}, RANDOM_BLOCK};

bool refill() {
    size_t got = 0;
    while (got < RANDOM_BLOCK) {
        ssize_t n = getrandom(pool.bytes + got, RANDOM_BLOCK - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            log_error("getrandom failed: %s\n", strerror(errno));
            return false;
        }
        got += static_cast<size_t>(n);
    }
    pool.used = 0;
    return true;
}

} // namespace

bool x_random_u32(uint32_t *out) {
    if (pool.used + sizeof *out > RANDOM_BLOCK && !refill()) return false;
    memcpy(out, pool.bytes + pool.used, sizeof *out);
    // Handed-out bytes are not kept where a later leak of the buffer could show them.
    memset(pool.bytes + pool.used, 0, sizeof *out);
    pool.used += sizeof *out;
    return true;
}
