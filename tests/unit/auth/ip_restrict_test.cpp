#include "auth/ip_restrict.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

namespace {

in_addr_t ip(const char *text) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return a.s_addr;
}

struct ListFile {
    std::string path;
    explicit ListFile(const std::string &text) {
        char tmpl[] = "/tmp/ip_restrict_test_XXXXXX";
        int fd = mkstemp(tmpl);
        close(fd);
        path = tmpl;
        write(text, 1000);
    }
    // Rewrites the file with a modification time of its own, so a reload sees the change.
    void write(const std::string &text, time_t mtime) {
        FILE *f = fopen(path.c_str(), "w");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        utimbuf t = {mtime, mtime};
        utime(path.c_str(), &t);
    }
    ~ListFile() { unlink(path.c_str()); }
};

ngx_str_t name(const std::string &s) {
    return {s.size(), reinterpret_cast<uint8_t *>(const_cast<char *>(s.data()))};
}

} // namespace

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

TEST(IpRestrict, ModesAndFileReload) {
    std::string long_comment = "# " + std::string(100, 'x') + " 10.0.0.77";
    ListFile f("\n" + long_comment + "\r\n10.0.0.1\r\n" + std::string(70, '1') +
               "\n127.0.0.0/24\n");
    ip_restrict_t r{};
    ngx_str_t file = name(f.path);
    ASSERT_TRUE(ip_restrict_init(&r, IP_RESTRICT_ALLOW, &file));
    EXPECT_TRUE(ip_restrict_lookup(&r, ip("10.0.0.1")));
    EXPECT_TRUE(ip_restrict_lookup(&r, ip("127.0.0.5")));
    EXPECT_FALSE(ip_restrict_lookup(&r, ip("10.0.0.77"))); // the tail of a long comment
    EXPECT_FALSE(ip_restrict_lookup(&r, ip("10.0.0.2")));

    // Not due before ten seconds have passed; then a change of the file is picked up.
    uint64_t t0 = r.last_file_check_time;
    f.write("10.0.0.2\n", 2000);
    ip_restrict_check(&r, t0 + IP_RESTRICT_CHECK_MS - 1);
    EXPECT_TRUE(ip_restrict_lookup(&r, ip("10.0.0.1")));
    ip_restrict_check(&r, t0 + IP_RESTRICT_CHECK_MS);
    EXPECT_FALSE(ip_restrict_lookup(&r, ip("10.0.0.1")));
    EXPECT_TRUE(ip_restrict_lookup(&r, ip("10.0.0.2")));

    // A file that cannot be read at reload keeps the rules in force.
    chmod(f.path.c_str(), 0);
    bool root = access(f.path.c_str(), R_OK) == 0;
    f.write("10.0.0.3\n", 3000);
    chmod(f.path.c_str(), 0);
    ip_restrict_check(&r, t0 + 2 * IP_RESTRICT_CHECK_MS);
    if (!root) {
        EXPECT_TRUE(ip_restrict_lookup(&r, ip("10.0.0.2")));
    }
    chmod(f.path.c_str(), 0600);
    ip_restrict_uninit(&r);

    ip_restrict_t deny{};
    ASSERT_TRUE(ip_restrict_init(&deny, IP_RESTRICT_DENY, &file));
    EXPECT_FALSE(ip_restrict_lookup(&deny, ip("10.0.0.3")));
    EXPECT_TRUE(ip_restrict_lookup(&deny, ip("10.0.0.4")));
    ip_restrict_uninit(&deny);

    // Mode 0 reads nothing and admits everyone; a named file that is missing fails the start.
    ip_restrict_t off{};
    std::string missing_path = "/nonexistent/restrict";
    ngx_str_t missing = name(missing_path);
    ASSERT_TRUE(ip_restrict_init(&off, IP_RESTRICT_NO, &missing));
    EXPECT_TRUE(ip_restrict_lookup(&off, ip("10.0.0.1")));
    ip_restrict_uninit(&off);
    ip_restrict_t bad{};
    EXPECT_FALSE(ip_restrict_init(&bad, IP_RESTRICT_ALLOW, &missing));
    ip_restrict_uninit(&bad);
}
