// Lock-free bandwidth bucket shared by every session of one user, on every thread.
//
// The bucket keeps a virtual clock: each take pushes it forward by the cost of the bytes, and it
// never lags more than `full_time` behind real time, so a user may burst one bucket's worth and
// is otherwise held to `rate`. The caller learns how far ahead of real time the clock now runs.
// The owner may change the rate while sessions take from the bucket on other threads.
#pragma once

#include <atomic>
#include <cstdint>

struct token_bucket_t {
    std::atomic<uint32_t> rate;      // bytes per second; 0 means unlimited
    std::atomic<uint64_t> full_time; // µs needed to fill the bucket (size / rate × 10^6)
    std::atomic<uint64_t> last_take; // the virtual clock, monotonic µs; changed only by CAS
};

void token_bucket_init(token_bucket_t *tb, uint32_t rate, uint64_t bucket_size);
// Changes rate and size and keeps the clock: what the user spent stays spent.
void token_bucket_set_rate(token_bucket_t *tb, uint32_t rate, uint64_t bucket_size);
// Charges n bytes; returns the µs the caller should wait (0 for a null or unlimited bucket).
uint64_t token_bucket_take(token_bucket_t *tb, uint64_t n);
// Bytes a take could charge now without leaving a wait above `debt_us`: 0 once the clock runs
// that far ahead, UINT64_MAX for a null or unlimited bucket. Nothing is charged.
uint64_t token_bucket_room(const token_bucket_t *tb, uint64_t debt_us);
