#include "dict/siphash.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(SipHash, ReferenceVector24) {
    // The reference vector of SipHash-2-4: key 00..0f, message 00..0e.
    uint8_t k[16], msg[15];
    for (int i = 0; i < 16; i++)
        k[i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 15; i++)
        msg[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(siphash_cd(msg, sizeof msg, k, 2, 4), 0xa129ca6149be45e5ull);
}
