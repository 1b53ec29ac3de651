#include "config/x_cidr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <vector>

namespace {

struct CidrCase {
    const char *text, *bad; // bad: the entry named when the list is refused, null when it loads
    std::vector<const char *> in, out;
};

TEST(CidrList, ParsesAndMatches) {
    const CidrCase cases[] = {
        {" 10.1.2.3/8 ,\t192.168.1.7", nullptr, {"10.255.0.1", "192.168.1.7"}, {"11.0.0.1"}},
        {"0.0.0.0/0", nullptr, {"1.2.3.4", "255.255.255.255"}, {}},
        {"", nullptr, {}, {"127.0.0.1"}}, // nobody
        {"10.0.0.0/33", "10.0.0.0/33", {}, {}},
        {"10.1/16", "10.1/16", {}, {}},
        {"10.0.0.0/8,,1.2.3.4", "", {}, {}},
        {"1.2.3.4/", "1.2.3.4/", {}, {}},
        {"0x7f.0.0.1", "0x7f.0.0.1", {}, {}},
    };
    for (const CidrCase &c : cases) {
        x_cidr_list_t list;
        char bad[64] = "unset";
        bool ok = x_cidr_list_parse(&list, c.text, bad, sizeof bad);
        ASSERT_EQ(ok, c.bad == nullptr) << c.text;
        EXPECT_STREQ(ok ? c.bad : bad, c.bad);
        for (const char *a : c.in)
            EXPECT_TRUE(x_cidr_list_match(&list, inet_addr(a))) << c.text << " " << a;
        for (const char *a : c.out)
            EXPECT_FALSE(x_cidr_list_match(&list, inet_addr(a))) << c.text << " " << a;
        x_cidr_list_free(&list);
    }
}

} // namespace
