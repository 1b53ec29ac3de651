#include "core/token_bucket.h"

#include "core/x_timer.h"

#include <algorithm>
#include <cstdint>

void token_bucket_set_rate(token_bucket_t *tb, uint32_t rate, uint64_t bucket_size) {
    uint64_t full =
        rate ? static_cast<uint64_t>(static_cast<double>(bucket_size) / rate * 1000000.0) : 0;
    tb->full_time.store(full, std::memory_order_relaxed);
    tb->rate.store(rate, std::memory_order_relaxed);
}

void token_bucket_init(token_bucket_t *tb, uint32_t rate, uint64_t bucket_size) {
    token_bucket_set_rate(tb, rate, bucket_size);
    tb->last_take.store(0, std::memory_order_relaxed);
}

uint64_t token_bucket_take(token_bucket_t *tb, uint64_t n) {
    if (tb == nullptr) return 0;
    uint32_t rate = tb->rate.load(std::memory_order_relaxed);
    if (rate == 0) return 0;
    uint64_t full = tb->full_time.load(std::memory_order_relaxed);
    auto cost = static_cast<uint64_t>(static_cast<double>(n) / rate * 1000000.0);
    uint64_t now, fresh;
    uint64_t old = tb->last_take.load(std::memory_order_relaxed);
    do {
        now = x_time_us();
        uint64_t floor = now > full ? now - full : 0;
        fresh = std::max(old, floor) + cost;
    } while (!tb->last_take.compare_exchange_weak(old, fresh, std::memory_order_relaxed));
    return fresh > now ? fresh - now : 0;
}

uint64_t token_bucket_room(const token_bucket_t *tb, uint64_t debt_us) {
    if (tb == nullptr || tb->rate == 0) return UINT64_MAX;
    uint64_t now = x_time_us();
    uint64_t floor = now > tb->full_time ? now - tb->full_time : 0;
    uint64_t clock = std::max(tb->last_take.load(std::memory_order_relaxed), floor);
    uint64_t limit = now + debt_us;
    if (clock >= limit) return 0;
    return static_cast<uint64_t>(static_cast<double>(limit - clock) * tb->rate / 1000000.0);
}
