#include "core/qps_limit.h"
#include "core/single_bucket.h"
#include "dict/dict.h"

#include <gtest/gtest.h>

namespace {

uint64_t fake_now = 0;
uint64_t fake_clock() {
    return fake_now;
}

struct Clock {
    explicit Clock(uint64_t start = 1000) {
        fake_now = start;
        x_time_set_clock(fake_clock);
    }
    ~Clock() { x_time_set_clock(nullptr); }
};

int admitted(single_bucket_t *sb, int tries) {
    int n = 0;
    for (int i = 0; i < tries; i++)
        n += single_bucket_consume(sb) ? 1 : 0;
    return n;
}

struct Limiter {
    qps_limit_t ql{};
    Limiter(uint64_t global, uint64_t per_ip, uint64_t idle) {
        EXPECT_TRUE(qps_limit_config(&ql, global, per_ip, idle));
    }
    ~Limiter() { qps_limit_free(&ql); }
    int take(uint32_t ip, int tries) {
        int n = 0;
        for (int i = 0; i < tries; i++)
            n += qps_limit_take(&ql, ip) ? 1 : 0;
        return n;
    }
};

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
    };
    for (const auto &c : cases) {
        Clock clock;
        single_bucket_t sb{};
        ASSERT_TRUE(single_bucket_init(&sb, c.rate, c.size));
        ASSERT_EQ(admitted(&sb, c.drain), c.drain) << c.name;
        fake_now += c.wait_ms;
        int tries = c.size > 15 ? 20 : static_cast<int>(c.size) + 5;
        EXPECT_EQ(admitted(&sb, tries), c.expect) << c.name;
    }
}

TEST(SingleBucket, FractionsAccumulateAcrossCalls) {
    Clock clock;
    single_bucket_t sb{};
    ASSERT_TRUE(single_bucket_init(&sb, 10, 1));
    ASSERT_TRUE(single_bucket_consume(&sb));
    // Three looks at 40 ms intervals: the third sees 120 ms elapsed and earns a token.
    fake_now += 40;
    EXPECT_FALSE(single_bucket_consume(&sb));
    fake_now += 40;
    EXPECT_FALSE(single_bucket_consume(&sb));
    fake_now += 40;
    EXPECT_TRUE(single_bucket_consume(&sb));
}

TEST(SingleBucket, NullAndUnlimitedAdmit) {
    EXPECT_TRUE(single_bucket_consume(nullptr));
    EXPECT_FALSE(single_bucket_init(nullptr, 1, 1));
    single_bucket_t sb{};
    ASSERT_TRUE(single_bucket_init(&sb, 0, 0));
    EXPECT_EQ(admitted(&sb, 1000), 1000);
}

TEST(QpsLimit, GlobalAndPerAddressBuckets) {
    struct Case {
        const char *name;
        uint64_t global, per_ip;
        int from_a, from_b;   // attempts from two addresses in the same ms
        int admit_a, admit_b; // expected admissions
    };
    const Case cases[] = {
        {"global 10 holds 12", 10, 0, 13, 0, 12, 0},
        {"per address 5 holds 6, others unaffected", 0, 5, 8, 8, 6, 6},
        // a's refusals by its own bucket still drain the global one: 12 global tokens, a
        // takes 6 and is refused 4 times, b gets the last 2.
        {"per-address refusals consume global tokens", 10, 5, 10, 8, 6, 2},
        {"no limits", 0, 0, 1000, 1000, 1000, 1000},
    };
    for (const auto &c : cases) {
        Clock clock;
        Limiter l(c.global, c.per_ip, 60000);
        EXPECT_EQ(l.take(0x0100007f, c.from_a), c.admit_a) << c.name;
        EXPECT_EQ(l.take(0x0200007f, c.from_b), c.admit_b) << c.name;
        if (c.per_ip == 0) {
            EXPECT_EQ(dictSize(l.ql.ip_limit_dict), 0u) << c.name;
        }
    }
}

TEST(QpsLimit, GlobalRefillsAfter100ms) {
    Clock clock;
    Limiter l(10, 0, 1000);
    EXPECT_EQ(l.take(1, 13), 12);
    fake_now += 100;
    EXPECT_EQ(l.take(1, 2), 1);
}

TEST(QpsLimit, IdleAddressIsForgottenAndStartsFull) {
    Clock clock;
    Limiter l(0, 5, 1000);
    EXPECT_EQ(l.take(7, 6), 6);
    EXPECT_EQ(l.take(8, 1), 1);
    ASSERT_EQ(dictSize(l.ql.ip_limit_dict), 2u);

    // Address 8 comes back; address 7 stays silent past its idle time.
    fake_now += 600;
    EXPECT_EQ(l.take(8, 1), 1);
    fake_now += 400;
    qps_limit_check(&l.ql); // exactly 1000 ms: nothing expires yet
    EXPECT_EQ(dictSize(l.ql.ip_limit_dict), 2u);
    fake_now += 1;
    qps_limit_check(&l.ql);
    EXPECT_EQ(dictSize(l.ql.ip_limit_dict), 1u);
    EXPECT_EQ(dictFetchValue(l.ql.ip_limit_dict, reinterpret_cast<void *>(uintptr_t{7})), nullptr);
    // The old bucket would have earned only 5 tokens by now; a fresh one holds 6.
    EXPECT_EQ(l.take(7, 7), 6); // a fresh, full bucket
}

TEST(QpsLimit, ReconfigureReleasesOldTable) {
    Clock clock;
    qps_limit_t ql{};
    ASSERT_TRUE(qps_limit_config(&ql, 0, 1, 1000));
    EXPECT_TRUE(qps_limit_take(&ql, 3));
    ASSERT_TRUE(qps_limit_config(&ql, 0, 1, 1000));
    EXPECT_EQ(dictSize(ql.ip_limit_dict), 0u);
    EXPECT_TRUE(qps_limit_take(&ql, 3));
    qps_limit_free(&ql);
    qps_limit_free(&ql);
}
