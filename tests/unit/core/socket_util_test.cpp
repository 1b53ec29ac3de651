#include "core/socket_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

in_addr_t addr(const char *text) {
    return inet_addr(text);
}

TEST(SocketUtil, Addr2Str) {
    struct Case {
        const char *ip;
        uint16_t port;
        const char *want;
    };
    const Case cases[] = {
        {"255.255.255.255", 65535, "255.255.255.255:65535"},
        {"0.0.0.0", 0, "0.0.0.0:0"},
        {"10.1.2.3", 8080, "10.1.2.3:8080"},
    };
    for (const auto &c : cases) {
        struct sockaddr_in sin {};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = addr(c.ip);
        sin.sin_port = htons(c.port);
        EXPECT_STREQ(addr2str(&sin), c.want);
    }
    EXPECT_STREQ(addr2str(nullptr), "");
}

TEST(SocketUtil, InetNtoaddrSRefusesShortBuffers) {
    in_addr_t ip = addr("192.168.100.200");
    char buf[32];
    EXPECT_EQ(inet_ntoaddr_s(&ip, buf, 19), -1);
    EXPECT_EQ(inet_ntoaddr_s(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(inet_ntoaddr_s(&ip, nullptr, sizeof buf), -1);
    ASSERT_EQ(inet_ntoaddr_s(&ip, buf, 20), 0);
    EXPECT_STREQ(buf, "192.168.100.200");
    EXPECT_STREQ(inet_ntoaddr(&ip), "192.168.100.200");
}

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
        EXPECT_EQ(is_ip_addr(c.text, len), addr(c.want)) << c.text << " len " << len;
    }
    EXPECT_EQ(is_ip_addr(nullptr, 4), 0u);
}

TEST(SocketUtil, IsInternalIp) {
    struct Case {
        const char *text;
        bool want;
    };
    const Case cases[] = {
        {"10.0.0.0", true},
        {"10.255.255.255", true},
        {"172.16.0.0", true},
        {"172.31.255.255", true},
        {"192.168.0.1", true},
        {"172.32.0.1", false},
        {"172.15.255.255", false},
        {"192.169.0.1", false},
        {"127.0.0.1", false},
        {"169.254.1.1", false},
        {"11.0.0.1", false},
        {"10.0.0", false},
        {"", false},
        {"10.0.0.1 ", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_internal_ip(c.text), c.want) << c.text;
    EXPECT_FALSE(is_internal_ip(nullptr));
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
        EXPECT_EQ(netcard_virtual_ip_name(c.device, len, addr(c.ip), out), strlen(c.want));
        EXPECT_STREQ(out, c.want) << c.device << " " << c.ip;
    }
}

TEST(SocketUtil, AliasOperationsRefuseNamesWithoutAlias) {
    // Without a usable alias name nothing may reach the device itself.
    EXPECT_FALSE(set_netcard_virtual_ip("abcdefghijklmno", 15, addr("10.1.2.3")));
    EXPECT_FALSE(clean_netcard_virtual_ip("abcdefghijklmno", 15, addr("10.1.2.3")));
    EXPECT_FALSE(clean_netcard_virtual_ip(nullptr, 0, addr("10.1.2.3")));
}

TEST(SocketUtil, LocalAndPeerAddressesOfAConnectedPair) {
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(lfd, 0);
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    ASSERT_EQ(listen(lfd, 1), 0);
    in_addr_t lip = 0;
    uint16_t lport = 0;
    get_local_addr(lfd, &lip, &lport);
    EXPECT_EQ(lip, htonl(INADDR_LOOPBACK));
    ASSERT_NE(lport, 0);

    int cfd = socket(AF_INET, SOCK_STREAM, 0);
    sin.sin_port = lport;
    ASSERT_EQ(connect(cfd, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    in_addr_t pip = 0;
    uint16_t pport = 0;
    get_peer_addr(cfd, &pip, &pport);
    EXPECT_EQ(pip, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(pport, lport);
    get_local_addr(cfd, nullptr, nullptr); // null pointers are skipped
    int mss = get_tcp_mss(cfd);
    EXPECT_GT(mss, 0);

    // A failing call stores nothing.
    in_addr_t untouched = 7;
    uint16_t untouched_port = 9;
    get_peer_addr(lfd, &untouched, &untouched_port);
    EXPECT_EQ(untouched, 7u);
    EXPECT_EQ(untouched_port, 9);
    EXPECT_EQ(get_tcp_mss(-1), 0);
    close(cfd);
    close(lfd);
}

TEST(SocketUtil, DefaultOptions) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(set_socket_default_opt(fd));
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    for (int opt : {SO_REUSEADDR, SO_REUSEPORT}) {
        int v = 0;
        socklen_t len = sizeof v;
        ASSERT_EQ(getsockopt(fd, SOL_SOCKET, opt, &v, &len), 0);
        EXPECT_EQ(v, 1) << opt;
    }
    testing::internal::CaptureStdout();
    EXPECT_FALSE(set_socket_default_opt(-1));
    EXPECT_NE(
        testing::internal::GetCapturedStdout().find("ERROR : set tcp socket non block failed"),
        std::string::npos);
    // A descriptor that is no socket fails at the first socket option.
    int file = open("/dev/null", O_RDONLY);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(set_socket_default_opt(file));
    EXPECT_NE(
        testing::internal::GetCapturedStdout().find("ERROR : set tcp socket reuse addr failed"),
        std::string::npos);
    close(file);
    close(fd);
}

TEST(SocketUtil, BindToDevice) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(set_socket_bindtodevice(fd, "lo-and-more", 2));
    char name[IFNAMSIZ] = {};
    socklen_t len = sizeof name;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, &len), 0);
    EXPECT_STREQ(name, "lo");
    EXPECT_FALSE(set_socket_bindtodevice(fd, "no-such-dev0", 12));
    close(fd);
}

} // namespace
