#include "bjson/binary_json.h"
#include "bjson/binary_json_raw.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cmath>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Tree {
    bjson_val_t *v;
    explicit Tree(bjson_val_t *val) : v(val) {}
    ~Tree() { bjson_free(v); }
};

Bytes encode(const bjson_val_t *v) {
    uint8_t *out = nullptr;
    size_t size = 0;
    if (!bjson_encode(v, &out, &size)) return {};
    EXPECT_EQ(size, bjson_get_encode_size(v));
    Bytes b(out, out + size);
    free(out);
    return b;
}

// The bytes that write(buf, args...) puts in an empty buffer.
template <typename F, typename... A> Bytes raw(F write, A... args) {
    buf_t buf = {};
    EXPECT_TRUE(write(&buf, args...));
    Bytes b(buf.pos, buf.last);
    buf_free(&buf);
    return b;
}

Bytes str_bytes(uint8_t tag, std::initializer_list<uint8_t> len_bytes, size_t n) {
    Bytes b{tag};
    b.insert(b.end(), len_bytes);
    b.insert(b.end(), n, 'x');
    return b;
}

// The encoding of a one-value tree made by set(v, args...).
template <typename F, typename... A> Bytes tree(F set, A... args) {
    Tree t(bjson_create());
    set(t.v, args...);
    return encode(t.v);
}

Bytes tree_string(size_t n) {
    std::string s(n, 'x');
    return tree([&](bjson_val_t *v) { EXPECT_TRUE(bjson_set_string(v, s.data(), n, true)); });
}

// The tag, count and key table of an object with keys of these lengths.
Bytes table(std::vector<uint32_t> lengths) {
    return raw(bjson_raw_write_object_by_array, lengths.size(), lengths.data());
}

// An object with one member, set by set(m, value).
template <typename F, typename T> Bytes member(const char *key, F set, T value) {
    Tree o(bjson_create_object(1));
    set(bjson_object_set_null(o.v, key, false), value);
    return encode(o.v);
}

Bytes raw_abc() {
    return raw([](buf_t *b) {
        bool ok = bjson_raw_write_object(b, 3, "a", "b", "c");
        for (int i = 0; i < 3; ++i)
            ok = ok && bjson_raw_write_object_key(b, &"abc"[i], 1) && bjson_raw_write_int(b, i + 1);
        return ok;
    });
}

Bytes decode_encode(Bytes in) {
    bjson_val_t *v = nullptr;
    EXPECT_TRUE(bjson_decode(&v, in.data(), in.size(), false));
    return encode(Tree(v).v);
}

