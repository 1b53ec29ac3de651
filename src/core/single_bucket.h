// A refilling counter bucket: `rate` tokens a second up to `capacity`, one token per admission.
//
// Counts are 64-bit so that limits up to 2^32-1 (and their 1.2-times bucket sizes) stay exact,
// and the refill is computed without overflow however long the bucket sat idle.
#pragma once

#include <cstdint>

struct single_bucket_t {
    int64_t capacity;     // maximum tokens
    int64_t tokens;       // tokens available; starts full
    int64_t rate;         // tokens added per second; 0 means unlimited
    uint64_t last_refill; // monotonic ms of the last refill that added at least one token
};

// Sets the rate and fills the bucket to bucket_size. False for a null bucket. Negative values
// are taken as 0 (rate 0 admits everything).
[[nodiscard]] bool single_bucket_init(single_bucket_t *sb, int64_t rate, int64_t bucket_size);
// Takes one token: true when admitted. A null bucket or rate 0 always admits. Elapsed time that
// is worth less than one token is kept, so slow rates still refill.
[[nodiscard]] bool single_bucket_consume(single_bucket_t *sb);
