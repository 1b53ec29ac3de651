#include "config/x_cidr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

namespace {

struct CidrCase {
    const char *text;
    const char *bad; // null: the list loads
    std::vector<const char *> in;
    std::vector<const char *> out;
};

const CidrCase kCidrCases[] = {
    {"10.0.0.0/8,192.168.1.7", nullptr, {"10.255.0.1", "192.168.1.7"}, {"11.0.0.1", "192.168.1.8"}},
    {" 172.16.0.0/12 ,\t127.0.0.1/32 ", nullptr, {"172.31.9.9", "127.0.0.1"}, {"172.32.0.0"}},
    {"10.1.2.3/8", nullptr, {"10.9.9.9"}, {"9.255.255.255"}}, // host bits cleared
    {"0.0.0.0/0", nullptr, {"1.2.3.4", "255.255.255.255"}, {}},
    {"", nullptr, {}, {"127.0.0.1"}}, // nobody
    {"10.0.0.0/33", "10.0.0.0/33", {}, {}},
    {"10.1/16", "10.1/16", {}, {}},
    {"10.0.0.0/8,,1.2.3.4", "", {}, {}},
    {"1.2.3.4/", "1.2.3.4/", {}, {}},
    {"1.2.3.4/-1", "1.2.3.4/-1", {}, {}},
    {"localhost", "localhost", {}, {}},
    {"0x7f.0.0.1", "0x7f.0.0.1", {}, {}},
};

class CidrList : public testing::TestWithParam<CidrCase> {};

TEST_P(CidrList, ParsesAndMatches) {
    const CidrCase &c = GetParam();
    x_cidr_list_t list;
    char bad[64] = "unset";
    bool ok = x_cidr_list_parse(&list, c.text, bad, sizeof bad);
    ASSERT_EQ(ok, c.bad == nullptr) << c.text;
    if (!ok) {
        EXPECT_STREQ(bad, c.bad);
        EXPECT_EQ(list.num, 0u);
        return;
    }
    for (const char *a : c.in)
        EXPECT_TRUE(x_cidr_list_match(&list, inet_addr(a))) << c.text << " " << a;
    for (const char *a : c.out)
        EXPECT_FALSE(x_cidr_list_match(&list, inet_addr(a))) << c.text << " " << a;
    x_cidr_list_free(&list);
}

INSTANTIATE_TEST_SUITE_P(Cases, CidrList, testing::ValuesIn(kCidrCases));

} // namespace
