#include "bjson/binary_json_raw.h"
#include "core/x_client.h"
#include "net/x_tovask.h"
#include "proto/socks5_udp_tun.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame(const Bytes &head, size_t payload) {
    Bytes f = head;
    f.resize(head.size() + payload, 'x');
    return f;
}

// (stream, result, whole frame length, payload start)
struct FrameCase {
    const char *name;
    Bytes stream;
    int rc;
    size_t len, payload_at;
};

const FrameCase kFrames[] = {
    {"ipv4", frame({0, 3, 0, 1, 127, 0, 0, 1, 0, 53}, 3), S5_UDP_TUN_FRAME, 13, 10},
    {"name", frame({0, 1, 0, 3, 2, 'a', 'b', 0, 53}, 1), S5_UDP_TUN_FRAME, 10, 9},
    {"empty payload", {0, 0, 0, 1, 1, 2, 3, 4, 0, 9}, S5_UDP_TUN_FRAME, 10, 10},
    {"payload missing a byte", frame({0, 3, 0, 1, 127, 0, 0, 1, 0, 53}, 2), S5_UDP_TUN_MORE, 0, 0},
    {"three bytes", {0, 3, 0}, S5_UDP_TUN_MORE, 0, 0},
    {"name length unread", {0, 3, 0, 3}, S5_UDP_TUN_MORE, 0, 0},
    {"fragment skipped whole", frame({0, 2, 1, 1, 1, 2, 3, 4, 0, 9}, 2), S5_UDP_TUN_DROP, 12, 0},
    {"ipv6 skipped whole",
     frame({0, 1, 0, 4, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0, 9}, 1),
     S5_UDP_TUN_DROP, 23, 0},
    {"largest", {0xFF, 0xF6, 0, 1}, S5_UDP_TUN_MORE, 0, 0}, // 10 + 65526 = 65536: waits
    {"one byte too long", {0xFF, 0xF7, 0, 1}, S5_UDP_TUN_TOO_LONG, 0, 0},
    {"long name too long", {0xFF, 0xF0, 0, 3, 200}, S5_UDP_TUN_TOO_LONG, 0, 0},
    {"empty name", {0, 1, 0, 3, 0, 0, 53, 'x'}, S5_UDP_TUN_SHORT, 0, 0},
    {"unknown type", {0, 1, 0, 9}, S5_UDP_TUN_ATYP, 0, 0},
};

class TunFrame : public testing::TestWithParam<FrameCase> {};

