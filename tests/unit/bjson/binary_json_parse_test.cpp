#include "bjson/binary_json_parse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace {

// The text of a tree, or "<fail>".
std::string text_of(const bjson_val_t *v) {
    char *out = nullptr;
    size_t size = 0;
    if (!bjson_encode_to_str(v, &out, &size)) return "<fail>";
    EXPECT_EQ(out[size - 1], '\0');
    std::string s(out, size - 1);
    free(out);
    return s;
}

// Parses and prints again: "<fail>" when the parse fails.
std::string reparse(const std::string &in) {
    bjson_val_t *v = nullptr;
    if (!bjson_decode_from_str(&v, in.data(), in.size())) return "<fail>";
    std::string s = text_of(v);
    bjson_free(v);
    return s;
}

struct TextCase {
    std::string in;
    std::string out; // the tree printed again, or "<fail>"
};

const TextCase kTexts[] = {
    {"{\"a\":1,\"b\":2}", "{\"b\":2,\"a\":1}"}, // the table's order
    {"42", "<fail>"},                           // a number cannot end the text
    {"42\n", "42"},
    {"-7 ", "-7"},
    {"1e+5 ", "<fail>"},
    {"-1e-5 ", "<fail>"},
    {"1.5e2 ", "150.000000"},
    {"5. ", "5.000000"},
    {"1.0e300 ", "1.0000000000000001e300"}, // too wide for %f
    {"-2.0e60 ", "-1.9999999999999999e60"},
    {"{\"a\":1,}", "{\"a\":1}"},
    {"[1,]", "<fail>"},
    {"[1 , 2]", "[1,2]"},
    {"{ }", "{}"},
    {"[ ]", "[]"},
    {"\"\\u00e9\\u20AC\\/\"", "\"\xC3\xA9\xE2\x82\xAC\\/\""},
    {"\"a\\x\"", "<fail>"},
    {"\"\\u00g0\"", "<fail>"},
    {"\"open", "<fail>"},
    {"{\"a\":1,\"a\":2}", "<fail>"},
    {"{\"a\":1,\"A\":2}", "{\"a\":1,\"A\":2}"},
    {std::string("true\0garbage", 12), "true"},
    {"true x", "<fail>"},
    {"True", "<fail>"},
    {"nul", "<fail>"},
    {std::string("\x01") + "1 ", "<fail>"},
    {"18446744073709551616 ", "18446744073709551615"}, // integers clamp
    {"\"tab\there\"", "\"tab\\there\""},
    {R"("q\"s\\b\bf\fr\rt\t")", R"("q\"s\\b\bf\fr\rt\t")"},
};

TEST(BjsonText, ParsesAndPrints) {
    for (const auto &c : kTexts)
        EXPECT_EQ(reparse(c.in), c.out) << c.in;
}

// Doubles print as JSON at any magnitude: non-finite ones as null.
TEST(BjsonText, NonFiniteDoublesPrintAsNull) {
    for (double d : {NAN, INFINITY, -INFINITY}) {
        bjson_val_t *v = bjson_create();
        bjson_set_double(v, d);
        EXPECT_EQ(text_of(v), "null") << d;
        bjson_free(v);
    }
}

TEST(BjsonText, NestingIsBounded) {
    for (size_t depth : {size_t(BJSON_MAX_DEPTH), size_t(BJSON_MAX_DEPTH) + 1, size_t(100000)}) {
        std::string in = std::string(depth, '[') + std::string(depth, ']');
        EXPECT_EQ(reparse(in) != "<fail>", depth <= size_t(BJSON_MAX_DEPTH)) << depth;
    }
}

TEST(BjsonText, NoneInsideAContainerIsRefusedNotPrintedAsNothing) {
    bjson_val_t *a = bjson_create_array(1);
    bjson_array_add_int(a, 1);
    bjson_val_t *none = bjson_array_add_null(a);
    none->type = BJSON_NONE; // "[1,]" would not parse back
    EXPECT_EQ(text_of(a), "<fail>");
    bjson_free(a);
}

} // namespace
