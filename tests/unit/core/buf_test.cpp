#include "core/buf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Decodes `bytes` in the given form (a prefixed one starts with its head); `left`: bytes unread.
bool decode(const std::vector<uint8_t> &bytes, uint8_t start, uint64_t *num, size_t *left) {
    buf_t b{};
    EXPECT_TRUE(buf_alloc(&b, bytes.size() + 1));
    memcpy(b.last, bytes.data(), bytes.size());
    b.last += bytes.size();
    uint8_t head = 0;
    if (start >= 2) head = *b.pos++;
    bool ok = buf_read_uleb128_(&b, head, start, num);
    *left = buf_size(&b);
    buf_free(&b);
    return ok;
}

} // namespace

TEST(Leb128, RejectsValuesWiderThan64Bits) {
    const std::vector<std::vector<uint8_t>> too_wide = {
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02},       // bit 64 set
        {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, // 11 groups
    };
    for (const auto &bytes : too_wide) {
        uint64_t v = 0;
        size_t left = 0;
        EXPECT_FALSE(decode(bytes, 0, &v, &left));
        EXPECT_EQ(left, bytes.size()); // pos restored
    }
    // Prefixed form: 5 value bits in the head leave 59 bits for the groups.
    std::vector<uint8_t> prefixed = {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0x01};
    uint64_t v = 0;
    size_t left = 0;
    EXPECT_FALSE(decode(prefixed, 3, &v, &left));
}
