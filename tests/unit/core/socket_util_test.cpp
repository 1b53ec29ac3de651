#include "core/socket_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>

TEST(SocketUtil, IsIpAddr) {
    struct Case {
        const char *text;
        size_t len;       // SIZE_MAX: the whole text
        const char *want; // dotted form of the result; "0.0.0.0" for no address
    };
    const Case cases[] = {
        {"10.0.0.1", SIZE_MAX, "10.0.0.1"},
        {"10.0.0.1", 7, "10.0.0.0"}, // cut before the last digit
        {"255.255.255.255", SIZE_MAX, "255.255.255.255"},
        {"1.2.3.4abc", 7, "1.2.3.4"}, // only the first host_len characters count
        {"1.2.3", SIZE_MAX, "0.1.2.3"},
        {"5", SIZE_MAX, "0.0.0.5"},
        {"1..2.3", SIZE_MAX, "1.0.2.3"},
        {"", 0, "0.0.0.0"},
        {"10.0.0.1", 0, "0.0.0.0"},
        {"10.0.a.1", SIZE_MAX, "0.0.0.0"},
        {"10.0.0.1 ", SIZE_MAX, "0.0.0.0"},
        {"-1.0.0.1", SIZE_MAX, "0.0.0.0"},
        {"1.2.3.4.5", SIZE_MAX, "0.0.0.0"},
        {"1.2.3.4.", SIZE_MAX, "0.0.0.0"},
        {"10.0.0.256", SIZE_MAX, "0.0.0.0"}, // would otherwise read as 10.0.1.0
        {"300.1.1.1", SIZE_MAX, "0.0.0.0"},
        {"99999999999999999999", SIZE_MAX, "0.0.0.0"},
    };
    for (const auto &c : cases) {
        size_t len = c.len == SIZE_MAX ? strlen(c.text) : c.len;
        EXPECT_EQ(is_ip_addr(c.text, len), inet_addr(c.want)) << c.text << " len " << len;
    }
    EXPECT_EQ(is_ip_addr(nullptr, 4), 0u);
}

// The host's own and private networks, for literals and resolved addresses of both families.
TEST(SocketUtil, LocalAndInternalAddresses) {
    const struct {
        const char *text;
        bool local, internal;
    } cases[] = {
        {"127.255.255.254", true, false}, {"0.1.2.3", true, false},
        {"169.254.169.254", true, false}, {"169.255.0.1", false, false},
        {"172.16.0.1", false, true},      {"172.32.0.1", false, false},
        {"[::1]", true, false},           {"::", true, false},
        {"febf::1", true, false},         {"fec0::1", false, false},
        {"::ffff:10.1.1.1", false, true},
    };
    for (const auto &c : cases) {
        struct sockaddr_storage ss;
        ASSERT_TRUE(parse_addr_literal(c.text, strlen(c.text), &ss)) << c.text;
        EXPECT_EQ(is_local_addr(&ss), c.local) << c.text;
        EXPECT_EQ(is_internal_addr(&ss), c.internal) << c.text;
    }
}

TEST(SocketUtil, AliasName) {
    struct Case {
        const char *device;
        size_t len; // SIZE_MAX: the whole device text
        const char *ip;
        const char *want; // "" when no alias name can be made
    };
    const Case cases[] = {
        {"eth1", SIZE_MAX, "192.168.7.9", "eth1:a80709"},
        {"eth0", SIZE_MAX, "10.1.2.3", "eth0:10203"},
        {"eth0", SIZE_MAX, "11.1.2.3", "eth0:10203"}, // shares the name of 10.1.2.3
        {"eth0", SIZE_MAX, "10.0.0.0", "eth0:0"},
        {"eth0xyz", 4, "10.0.0.1", "eth0:1"},
        {"enp0s31f6", SIZE_MAX, "10.255.255.255", "enp0s31f6:fffff"}, // cut to 15
        {"abcdefghijklm", SIZE_MAX, "10.171.0.0", "abcdefghijklm:a"},
        {"abcdefghijklmn", SIZE_MAX, "10.1.2.3", ""},  // no room for a hex digit
        {"abcdefghijklmno", SIZE_MAX, "10.1.2.3", ""}, // would name the device itself
        {"", SIZE_MAX, "10.1.2.3", ""},
    };
    for (const auto &c : cases) {
        char out[NETCARD_ALIAS_NAME_MAX + 1];
        size_t len = c.len == SIZE_MAX ? strlen(c.device) : c.len;
        EXPECT_EQ(netcard_virtual_ip_name(c.device, len, inet_addr(c.ip), out), strlen(c.want));
        EXPECT_STREQ(out, c.want) << c.device << " " << c.ip;
    }
}

TEST(SocketUtil, EgressBindLeavesThePortToTheConnect) {
    // Choosing the port at bind would cap all outgoing connections of the address at one range.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(socket_bind_egress(fd, false, nullptr, htonl(INADDR_LOOPBACK), nullptr, 0),
              EGRESS_BOUND);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len), 0);
    EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(local.sin_port, 0);
    close(fd);
}
