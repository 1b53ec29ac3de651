#include "config/ip_pool.h"

#include "config/ini.h"
#include "config/x_server_config.h"
#include "core/fake_clock.h"
#include "core/x_timer.h"
#include "dict/dict.h"
#include "temp_file.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

namespace {

// What the pool asked of the interface.
struct Netcard {
    std::vector<std::string> set_calls;
    std::vector<std::string> clean_calls;
};
Netcard card;

std::string ip_str(in_addr_t ip) {
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &ip, buf, sizeof buf);
    return buf;
}
// Stands in for setting or cleaning an alias: notes the address in that list of the card.
template <std::vector<std::string> Netcard::*calls> bool note(const char *, size_t, in_addr_t ip) {
    (card.*calls).push_back(ip_str(ip));
    return true;
}

// One configuration load: an INI file, a set of taken addresses, and port records.
class Pool : public testing::Test {
  protected:
    FakeClock clock{1'000'000};
    void SetUp() override {
        card = {};
        ports.reserve(4); // port() hands out pointers into the vector
        x_ip_pool_set_netcard_ops(note<&Netcard::set_calls>, note<&Netcard::clean_calls>);
        set = x_ip_pool_conf_set_create();
        ASSERT_NE(set, nullptr);
    }
    void TearDown() override {
        for (auto &p : ports)
            x_ip_pool_free(&p);
        if (set) dictRelease(set);
        if (ini) ini_free(ini);
        x_ip_pool_set_netcard_ops(nullptr, nullptr);
    }
    void write_ini(const std::string &text) {
        config_test::TempFile f(text);
        ini = ini_load(f.path.c_str());
        ASSERT_NE(ini, nullptr);
    }
    x_config_port_t *port(const char *device, uint32_t id) {
        x_config_port_t *p = &ports.emplace_back();
        p->port_id = id;
        p->name.data = reinterpret_cast<uint8_t *>(const_cast<char *>(device));
        p->name.len = strlen(device);
        return p;
    }
    bool load(const char *section, x_config_port_t *p) {
        return x_parse_ip_pool_conf(ini, section, p, set);
    }
    // The free list of a level, oldest first.
    static std::vector<std::string> free_list(const x_config_port_t *p, int level) {
        std::vector<std::string> out;
        for (ip_node *n = p->queue_level_ip[level - 1]->head; n; n = n->next)
            out.push_back(ip_str(n->ip));
        return out;
    }

    dict *set = nullptr;
    ini_t *ini = nullptr;
    std::vector<x_config_port_t> ports;
};

using V = std::vector<std::string>;

// Alias names are unique across ports: 10.1.2.3 and 11.1.2.3 would both be eth0:10203.
TEST_F(Pool, AliasNamesAreUniqueAcrossPorts) {
    write_ini("[port0]\nmax_level1_user=1\nlevel1_virtual_ip_list=10.1.2.3\n"
              "[port1]\nmax_level1_user=1\nlevel1_virtual_ip_list=11.1.2.3\n");
    ASSERT_TRUE(load("port0", port("eth0", 0)));
    EXPECT_FALSE(load("port1", port("eth0", 1)));
}

TEST_F(Pool, RefusesDevicesThatCannotCarryAliases) {
    write_ini("[port0]\nmax_level1_user=1\nlevel1_virtual_ip_list=10.0.0.1\n");
    EXPECT_FALSE(load("port0", port("", 0)));
    EXPECT_FALSE(load("port0", port("abcdefghijklmn", 1)));
    EXPECT_TRUE(load("port0", port("abcdefghijklm", 2)));
}

TEST_F(Pool, TakeAndReturnInOrderWithRest) {
    write_ini("[port0]\nmax_level1_user=3\nlevel1_virtual_ip_list=10.0.0.1,10.0.0.2,10.0.0.3\n");
    x_config_port_t *p = port("eth0", 0);
    ASSERT_TRUE(load("port0", p));
    const in_addr_t a = inet_addr("10.0.0.1"), b = inet_addr("10.0.0.2"), c = inet_addr("10.0.0.3");
    EXPECT_EQ(x_get_virtual_ip_by_level(p, 1), a);
    EXPECT_EQ(x_get_virtual_ip_by_level(p, 1), b);
    EXPECT_EQ(card.set_calls, (V{"10.0.0.1", "10.0.0.2"}));

    card.clean_calls.clear();
    ASSERT_TRUE(x_recycling_virtual_ip_by_level(p, 1, a));
    EXPECT_EQ(card.clean_calls, V{"10.0.0.1"});
    EXPECT_EQ(free_list(p, 1), (V{"10.0.0.3", "10.0.0.1"}));
    // Returning what is not handed out fails and leaves the interface alone.
    card.clean_calls.clear();
    EXPECT_FALSE(x_recycling_virtual_ip_by_level(p, 1, a));
    EXPECT_FALSE(x_recycling_virtual_ip_by_level(p, 1, inet_addr("10.9.9.9")));
    EXPECT_FALSE(x_recycling_virtual_ip_by_level(p, 2, b));
    EXPECT_EQ(x_get_virtual_ip_by_level(p, 2), 0u); // no such level
    EXPECT_TRUE(card.clean_calls.empty());

    EXPECT_EQ(x_get_virtual_ip_by_level(p, 1), c); // never used: free at once
    // a came back at clock.now and rests for 2000 ms while it is the head, measured on the
    // monotonic clock (a wall clock stepped back must not block the pool).
    clock.now += X_IP_POOL_COOLDOWN_MS - 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(x_get_virtual_ip_by_level(p, 1), 0u);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ERROR : pool ip used up\n"), std::string::npos);
    EXPECT_NE(out.find("ERROR : pool ip get ip node failed\n"), std::string::npos);
    clock.now += 1;
    EXPECT_EQ(x_get_virtual_ip_by_level(p, 1), a);
    EXPECT_EQ(x_get_virtual_ip_by_level(p, 1), 0u); // all three in use
}

} // namespace
