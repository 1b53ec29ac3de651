// Binary JSON messages for the remote-authentication tests: values and objects as byte strings.
#pragma once

#include "bjson/binary_json_raw.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline std::string bj_take(buf_t &b) {
    std::string s(reinterpret_cast<char *>(b.pos), buf_size(&b));
    buf_free(&b);
    return s;
}
inline std::string I(int64_t v) {
    buf_t b{};
    (void)bjson_raw_write_int(&b, v);
    return bj_take(b);
}
inline std::string S(std::string_view v) {
    buf_t b{};
    (void)bjson_raw_write_string(&b, v.data(), v.size());
    return bj_take(b);
}
inline std::string L(const std::vector<std::string> &items) {
    buf_t b{};
    (void)bjson_raw_write_array(&b, items.size());
    std::string s = bj_take(b);
    for (auto &i : items)
        s += S(i);
    return s;
}
using Members = std::vector<std::pair<std::string, std::string>>;
inline std::string obj(const Members &m) {
    std::vector<uint32_t> lens;
    for (auto &kv : m)
        lens.push_back(static_cast<uint32_t>(kv.first.size()));
    buf_t b{};
    (void)bjson_raw_write_object_by_array(&b, lens.size(), lens.data());
    std::string s = bj_take(b);
    for (auto &kv : m)
        s += kv.first + kv.second;
    return s;
}
