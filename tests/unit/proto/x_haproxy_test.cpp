#include "proto/x_haproxy.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string text(const sockaddr_in &a) {
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

TEST(HaproxyV1, ParsesTcp4LinesStrictly) {
    const struct {
        std::string line;
        haproxy_v1_result_t result;
        const char *src = "", *dst = "";
    } cases[] = {
        {"PROXY TCP4 192.168.0.1 192.168.0.11 56324 443\r\n", HAPROXY_V1_OK, "192.168.0.1:56324",
         "192.168.0.11:443"},
        {"PROXY TCP4 1.1.1.1 1.1.1.1 1 1\r\n", HAPROXY_V1_OK, "1.1.1.1:1", "1.1.1.1:1"},
        {"PROXY TCP4 255.255.255.255 255.255.255.255 65535 65535\r\n", HAPROXY_V1_OK,
         "255.255.255.255:65535", "255.255.255.255:65535"},
        {"PROXY TCP6 ::1 ::1 1000 2000\r\n", HAPROXY_V1_PROTOCOL},
        {"PROXY UNKNOWN\r\n", HAPROXY_V1_PROTOCOL},
        {"PROXY TCP4\r\n", HAPROXY_V1_PROTOCOL},
        {"PROXY\r\n", HAPROXY_V1_SHORT},
        {"PROXY TCP4 1.1.1.1 1.1.1.1 1\r\n", HAPROXY_V1_SHORT},
        // Values that a lenient scanf would wrap into other addresses and ports.
        {"PROXY TCP4 256.1.1.1 1.1.1.1 1 1\r\n", HAPROXY_V1_ADDR},
        {"PROXY TCP4 1.1.1.1 1.1.1.1 65536 1\r\n", HAPROXY_V1_ADDR},
        {"PROXY TCP4 1.1.1.1 1.1.1.1 1 99999\r\n", HAPROXY_V1_ADDR},
        {"PROXY TCP4 1.1.1 1.1.1.1 10 10\r\n", HAPROXY_V1_ADDR},
        {"PROXY TCP4 1.1.1.1  1.1.1.1 1 1\r\n", HAPROXY_V1_ADDR},
        {"PROXY TCP4 1.1.1.1 1.1.1.1 1 1 x\r\n", HAPROXY_V1_ADDR},
        {"PROXY TCP4 1.1.1.1 1.1.1.1 -1 1\r\n", HAPROXY_V1_ADDR},
        {"PROXY TCP4 1.1.1.1 1.1.1.1 10 10\n\r\n", HAPROXY_V1_ADDR},
    };
    for (const auto &t : cases) {
        SCOPED_TRACE(t.line);
        sockaddr_in src{}, dst{};
        auto r = haproxy_parse_v1(reinterpret_cast<const uint8_t *>(t.line.data()), t.line.size(),
                                  &src, &dst);
        EXPECT_EQ(r, t.result) << haproxy_v1_error(r);
        if (r != HAPROXY_V1_OK) continue;
        EXPECT_EQ(src.sin_family, AF_INET);
        EXPECT_EQ(text(src), t.src);
        EXPECT_EQ(text(dst), t.dst);
    }
}

std::vector<uint8_t> v2(uint8_t cmd, uint8_t fam, uint16_t len) {
    std::vector<uint8_t> h(haproxy_v2_signature, haproxy_v2_signature + 12);
    h.push_back(cmd);
    h.push_back(fam);
    h.push_back(static_cast<uint8_t>(len >> 8));
    h.push_back(static_cast<uint8_t>(len));
    return h;
}

TEST(HaproxyV2, ChecksTheFixedHeader) {
    const struct {
        std::vector<uint8_t> head;
        const char *error; // null: accepted
    } cases[] = {
        {v2(0x21, 0x11, 12), nullptr},
        {v2(0x21, 0x11, 240), nullptr},
        {v2(0x20, 0x11, 12), "haproxy v2 ver_cmd error"}, // LOCAL
        {v2(0x11, 0x11, 12), "haproxy v2 ver_cmd error"},
        {v2(0x21, 0x21, 36), "haproxy v2 fam error"}, // IPv6
        {v2(0x21, 0x12, 12), "haproxy v2 fam error"}, // datagram
        {v2(0x21, 0x11, 241), "haproxy v2 header too long"},
        {v2(0x21, 0x11, 11), "haproxy v2 addr info miss"},
        {{'\r', '\n', 'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1'},
         "haproxy v2 header 12 bytes error"},
    };
    for (const auto &t : cases) {
        uint16_t len = 0;
        const char *err = haproxy_check_v2(t.head.data(), &len);
        if (t.error == nullptr) {
            EXPECT_EQ(err, nullptr) << err;
            EXPECT_EQ(len, t.head[14] << 8 | t.head[15]);
        } else {
            EXPECT_STREQ(err, t.error);
        }
    }
}

TEST(HaproxyV2, AddressesAndPortsStayInNetworkOrder) {
    const uint8_t block[12] = {203, 0, 113, 7, 10, 1, 2, 3, 0xC3, 0x50, 0x01, 0xBB};
    sockaddr_in src{}, dst{};
    haproxy_parse_v2_addrs(block, &src, &dst);
    EXPECT_EQ(text(src), "203.0.113.7:50000");
    EXPECT_EQ(text(dst), "10.1.2.3:443");
    EXPECT_EQ(dst.sin_family, AF_INET);
}

} // namespace
