#include "proto/http_hop.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct HopCase {
    const char *name;
    std::string in, out; // out unused when refused
    http_hop_result_t result;
};

const HopCase kHopCases[] = {
    {"drops_every_hop_header_and_what_connection_names",
     "GET / HTTP/1.1\r\nX-Before: 1\r\nKEEP-ALIVE: 300\r\nHost: h\r\nTE: trailers\r\n"
     "Trailer: X\r\nconnection: Keep-Alive,  x-before ,x-after\r\nUpgrade: h2c\r\n"
     "X-After: 2\r\nClose: 1\r\nX-Kept: 3\r\n\r\nbody",
     "GET / HTTP/1.1\r\nHost: h\r\nX-Kept: 3\r\nConnection: close\r\n\r\nbody", HTTP_HOP_OK},
    {"head_ended_by_a_stray_colon_line", "GET / HTTP/1.1\nA: 1\n:\r\nbody",
     "GET / HTTP/1.1\nA: 1\nConnection: close\r\n:\r\nbody", HTTP_HOP_OK},
    {"upgrade_request_keeps_upgrade",
     "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nKeep-Alive: 1\r\n\r\n",
     "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\nConnection: upgrade, close\r\n\r\n", HTTP_HOP_OK},
    {"http09_has_no_headers", "GET /\r\n", "GET /\r\n", HTTP_HOP_OK},
    {"seventeen_named_headers",
     "GET / HTTP/1.1\r\nConnection: a,b,c,d,e,f,g,h,i\r\n"
     "Connection: j,k,l,m,n,o,p,q\r\n\r\n",
     "", HTTP_HOP_TOO_MANY},
    {"named_header_too_long", "GET / HTTP/1.1\r\nConnection: " + std::string(65, 'x') + "\r\n\r\n",
     "", HTTP_HOP_TOO_MANY},
    {"incomplete_head", "GET / HTTP/1.1\r\nHost: h\r\n", "", HTTP_HOP_MALFORMED},
};

class HopFilter : public testing::TestWithParam<HopCase> {};

// The buffer is exactly the request's size: the added line must grow it. Plain heads: end to end.
TEST_P(HopFilter, RewritesTheHeadToTheByte) {
    const HopCase &c = GetParam();
    buf_t b{};
    ASSERT_TRUE(buf_alloc(&b, c.in.size()));
    memcpy(b.start, c.in.data(), c.in.size());
    b.last = b.start + c.in.size();
    EXPECT_EQ(http_hop_filter(&b), c.result);
    if (c.result == HTTP_HOP_OK) {
        EXPECT_EQ(std::string(reinterpret_cast<char *>(b.pos), buf_size(&b)), c.out);
    }
    buf_free(&b);
}

INSTANTIATE_TEST_SUITE_P(Cases, HopFilter, testing::ValuesIn(kHopCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
