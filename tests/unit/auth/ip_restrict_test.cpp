#include "auth/ip_restrict.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <vector>

namespace {

in_addr_t ip(const char *text) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return a.s_addr;
}

} // namespace

// Networks are stored as prefixes; /31 admits its lower address, /1 to /30 leave out the network
// and broadcast addresses.
TEST(IpRestrict, LinesAndTheAddressesTheyCover) {
    struct Case {
        const char *line;
        std::vector<const char *> in;
        std::vector<const char *> out;
    } cases[] = {
        {"10.0.0.0/30", {"10.0.0.1", "10.0.0.2"}, {"10.0.0.0", "10.0.0.3", "10.0.0.4"}},
        {"10.0.0.4/31", {"10.0.0.4"}, {"10.0.0.5", "10.0.0.3"}},
        {"10.0.0.5/31", {"10.0.0.4"}, {"10.0.0.5"}},
        {"10.0.0.9/32", {"10.0.0.9"}, {"10.0.0.8"}},
        {"192.168.1.7", {"192.168.1.7"}, {"192.168.1.8"}},
        {"10.9.9.9/24", {"10.9.9.1", "10.9.9.254"}, {"10.9.9.0", "10.9.9.255", "10.9.8.1"}},
        {"10.0.0.0/8",
         {"10.0.0.1", "10.200.3.4", "10.255.255.254"},
         {"10.255.255.255", "11.0.0.1"}},
        {"128.0.0.0/1", {"200.1.2.3", "128.0.0.1"}, {"127.0.0.1", "255.255.255.255", "128.0.0.0"}},
        // Comments, bad masks and bad addresses add nothing.
        {"# 10.0.0.1", {}, {"10.0.0.1"}},
        {"10.0.0.0/0", {}, {"10.0.0.1"}},
        {"10.0.0.0/33", {}, {"10.0.0.1"}},
        {"10.0.0.0/2x", {}, {"10.0.0.1"}},
        {"10.0.0.300", {}, {"10.0.1.44", "10.0.0.44"}},
        {"010.0.0.1", {}, {"10.0.0.1", "8.0.0.1"}},
        {"10.0.0.1.000000000000000/24", {}, {"10.0.0.2"}},
    };
    for (const Case &c : cases) {
        ip_rule_set_t *set = ip_rule_set_create();
        ip_rule_set_add_line(set, c.line, strlen(c.line));
        for (const char *a : c.in)
            EXPECT_TRUE(ip_rule_set_contains(set, ip(a))) << c.line << " " << a;
        for (const char *a : c.out)
            EXPECT_FALSE(ip_rule_set_contains(set, ip(a))) << c.line << " " << a;
        ip_rule_set_free(set);
    }
}