TEST(BjsonBinary, ByteVectors) {
    struct {
        const char *name;
        Bytes got, want;
    } cases[] = {
        {"int 0", tree(bjson_set_int, 0), {0x20}},
        {"int -1", tree(bjson_set_int, -1), {0x11}},
        {"int 32", tree(bjson_set_int, 32), {0x03, 0x20}},
        {"int -16", tree(bjson_set_int, -16), {0x03, 0xF0}},
        {"int 128", tree(bjson_set_int, 128), {0x04, 0x80, 0x00}},
        {"int 2^31", tree(bjson_set_int, 1ll << 31), {0x06, 0, 0, 0, 0x80, 0, 0, 0, 0}},
        {"uint 2^64-1", tree(bjson_set_uint, UINT64_MAX), {0x11}},
        {"uint 2^31", tree(bjson_set_uint, 1ull << 31), {0x09, 0, 0, 0, 0x80, 0, 0, 0, 0}},
        {"raw uint 2^64-1",
         raw(bjson_raw_write_uint, UINT64_MAX),
         {0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"raw uint 200", raw(bjson_raw_write_uint, 200), {0x04, 0xC8, 0x00}},
        {"float 1.5", tree(bjson_set_float, 1.5f), {0x07, 0, 0, 0xC0, 0x3F}},
        {"string hi", raw(bjson_raw_write_string, "hi", 2), {0x42, 'h', 'i'}},
        {"string 31", tree_string(31), str_bytes(0x5F, {}, 31)},
        {"string 32", tree_string(32), str_bytes(0x60, {0x01}, 32)},
        {"string 1000", tree_string(1000), str_bytes(0x68, {0x1F}, 1000)},
        {"empty array", encode(Tree(bjson_create_array(0)).v), {0xC0}},
        {"empty object", encode(Tree(bjson_create_object(4)).v), {0x80}},
        {"{id:7}", member("id", bjson_set_int, 7), {0x81, 0x20, 'i', 'd', 0x27}},
        {"{abcdefgh:true}",
         member("abcdefgh", bjson_set_bool, true),
         {0x81, 0x81, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x01}},
        {"table 2,10", table({2, 10}), {0x82, 0x2A, 0x10}},
        {"table 16", table({16}), {0x81, 0x82}},
        {"table 64", table({64}), {0x81, 0x88, 0x10}},
        {"table 300", table({300}), {0x81, 0xCD, 0x40}},
        {"raw a,b,c = 1,2,3", raw_abc(), {0x83, 0x11, 0x10, 'a', 0x21, 'b', 0x22, 'c', 0x23}},
        {"decoded object re-encodes in table order",
         decode_encode({0x82, 0x11, 'a', 0x21, 'b', 0x22}),
         {0x82, 0x11, 'b', 0x22, 'a', 0x21}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.got, c.want) << c.name;
}

struct DecodeCase {
    const char *name;
    Bytes in;
    bool ok;
    bjson_val_type type; // of the root on success
};

// Six bytes that claim 2^37 members, tables and lengths past the input, LEB128 beyond 64 bits.
const DecodeCase kDecodes[] = {
    {"unsigned 5 decodes as INT", {0x25}, true, BJSON_INT},
    {"0x09 decodes as UINT", {0x09, 0, 0, 0, 0x80, 0, 0, 0, 0}, true, BJSON_UINT},
    {"0x10 reads as zero", {0x10}, true, BJSON_INT},
    {"one byte left over", {0x20, 0x00}, false, BJSON_NONE},
    {"unassigned tag", {0x0A}, false, BJSON_NONE},
    {"truncated int", {0x05, 1, 2}, false, BJSON_NONE},
    {"duplicate key", {0x82, 0x11, 'a', 0x21, 'a', 0x22}, false, BJSON_NONE},
    {"empty key", {0x81, 0x00, 0x20}, false, BJSON_NONE},
    {"object count 2^37", {0xA0, 0x80, 0x80, 0x80, 0x80, 0x01}, false, BJSON_NONE},
    {"array count 2^37", {0xE0, 0x80, 0x80, 0x80, 0x80, 0x01}, false, BJSON_NONE},
    {"array count above the bytes", {0xC3, 0x20, 0x20}, false, BJSON_NONE},
    {"string past the end", {0x45, 'a'}, false, BJSON_NONE},
    {"LEB128 over 64 bits",
     {0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
     false,
     BJSON_NONE},
    {"table past the input", {0x82, 0x99, 0x99, 0x99}, false, BJSON_NONE},
    {"key length 2^32", {0x81, 0x88, 0x88, 0x88, 0x88, 0x88, 0x40, 0x20}, false, BJSON_NONE},
    {"key past the input", {0x81, 0x50, 'a', 'b'}, false, BJSON_NONE},
};

TEST(BjsonBinary, DecodeChecksEverythingAgainstTheInput) {
    for (const auto &c : kDecodes) {
        bjson_val_t *v = nullptr;
        EXPECT_EQ(bjson_decode(&v, c.in.data(), c.in.size(), true), c.ok) << c.name;
        // The streamed skip agrees on what is one whole value.
        auto *in = const_cast<uint8_t *>(c.in.data());
        buf_t b = {in, in + c.in.size(), in, in + c.in.size()};
        bool skipped = bjson_raw_read_skip(&b);
        if (c.ok) {
            EXPECT_EQ(v->type, c.type) << c.name;
            EXPECT_TRUE(skipped && b.pos == b.last) << c.name;
        }
        bjson_free(v);
    }
}

TEST(BjsonBinary, NestingIsBoundedInDecodeAndSkip) {
    for (size_t depth : {size_t(BJSON_MAX_DEPTH), size_t(BJSON_MAX_DEPTH) + 1, size_t(100000)}) {
        Bytes in(depth - 1, 0xC1);
        in.push_back(0xC0);
        bjson_val_t *v = nullptr;
        bool ok = depth <= size_t(BJSON_MAX_DEPTH);
        EXPECT_EQ(bjson_decode(&v, in.data(), in.size(), false), ok) << depth;
        bjson_free(v);
        buf_t b = {in.data(), in.data() + in.size(), in.data(), in.data() + in.size()};
        EXPECT_EQ(bjson_raw_read_skip(&b), ok) << depth;
    }
}

TEST(BjsonBinary, EmptyKeyAndNoneElementsAreRefusedNotMisencoded) {
    Tree o(bjson_create_object(1));
    ASSERT_NE(bjson_object_set_int(o.v, "", false, 1), nullptr);
    EXPECT_EQ(bjson_get_encode_size(o.v), 0u);
    buf_t b = {};
    ASSERT_TRUE(bjson_raw_write_int(&b, 9));
    EXPECT_FALSE(bjson_encode_with_buf(o.v, &b));
    EXPECT_EQ(buf_size(&b), 1u); // the earlier value stays, nothing after it
    uint32_t zero = 0;
    EXPECT_FALSE(bjson_raw_write_object_by_array(&b, 1, &zero));
    EXPECT_FALSE(bjson_raw_write_object(&b, 2, "a", ""));
    EXPECT_EQ(buf_size(&b), 1u);
    buf_free(&b);
    Tree a(bjson_create_array(2));
    bjson_val_t *none = bjson_create();
    none->type = BJSON_NONE;
    ASSERT_TRUE(bjson_array_add(a.v, none));
    EXPECT_EQ(bjson_get_encode_size(a.v), 0u);
}

TEST(BjsonRaw, ReadersTakeTheirTagsAndConvert) {
    buf_t b = {};
    uint32_t lens[] = {3, 1};
    ASSERT_TRUE(bjson_raw_write_object_by_array(&b, 2, lens) &&
                bjson_raw_write_object_key(&b, "num", 3) && bjson_raw_write_double(&b, -2.75) &&
                bjson_raw_write_object_key(&b, "s", 1) && bjson_raw_write_array(&b, 2) &&
                bjson_raw_write_string(&b, "xy", 2) && bjson_raw_write_float(&b, 1e20f));
    bjson_raw_object_ctx_t ctx;
    bjson_str_t key;
    int64_t i = 0;
    uint64_t u = 0;
    size_t n = 0;
    bjson_val_type t;
    ASSERT_TRUE(bjson_raw_read_object(&b, &ctx));
    EXPECT_EQ(ctx.len, 2u);
    ASSERT_TRUE(bjson_raw_read_object_key(&b, &ctx, &key, false));
    EXPECT_TRUE(bjson_str_equals_str(&key, "num", 3));
    ASSERT_TRUE(bjson_raw_current_type(&b, &t));
    EXPECT_EQ(t, BJSON_DOUBLE);
    buf_t again = b;
    ASSERT_TRUE(bjson_raw_read_int(&b, &i));
    EXPECT_EQ(i, -2);
    EXPECT_FALSE(bjson_raw_read_string(&again, &key, false)); // wrong tag
    ASSERT_TRUE(bjson_raw_read_object_key(&b, &ctx, &key, true));
    EXPECT_STREQ(key.data, "s");
    bjson_str_free(&key);
    EXPECT_FALSE(bjson_raw_read_object_key(&b, &ctx, &key, false)); // after the last key
    ASSERT_TRUE(bjson_raw_read_array_len(&b, &n));
    EXPECT_EQ(n, 2u);
    ASSERT_TRUE(bjson_raw_read_skip(&b));
    ASSERT_TRUE(bjson_raw_read_uint(&b, &u));
    EXPECT_EQ(u, UINT64_MAX); // 1e20 saturates
    EXPECT_EQ(buf_size(&b), 0u);
    buf_free(&b);
}

TEST(BjsonTree, ReadersFollowTheKindRules) {
    Tree o(bjson_create_object(0));
    bjson_object_set_uint(o.v, "big", false, 1ull << 63);
    bjson_object_set_double(o.v, "d", false, 2.5);
    bjson_object_set_double(o.v, "nan", false, NAN);
    int64_t i = 0;
    float f = 0;
    ASSERT_TRUE(bjson_object_get_int(o.v, "big", &i));
    EXPECT_EQ(i, INT64_MIN);
    EXPECT_EQ(bjson_get_double(bjson_object_get(o.v, "big")), 9223372036854775808.0);
    EXPECT_FALSE(bjson_object_get_float(o.v, "d", &f));
    EXPECT_FALSE(bjson_object_get_int(o.v, "d", &i));
    double d = 0;
    EXPECT_TRUE(bjson_object_get_double(o.v, "d", &d) && d == 2.5);
    EXPECT_EQ(bjson_get_float(bjson_object_get(o.v, "d")), 2.5f);
    EXPECT_TRUE(bjson_get_bool(bjson_object_get(o.v, "nan")));
    EXPECT_EQ(bjson_get_int(bjson_object_get(o.v, "d")), 2);
    EXPECT_FALSE(bjson_object_get_int(o.v, "Big", &i)); // names are case-sensitive
}

TEST(BjsonTree, ReplacingPreparesTheNewBeforeFreeingTheOld) {
    Tree o(bjson_create_object(0));
    bjson_val_t *old = bjson_object_set_string(o.v, "name", true, "old-text", 8, true);
    ASSERT_NE(old, nullptr);
    // The same member set again under its own name stays.
    EXPECT_TRUE(bjson_object_set(o.v, "name", false, old));
    // A key borrowed from the old member, and text borrowed from its string.
    bjson_val_t *repl = bjson_create();
    ASSERT_TRUE(bjson_set_string(repl, old->s.data, 3, false));
    ASSERT_TRUE(bjson_object_set(o.v, old->key.data, false, repl));
    EXPECT_EQ(bjson_object_len(o.v), 1u);
    EXPECT_EQ(bjson_object_get(o.v, "name"), repl);
    EXPECT_EQ(std::string(bjson_get_string(repl), 3), "old");
    // A string set from its own text.
    ASSERT_TRUE(bjson_set_string(repl, bjson_get_string(repl) + 1, 2, false));
    EXPECT_EQ(std::string(bjson_get_string(repl), 2), "ld");
    // Array slot replaced by itself and by a new value.
    Tree a(bjson_create_array(0));
    bjson_val_t *e0 = bjson_array_add_int(a.v, 1);
    bjson_array_add_int(a.v, 2);
    EXPECT_TRUE(bjson_array_set(a.v, 0, e0));
    EXPECT_TRUE(bjson_array_del(a.v, 1));
    EXPECT_TRUE(bjson_array_del(a.v, 5));
    EXPECT_EQ(bjson_array_len(a.v), 1u);
    EXPECT_TRUE(bjson_set_object(o.v, 99));
    EXPECT_EQ(bjson_object_len(o.v), 1u); // an object stays an object with its members
}

} // namespace
