#include "bjson/binary_json_raw.h"
#include "core/x_client.h"
#include "net/x_tovask.h"
#include "proto/socks5_udp_tun.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Frame reader limits the end-to-end suite cannot reach cheaply: (stream, result, frame length).
TEST(TunFrame, Limits) {
    const struct {
        Bytes stream;
        int rc;
        size_t len;
    } cases[] = {
        {{0, 0, 0, 1, 1, 2, 3, 4, 0, 9}, S5_UDP_TUN_FRAME, 10},
        {{0, 0, 1, 1, 1, 2, 3, 4, 0, 9}, S5_UDP_TUN_DROP, 10},
        {{0, 3, 0}, S5_UDP_TUN_MORE, 0},
        {{0, 3, 0, 3}, S5_UDP_TUN_MORE, 0},
        {{0xFF, 0xF6, 0, 1}, S5_UDP_TUN_MORE, 0},     // 10 + 65526 = 65536: waits for the rest
        {{0xFF, 0xF7, 0, 1}, S5_UDP_TUN_TOO_LONG, 0}, // one byte more
        {{0xFF, 0xF0, 0, 3, 200}, S5_UDP_TUN_TOO_LONG, 0},
        {{0, 1, 0, 3, 0, 0, 53, 'x'}, S5_UDP_TUN_SHORT, 0},
        {{0, 1, 7, 9}, S5_UDP_TUN_ATYP, 0},
    };
    for (const auto &t : cases) {
        s5_udp_tun_frame_t f{};
        EXPECT_EQ(s5_udp_tun_read_frame(t.stream.data(), t.stream.size(), &f), t.rc);
        EXPECT_EQ(t.len ? f.len : 0, t.len);
    }
}

struct Request {
    x_client_t c{};
    x_forward_t f{};
    std::string target, user, pass;
    Request(uint8_t model, size_t cred_len) : target(253, 't'), user(cred_len, 'u'), pass(user) {
        c.model = model;
        c.forward = &f;
        c.acl_match.target_host = {target.size(), reinterpret_cast<uint8_t *>(target.data())};
        c.acl_match.target_port = 443;
        f.username = {user.size(), reinterpret_cast<uint8_t *>(user.data())};
        f.password = {pass.size(), reinterpret_cast<uint8_t *>(pass.data())};
    }
    // The keys of the encoded request in order; empty when it was refused.
    std::vector<std::string> keys() {
        buf_t b{};
        std::vector<std::string> out;
        bjson_raw_object_ctx_t ctx;
        bjson_str_t k;
        if (x_tovask_encode_request(&c, 9000, &b) && bjson_raw_read_object(&b, &ctx))
            while (bjson_raw_read_object_key(&b, &ctx, &k, false) && bjson_raw_read_skip(&b))
                out.emplace_back(k.data, k.len);
        buf_free(&b);
        return out;
    }
};

TEST(AgentRequest, KeysByModelAndTheSizeLimit) {
    using K = std::vector<std::string>;
    EXPECT_EQ(Request(1, 10).keys(), (K{"a", "rd", "ro", "s", "pa", "po", "u", "p"}));
    EXPECT_EQ(Request(2, 10).keys(), (K{"a", "s", "pa", "po", "u", "p"}));
    // 1023 bytes still go; 1025 are refused, never cut.
    EXPECT_EQ(Request(1, 369).keys().size(), 8u);
    EXPECT_TRUE(Request(1, 370).keys().empty());
}

} // namespace