TEST_P(TunFrame, Reads) {
    const FrameCase &t = GetParam();
    s5_udp_tun_frame_t f{};
    ASSERT_EQ(s5_udp_tun_read_frame(t.stream.data(), t.stream.size(), &f), t.rc);
    if (t.rc == S5_UDP_TUN_FRAME || t.rc == S5_UDP_TUN_DROP) {
        EXPECT_EQ(f.len, t.len);
    }
    if (t.rc == S5_UDP_TUN_FRAME) {
        EXPECT_EQ(f.header.len, t.payload_at);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TunFrame, testing::ValuesIn(kFrames), [](const auto &info) {
    std::string n = info.param.name;
    for (char &ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return n;
});

TEST(TunFrame, HeaderTowardsTheClient) {
    uint8_t out[S5_UDP_TUN_DOWN_HEADER];
    s5_udp_tun_write_header(out, 0x1234, inet_addr("10.1.2.3"), htons(53));
    EXPECT_EQ(Bytes(out, out + sizeof out), (Bytes{0x12, 0x34, 0, 1, 10, 1, 2, 3, 0, 53}));
}

TEST(AgentHello, Reads) {
    const Bytes hello = {0xAC, 0x7B, 0x5A, 0x01, 0x02, 0x03, 0x04, 0, 0, 0xEA, 0x60};
    x_tovask_hello_t h{};
    for (size_t cut = 0; cut < hello.size(); cut++)
        EXPECT_EQ(x_tovask_read_hello(hello.data(), cut, &h), X_TOVASK_HELLO_MORE) << cut;
    ASSERT_EQ(x_tovask_read_hello(hello.data(), hello.size(), &h), X_TOVASK_HELLO_OK);
    EXPECT_EQ(h.code_key, 0x5A);
    EXPECT_EQ(h.session, 0x01020304u);
    EXPECT_EQ(h.idle_timeout, 60000u);
    // A wrong magic is known from its first byte on.
    EXPECT_EQ(x_tovask_read_hello(Bytes{0x7B}.data(), 1, &h), X_TOVASK_HELLO_BAD);
    EXPECT_EQ(x_tovask_read_hello(Bytes{0xAC, 0x7C}.data(), 2, &h), X_TOVASK_HELLO_BAD);
}

TEST(AgentXor, EveryByteAndBack) {
    Bytes data(37);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 7);
    Bytes x = data;
    xor_encrypt_data(x.data(), x.size(), 0xA5);
    for (size_t i = 0; i < data.size(); i++)
        ASSERT_EQ(x[i], data[i] ^ 0xA5) << i;
    xor_encrypt_data(x.data(), x.size(), 0xA5);
    EXPECT_EQ(x, data);
    xor_encrypt_data(x.data(), x.size(), 0);
    EXPECT_EQ(x, data);
}

// The keys of an encoded request, in order.
std::vector<std::string> keys_of(buf_t *b) {
    bjson_raw_object_ctx_t ctx;
    std::vector<std::string> keys;
    if (!bjson_raw_read_object(b, &ctx)) return keys;
    bjson_str_t k;
    while (bjson_raw_read_object_key(b, &ctx, &k, false)) {
        keys.emplace_back(k.data, k.len);
        if (!bjson_raw_read_skip(b)) return {};
    }
    return keys;
}

struct Request {
    x_client_t c{};
    x_forward_t f{};
    std::string target, user, pass;
    Request(uint8_t model, size_t target_len, size_t cred_len)
        : target(target_len, 't'), user(cred_len, 'u'), pass(cred_len, 'p') {
        c.model = model;
        c.forward = &f;
        c.acl_match.target_host = {target.size(), reinterpret_cast<uint8_t *>(target.data())};
        c.acl_match.target_port = 443;
        f.username = {user.size(), reinterpret_cast<uint8_t *>(user.data())};
        f.password = {pass.size(), reinterpret_cast<uint8_t *>(pass.data())};
    }
};

TEST(AgentRequest, KeysByModelAndTheSizeLimit) {
    const std::vector<std::string> tcp = {"a", "rd", "ro", "s", "pa", "po", "u", "p"};
    const std::vector<std::string> udp = {"a", "s", "pa", "po", "u", "p"};
    for (uint8_t model : {1, 2}) {
        Request r(model, 20, 10);
        buf_t b{};
        ASSERT_TRUE(x_tovask_encode_request(&r.c, 9000, &b));
        EXPECT_EQ(keys_of(&b), model == 1 ? tcp : udp);
        buf_free(&b);
    }
    // The largest names still fit; a byte more and the request is refused, never cut.
    Request fits(1, 253, 369), over(1, 253, 370); // 1023 and 1025 bytes
    buf_t a{}, b{};
    EXPECT_TRUE(x_tovask_encode_request(&fits.c, 9000, &a));
    EXPECT_LE(buf_size(&a), X_TOVASK_REQUEST_MAX);
    EXPECT_FALSE(x_tovask_encode_request(&over.c, 9000, &b));
    buf_free(&a);
    buf_free(&b);
}

TEST(AgentAnswer, Decodes) {
    int64_t code = -1;
    uint32_t session = 0;
    // {"c": 0, "s": 7}, then with an extra key before them, then lacking "s".
    EXPECT_TRUE(
        x_tovask_decode_answer(Bytes{0x82, 0x11, 'c', 0x20, 's', 0x27}.data(), 6, &code, &session));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(session, 7u);
    Bytes extra = {0x83, 0x11, 0x10, 'x', 0x41, 'y', 'c', 0x11, 's', 0x05, 4, 3, 2, 1};
    EXPECT_TRUE(x_tovask_decode_answer(extra.data(), extra.size(), &code, &session));
    EXPECT_EQ(code, -1);
    EXPECT_EQ(session, 0x01020304u);
    EXPECT_FALSE(x_tovask_decode_answer(Bytes{0x81, 0x10, 'c', 0x20}.data(), 4, &code, &session));
    EXPECT_FALSE(x_tovask_decode_answer(Bytes{0x82, 0x11, 'c', 0x20}.data(), 4, &code, &session));
}

} // namespace
