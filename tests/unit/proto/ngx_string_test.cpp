#include "proto/ngx_string.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

ngx_str_t view(const std::string &s) {
    return {s.size(), reinterpret_cast<uint8_t *>(const_cast<char *>(s.data()))};
}

std::string text(const ngx_str_t &s) {
    return std::string(reinterpret_cast<char *>(s.data), s.len);
}

std::string encode(const std::string &in) {
    std::string out(ngx_base64_encoded_length(in.size()), '?');
    ngx_str_t src = view(in), dst = view(out);
    ngx_encode_base64(&dst, &src);
    EXPECT_EQ(dst.len, out.size());
    return text(dst);
}

int decode(const std::string &in, std::string *out) {
    // One spare byte past the room the caller must give catches a write beyond it.
    std::string room(ngx_base64_decoded_length(in.size()) + 1, '#');
    ngx_str_t src = view(in), dst = view(room);
    int rc = ngx_decode_base64(&dst, &src);
    EXPECT_EQ(room.back(), '#');
    *out = text(dst);
    return rc;
}

TEST(Base64, EncodesTheStandardVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"abc", "YWJj"},
        {"foobar", "Zm9vYmFy"},
        {"\xff\xfe\x00"s, "//4A"},
        {"user:pass", "dXNlcjpwYXNz"},
    };
    for (const auto &[plain, coded] : cases) {
        EXPECT_EQ(encode(plain), coded) << plain;
        std::string back;
        EXPECT_EQ(decode(coded, &back), 0) << coded;
        EXPECT_EQ(back, plain) << coded;
    }
}

TEST(NgxStr, OwnedCopiesAreTerminatedAndRefuseASecondInit) {
    ngx_str_t s{};
    ASSERT_TRUE(ngx_str_init(&s, "abc", 3));
    EXPECT_EQ(s.data[3], 0);
    uint8_t *first = s.data;
    EXPECT_FALSE(ngx_str_init(&s, "xy", 2));
    EXPECT_EQ(s.data, first);
    EXPECT_EQ(text(s), "abc");
    ngx_str_free(&s);

    // An owned empty text counts as held: a second init would lose the first copy.
    ASSERT_TRUE(ngx_str_init(&s, nullptr, 0));
    ASSERT_NE(s.data, nullptr);
    EXPECT_EQ(s.data[0], 0);
    EXPECT_FALSE(ngx_str_init(&s, "xy", 2));
    ngx_str_free(&s);

    ASSERT_TRUE(ngx_str_init(&s, nullptr, 4));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(s.data), 5), "\0\0\0\0\0"s);
    ngx_str_free(&s);
    EXPECT_EQ(s.data, nullptr);
    EXPECT_FALSE(ngx_str_init(&s, "x", SIZE_MAX));
}

} // namespace

TEST(NgxStr, CopyAndUpdate) {
    ngx_str_t *a = ngx_str_new();
    ASSERT_NE(a, nullptr);
    std::string hello = "hello";
    ngx_str_t src = view(hello);
    ASSERT_TRUE(ngx_str_copy(a, &src));
    EXPECT_NE(a->data, src.data);
    EXPECT_FALSE(ngx_str_copy(a, &src));
    std::string other = "a longer text";
    ngx_str_t src2 = view(other);
    ASSERT_TRUE(ngx_str_update(a, &src2));
    EXPECT_EQ(text(*a), other);
    EXPECT_EQ(a->data[a->len], 0);
    ASSERT_TRUE(ngx_str_update(a, a));
    EXPECT_EQ(text(*a), other);
    ngx_str_delete(a);
}
