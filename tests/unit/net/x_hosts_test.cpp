#include "net/x_hosts.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// The address of name in the family as text; "-" when the file gives none.
std::string find(const x_hosts_t &h, const std::string &name, int family) {
    uint8_t addr[16];
    char text[INET6_ADDRSTRLEN] = "-";
    if (x_hosts_find(&h, name.data(), name.size(), family, addr)) {
        inet_ntop(family, addr, text, sizeof(text));
    }
    return text;
}

} // namespace

TEST(Hosts, ReaderTable) {
    const std::string text = "# 10.0.0.1 commented.test\n"
                             "10.0.0.2 plain.test # after.test\n"
                             "10.0.0.3\tTab.Test\talias.test\r\n"
                             "fd00::7 six.test\n10.0.0.8 both.test\nfd00::8 both.test\n"
                             "10.0.0.4 dup.test\n10.0.0.5 dup.test\n"
                             "10.0.0.256 bad.test\n1.2.3 bad.test\nfe80::1%eth0 bad.test\n"
                             "10.0.0.10\n   \t\n"
                             "10.0.0.6 a..b " +
                             std::string(64, 'l') + ".test dotted.test. two.dots.. ctl\x01.test\n" +
                             "10.0.0.30" + std::string(100000, ' ') + "far.test" +
                             std::string(70000, 'x') + " end.test\n10.0.0.9 last.test";
    x_hosts_t h;
    ASSERT_TRUE(x_hosts_parse(&h, text.data(), text.size()));
    // name, its IPv4 and its IPv6 address ("-": none)
    const std::string cases[] = {"commented.test - -",
                                 "plain.test 10.0.0.2 -",
                                 "after.test - -",
                                 "tab.test 10.0.0.3 -",
                                 "ALIAS.TEST. 10.0.0.3 -",
                                 "alias.test.. - -",
                                 "six.test - fd00::7",
                                 "both.test 10.0.0.8 fd00::8",
                                 "dup.test 10.0.0.4 -",
                                 "bad.test - -",
                                 "a..b - -",
                                 "dotted.test 10.0.0.6 -",
                                 "two.dots. - -",
                                 "ctl\x01.test - -",
                                 "far.test - -",
                                 "end.test 10.0.0.30 -",
                                 "last.test 10.0.0.9 -",
                                 ". - -"};
    for (const std::string &c : cases) {
        std::string name = c.substr(0, c.find(' '));
        EXPECT_EQ(name + " " + find(h, name, AF_INET) + " " + find(h, name, AF_INET6), c);
    }
    EXPECT_EQ(h.name_count, 9u); // plain tab alias six both dup dotted end last
    x_hosts_free(&h);
}

// A file past the bound is read up to it and cut after its last whole line.
TEST(Hosts, FileReadIsBoundedAtALine) {
    char path[] = "/tmp/x_hosts_test_XXXXXX";
    int fd = mkstemp(path);
    std::string text = "10.1.0.1 first.test\n";
    text.resize(X_HOSTS_MAX_FILE - 12, '#'); // "10.1.0.2 ac" ends right at the bound
    text += "\n10.1.0.2 across.the.bound.test\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    x_hosts_t h;
    x_hosts_stamp_t stamp;
    bool cut = false;
    ASSERT_TRUE(x_hosts_load(&h, path, &stamp, &cut));
    unlink(path);
    EXPECT_TRUE(cut);
    EXPECT_EQ(find(h, "first.test", AF_INET), "10.1.0.1");
    EXPECT_EQ(h.name_count, 1u);
    x_hosts_free(&h);
    EXPECT_FALSE(x_hosts_load(&h, "/", &stamp, &cut)); // a directory is no hosts file
}
