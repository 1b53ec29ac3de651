#include "proto/http_hop.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct HopCase {
    const char *name;
    std::string in;
    std::string out; // empty: refused
    http_hop_result_t result;
};

// Runs the filter on a buffer exactly as large as the request, so the added line must grow it.
std::string filter(const std::string &in, http_hop_result_t *result) {
    buf_t b{};
    EXPECT_TRUE(buf_alloc(&b, in.size()));
    memcpy(b.start, in.data(), in.size());
    b.last = b.start + in.size();
    *result = http_hop_filter(&b);
    std::string out(reinterpret_cast<char *>(b.pos), buf_size(&b));
    buf_free(&b);
    return out;
}

const std::string kNames = "Connection: " + [] {
    std::string s;
    for (int i = 0; i < 17; i++)
        s += "x-" + std::to_string(i) + ",";
    return s;
}() + "\r\n";

const HopCase kHopCases[] = {
    {"adds_close_and_keeps_the_rest", "GET / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n\r\n",
     "GET / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\nConnection: close\r\n\r\n", HTTP_HOP_OK},
    {"drops_every_hop_header_and_what_connection_names",
     "GET / HTTP/1.1\r\nX-Before: 1\r\nKEEP-ALIVE: 300\r\nHost: h\r\nTE: trailers\r\n"
     "Trailer: X\r\nconnection: Keep-Alive,  x-before ,x-after\r\nUpgrade: h2c\r\n"
     "X-After: 2\r\nX-Kept: 3\r\n\r\n",
     "GET / HTTP/1.1\r\nHost: h\r\nX-Kept: 3\r\nConnection: close\r\n\r\n", HTTP_HOP_OK},
    {"body_bytes_follow_unchanged",
     "POST /p HTTP/1.0\r\nConnection: keep-alive\r\nContent-Length: 4\r\n\r\nbody",
     "POST /p HTTP/1.0\r\nContent-Length: 4\r\nConnection: close\r\n\r\nbody", HTTP_HOP_OK},
    {"lf_only_lines_get_an_lf_only_line", "GET / HTTP/1.1\nHost: h\n\n",
     "GET / HTTP/1.1\nHost: h\nConnection: close\n\n", HTTP_HOP_OK},
    {"upgrade_request_keeps_upgrade",
     "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nKeep-Alive: 1\r\n\r\n",
     "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: upgrade, close\r\n\r\n", HTTP_HOP_OK},
    {"upgrade_header_alone_is_no_upgrade", "GET / HTTP/1.1\r\nUpgrade: h2c\r\n\r\n",
     "GET / HTTP/1.1\r\nConnection: close\r\n\r\n", HTTP_HOP_OK},
    {"head_ended_by_a_stray_colon_line", "GET / HTTP/1.1\nA: 1\n:\r\nbody",
     "GET / HTTP/1.1\nA: 1\nConnection: close\r\n:\r\nbody", HTTP_HOP_OK},
    {"http09_has_no_headers", "GET /\r\n", "GET /\r\n", HTTP_HOP_OK},
    {"too_many_named_headers", "GET / HTTP/1.1\r\n" + kNames + "\r\n", "", HTTP_HOP_TOO_MANY},
    {"incomplete_head", "GET / HTTP/1.1\r\nHost: h\r\n", "", HTTP_HOP_MALFORMED},
};

class HopFilter : public testing::TestWithParam<HopCase> {};

TEST_P(HopFilter, RewritesTheHeadToTheByte) {
    const HopCase &c = GetParam();
    http_hop_result_t r;
    std::string out = filter(c.in, &r);
    EXPECT_EQ(r, c.result);
    if (c.result == HTTP_HOP_OK) {
        EXPECT_EQ(out, c.out);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HopFilter, testing::ValuesIn(kHopCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
