#include "core/single_bucket.h"

#include "core/x_timer.h"

namespace {

// Tokens earned in elapsed_ms at `rate` a second, capped at `cap` (elapsed × rate may not fit
// in 64 bits after a long idle time with a large rate).
int64_t refill_amount(uint64_t elapsed_ms, int64_t rate, int64_t cap) {
    auto r = static_cast<uint64_t>(rate);
    if (elapsed_ms > UINT64_MAX / r) return cap;
    uint64_t add = elapsed_ms * r / 1000;
    return add > static_cast<uint64_t>(cap) ? cap : static_cast<int64_t>(add);
}

} // namespace

bool single_bucket_init(single_bucket_t *sb, int64_t rate, int64_t bucket_size) {
    if (!sb) return false;
    sb->rate = rate > 0 ? rate : 0;
    sb->capacity = bucket_size > 0 ? bucket_size : 0;
    sb->tokens = sb->capacity;
    sb->last_refill = x_time_ms();
    return true;
}

bool single_bucket_consume(single_bucket_t *sb) {
    if (!sb || sb->rate == 0) return true;
    uint64_t now = x_time_ms();
    uint64_t elapsed = now > sb->last_refill ? now - sb->last_refill : 0;
    int64_t add = refill_amount(elapsed, sb->rate, sb->capacity);
    if (add > 0) {
        // tokens <= capacity and add <= capacity, so the sum cannot overflow.
        int64_t sum = sb->tokens + add;
        sb->tokens = sum < sb->capacity ? sum : sb->capacity;
        sb->last_refill = now;
    }
    if (sb->tokens < 1) return false;
    sb->tokens--;
    return true;
}
