#include "core/buf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct BufGuard {
    buf_t b{};
    ~BufGuard() { buf_free(&b); }
};

std::vector<uint8_t> encode(uint8_t head, uint8_t start, uint64_t num) {
    BufGuard g;
    EXPECT_TRUE(buf_alloc(&g.b, 1));
    EXPECT_TRUE(buf_write_uleb128_(&g.b, head, start, num));
    std::vector<uint8_t> out(g.b.pos, g.b.last);
    EXPECT_EQ(out.size(), get_uleb128_len_(start, num));
    return out;
}

struct LebCase {
    uint8_t head, start;
    uint64_t num;
    std::vector<uint8_t> bytes;
};

const LebCase kLebCases[] = {
    {0x40, 3, 7, {0x47}},
    {0x40, 3, 31, {0x5F}},
    {0x40, 3, 32, {0x60, 0x01}},
    {0x40, 3, 1000, {0x68, 0x1F}},
    {0x40, 3, 5000, {0x68, 0x9C, 0x01}},
    {0x00, 0, 0, {0x00}},
    {0x00, 0, 127, {0x7F}},
    {0x00, 0, 128, {0x80, 0x01}},
    {0x00, 0, 300, {0xAC, 0x02}},
    {0x00, 1, 300, {0xAC, 0x02}},
    {0x00, 0, UINT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
};

// Decodes `bytes` as a value of the given form, taking the first byte as the head first when
// the form is prefixed, as callers do.
bool decode(const std::vector<uint8_t> &bytes, uint8_t start, uint64_t *num, size_t *left) {
    BufGuard g;
    EXPECT_TRUE(buf_alloc(&g.b, bytes.size() + 1));
    memcpy(g.b.last, bytes.data(), bytes.size());
    g.b.last += bytes.size();
    uint8_t head = 0;
    if (start >= 2) head = *g.b.pos++;
    bool ok = buf_read_uleb128_(&g.b, head, start, num);
    *left = buf_size(&g.b);
    return ok;
}

} // namespace

TEST(Leb128, EncodesAndDecodesTheDocumentedExamples) {
    for (const auto &c : kLebCases) {
        SCOPED_TRACE(c.num);
        EXPECT_EQ(encode(c.head, c.start, c.num), c.bytes);
        uint64_t v = 0;
        size_t left = 99;
        ASSERT_TRUE(decode(c.bytes, c.start, &v, &left));
        EXPECT_EQ(v, c.num);
        EXPECT_EQ(left, 0u);
    }
}

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
