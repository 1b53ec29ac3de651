#include "core/token_bucket.h"

#include <gtest/gtest.h>

TEST(TokenBucket, UnlimitedAndNullBucketsNeverWait) {
    token_bucket_t tb;
    token_bucket_init(&tb, 0, 1000);
    EXPECT_EQ(token_bucket_take(&tb, 1 << 30), 0u);
    EXPECT_EQ(token_bucket_take(nullptr, 1 << 30), 0u);
}

TEST(TokenBucket, BurstOfOneBucketThenDebtGrowsWithTheBytes) {
    token_bucket_t tb;
    token_bucket_init(&tb, 100000, 100000); // 100 kB/s, one second of burst
    EXPECT_EQ(tb.full_time, 1000000u);
    EXPECT_EQ(token_bucket_take(&tb, 100000), 0u); // a full bucket at once
    uint64_t wait = token_bucket_take(&tb, 10000); // 100 ms of debt
    EXPECT_GE(wait, 95000u);
    EXPECT_LE(wait, 100000u);
    wait = token_bucket_take(&tb, 20000); // debts add up
    EXPECT_GE(wait, 295000u);
    EXPECT_LE(wait, 300000u);
}

TEST(TokenBucket, LargeRatesAndCountsStayExact) {
    token_bucket_t tb;
    token_bucket_init(&tb, 4000000000u, 4000000000ull); // near the 32-bit limit
    EXPECT_EQ(tb.full_time, 1000000u);
    EXPECT_EQ(token_bucket_take(&tb, 4000000000ull), 0u);
    uint64_t wait = token_bucket_take(&tb, 4000000000ull); // a second more
    EXPECT_GE(wait, 990000u);
    EXPECT_LE(wait, 1000000u);
}

TEST(TokenBucket, RoomIsWhatATakeMayChargeBeforeTheDebtPassesTheLimit) {
    EXPECT_EQ(token_bucket_room(nullptr, 100000), UINT64_MAX);
    token_bucket_t tb;
    token_bucket_init(&tb, 100000, 100000); // a full bucket plus 100 ms of debt: 110000 bytes
    uint64_t room = token_bucket_room(&tb, 100000);
    EXPECT_GE(room, 109900u);
    EXPECT_LE(room, 110000u);
    (void)token_bucket_take(&tb, room + 50000); // further in debt than the limit: no room
    EXPECT_EQ(token_bucket_room(&tb, 100000), 0u);
}
