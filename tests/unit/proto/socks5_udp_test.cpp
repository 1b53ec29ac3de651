#include "proto/socks5_udp.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

const uint8_t *bytes(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

TEST(S5UdpHeader, Parse) {
    struct Case {
        std::string dgram;
        int rc;
        uint16_t len;
        std::string target;
        uint16_t port;
    } cases[] = {
        {"\x00\x00\x00\x01\x7f\x00\x00\x01\x00\x35payload"s, S5_UDP_HEADER_OK, 10, "127.0.0.1", 53},
        {"\x00\x00\x00\x01\x0a\x00\x00\x01\x12\x34"s, S5_UDP_HEADER_OK, 10, "10.0.0.1", 0x1234},
        {"\x00\x00\x00\x03\x06"
         "a.test\x00\x50"
         "x"s,
         S5_UDP_HEADER_OK, 13, "a.test", 80},
        {"\x00\x00\x00\x03\x07"
         "a.test.\x00\x50"s,
         S5_UDP_HEADER_OK, 14, "a.test", 80},
        {"\x00\x00"s, S5_UDP_HEADER_SHORT, 0, "", 0},
        {"\x00\x00\x00"s, S5_UDP_HEADER_SHORT, 0, "", 0},
        {"\x00\x00\x00\x01\x7f\x00\x00\x01\x00"s, S5_UDP_HEADER_SHORT, 0, "", 0},
        {"\x00\x00\x00\x03"s, S5_UDP_HEADER_SHORT, 0, "", 0},
        {"\x00\x00\x00\x03\xc8"
         "abc"s,
         S5_UDP_HEADER_SHORT, 0, "", 0},                                  // claims 200 bytes
        {"\x00\x00\x00\x03\x00\x00\x50"s, S5_UDP_HEADER_SHORT, 0, "", 0}, // empty name
        {"\x00\x00\x01\x01\x7f\x00\x00\x01\x00\x35"s, S5_UDP_HEADER_FRAG, 0, "", 0},
        {"\x00\x00\x00\x04"s + std::string(18, '\0'), S5_UDP_HEADER_IPV6, 0, "", 0},
        {"\x00\x00\x00\x09\x00\x00\x00\x00\x00\x00"s, S5_UDP_HEADER_ATYP, 0, "", 0},
    };
    for (const Case &k : cases) {
        s5_udp_header_t h{};
        int rc = s5_udp_parse_header(bytes(k.dgram), k.dgram.size(), &h);
        ASSERT_EQ(rc, k.rc) << k.dgram.size();
        if (rc != S5_UDP_HEADER_OK) continue;
        EXPECT_EQ(h.len, k.len);
        EXPECT_EQ(h.port, k.port);
        char text[256];
        int n = s5_udp_header_target(&h, text);
        EXPECT_EQ(std::string(text, static_cast<size_t>(n)), k.target);
    }
    // A name of a single dot leaves nothing to resolve.
    std::string dot = "\x00\x00\x00\x03\x01.\x00\x50"s;
    s5_udp_header_t h{};
    ASSERT_EQ(s5_udp_parse_header(bytes(dot), dot.size(), &h), S5_UDP_HEADER_OK);
    char text[256];
    EXPECT_EQ(s5_udp_header_target(&h, text), -1);
}

TEST(S5UdpHeader, SameDestination) {
    std::string host = "udp.test";
    x_acl_match_t checked{{host.size(), reinterpret_cast<uint8_t *>(host.data())}, 53};
    std::string ip = "127.0.0.1";
    x_acl_match_t checked_ip{{ip.size(), reinterpret_cast<uint8_t *>(ip.data())}, 53};
    struct Case {
        std::string dgram;
        const x_acl_match_t *against;
        bool same;
    } cases[] = {
        {"\x00\x00\x00\x03\x08"
         "udp.test\x00\x35"s,
         &checked, true},
        {"\x00\x00\x00\x03\x09"
         "udp.test.\x00\x35"s,
         &checked, true},
        {"\x00\x00\x00\x03\x08"
         "UDP.Test\x00\x35"s,
         &checked, true},
        {"\x00\x00\x00\x03\x08"
         "udp.test\x00\x36"s,
         &checked, false},
        {"\x00\x00\x00\x03\x08"
         "udp.tesu\x00\x35"s,
         &checked, false},
        {"\x00\x00\x00\x03\x09"
         "xudp.test\x00\x35"s,
         &checked, false},
        {"\x00\x00\x00\x01\x7f\x00\x00\x01\x00\x35"s, &checked_ip, true},
        {"\x00\x00\x00\x01\x7f\x00\x00\x02\x00\x35"s, &checked_ip, false},
        {"\x00\x00\x00\x03\x09"
         "127.0.0.1\x00\x35"s,
         &checked_ip, true},
        {"\x00\x00\x00\x01\x7f\x00\x00\x01\x00\x35"s, &checked, false},
    };
    for (const Case &k : cases) {
        s5_udp_header_t h{};
        ASSERT_EQ(s5_udp_parse_header(bytes(k.dgram), k.dgram.size(), &h), S5_UDP_HEADER_OK);
        EXPECT_EQ(s5_udp_same_destination(&h, k.against), k.same) << k.dgram.substr(5);
    }
}

} // namespace
