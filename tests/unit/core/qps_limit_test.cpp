#include "core/fake_clock.h"
#include "core/qps_limit.h"
#include "core/single_bucket.h"
#include "dict/dict.h"

#include <gtest/gtest.h>

namespace {

int admitted(single_bucket_t *sb, int tries) {
    int n = 0;
    for (int i = 0; i < tries; i++)
        n += single_bucket_consume(sb) ? 1 : 0;
    return n;
}

} // namespace

TEST(SingleBucket, RefillArithmetic) {
    struct Case {
        const char *name;
        int64_t rate, size;
        int drain;        // tokens taken at the start
        uint64_t wait_ms; // then the clock moves this far
        int expect;       // tokens available after the wait (tried size + 5 times)
    };
    const Case cases[] = {
        {"starts full", 10, 12, 0, 0, 12},
        {"no refill within the same ms", 10, 12, 12, 0, 0},
        {"100 ms at 10/s is one token", 10, 12, 12, 100, 1},
        {"99 ms at 10/s is nothing yet", 10, 12, 12, 99, 0},
        {"refill stops at capacity", 10, 12, 12, 60000, 12},
        {"1/s, 999 ms", 1, 1, 1, 999, 0},
        {"1/s, 1000 ms", 1, 1, 1, 1000, 1},
        // A limit near 2^32 must stay a limit, not wrap to "refuse all".
        {"largest 32-bit limit", 4294967295, 5153960754, 3, 0, 20},
        // Years of idle time at a large rate: elapsed × rate exceeds 64 bits.
        {"long idle, large rate", 4294967295, 20, 20, UINT64_MAX / 2, 20},
        {"elapsed x rate wraps to exactly 0", 4294967296, 20, 20, 4294967296, 20},
    };
    for (const auto &c : cases) {
        FakeClock clock(1000);
        single_bucket_t sb{};
        ASSERT_TRUE(single_bucket_init(&sb, c.rate, c.size));
        ASSERT_EQ(admitted(&sb, c.drain), c.drain) << c.name;
        clock.now += c.wait_ms;
        int tries = c.size > 15 ? 20 : static_cast<int>(c.size) + 5;
        EXPECT_EQ(admitted(&sb, tries), c.expect) << c.name;
    }
}

// Per-address entries are made by whoever connects: an idle one must go, or the table grows
// with every source address ever seen.
TEST(QpsLimit, IdleAddressIsForgottenAndStartsFull) {
    FakeClock clock(1000);
    qps_limit_t ql{};
    ASSERT_TRUE(qps_limit_config(&ql, 0, 5, 1000));
    auto take = [&](uint32_t ip, int tries) {
        int n = 0;
        for (int i = 0; i < tries; i++)
            n += qps_limit_take(&ql, ip) ? 1 : 0;
        return n;
    };
    EXPECT_EQ(take(7, 6), 6);
    EXPECT_EQ(take(8, 1), 1);
    clock.now += 600;
    EXPECT_EQ(take(8, 1), 1);
    clock.now += 400;
    qps_limit_check(&ql); // exactly 1000 ms: nothing expires yet
    EXPECT_EQ(dictSize(ql.ip_limit_dict), 2u);
    clock.now += 1;
    qps_limit_check(&ql);
    EXPECT_EQ(dictSize(ql.ip_limit_dict), 1u);
    EXPECT_EQ(take(7, 7), 6); // a fresh, full bucket (the old one would have earned only 5)
    qps_limit_free(&ql);
}
