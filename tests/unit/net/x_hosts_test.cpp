#include "net/x_hosts.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>

#include "net/x_dns.h"

namespace {

// "-" when the name has no address of that family.
std::string find(const x_hosts_t &h, const std::string &name, int family) {
    uint8_t addr[16];
    if (!x_hosts_find(&h, name.data(), name.size(), family, addr)) return "-";
    char text[INET6_ADDRSTRLEN];
    inet_ntop(family, addr, text, sizeof(text));
    return text;
}

struct TempFile {
    std::string path;
    TempFile() {
        char tmpl[] = "/tmp/x_hosts_test_XXXXXX";
        close(mkstemp(tmpl));
        path = tmpl;
    }
    ~TempFile() { unlink(path.c_str()); }
    void write(const std::string &text) const {
        FILE *f = fopen(path.c_str(), "w");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
};

} // namespace

TEST(Hosts, ReaderTable) {
    const std::string long_line = "10.0.0.30" + std::string(100000, ' ') + "far.test" +
                                  std::string(70000, 'x') + " end.test\n";
    const std::string text = "# 10.0.0.1 commented.test\n"
                             "10.0.0.2 plain.test # after.test\n"
                             "10.0.0.3\tTab.Test\talias.test\r\n"
                             "fd00::7 six.test\n"
                             "10.0.0.8 both.test\n"
                             "fd00::8 both.test\n"
                             "10.0.0.4 dup.test\n"
                             "10.0.0.5 dup.test\n"
                             "10.0.0.256 bad1.test\n"
                             "1.2.3 bad2.test\n"
                             "fe80::1%eth0 bad3.test\n"
                             "not-an-ip bad4.test\n"
                             "10.0.0.10\n"
                             "   \t\n"
                             "10.0.0.6 a..b " +
                             std::string(64, 'l') + ".test dotted.test. two.dots.. ctl\x01.test\n" +
                             long_line + "10.0.0.9 last.test";
    x_hosts_t h;
    ASSERT_TRUE(x_hosts_parse(&h, text.data(), text.size()));
    const struct {
        const char *name;
        const char *v4;
        const char *v6;
    } cases[] = {
        {"commented.test", "-", "-"},
        {"plain.test", "10.0.0.2", "-"},
        {"after.test", "-", "-"},
        {"tab.test", "10.0.0.3", "-"},
        {"ALIAS.TEST.", "10.0.0.3", "-"},
        {"alias.test..", "-", "-"},
        {"six.test", "-", "fd00::7"},
        {"both.test", "10.0.0.8", "fd00::8"},
        {"dup.test", "10.0.0.4", "-"},
        {"bad1.test", "-", "-"},
        {"bad2.test", "-", "-"},
        {"bad3.test", "-", "-"},
        {"bad4.test", "-", "-"},
        {"a..b", "-", "-"},
        {"dotted.test", "10.0.0.6", "-"},
        {"two.dots.", "-", "-"},
        {"ctl\x01.test", "-", "-"},
        {"far.test", "-", "-"},
        {"end.test", "10.0.0.30", "-"},
        {"last.test", "10.0.0.9", "-"},
        {"", "-", "-"},
        {".", "-", "-"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(find(h, c.name, AF_INET), c.v4) << c.name;
        EXPECT_EQ(find(h, c.name, AF_INET6), c.v6) << c.name;
    }
    // plain tab alias six both dup dotted end last
    EXPECT_EQ(h.name_count, 9u);
    x_hosts_free(&h);
}

TEST(Hosts, FileReadIsBoundedAndCutAtALine) {
    TempFile f;
    std::string text = "10.1.0.1 first.test\n";
    text.resize(X_HOSTS_MAX_FILE - 12, '#'); // "10.1.0.2 ac" ends right at the bound
    text += "\n10.1.0.2 across.the.bound.test\n10.1.0.3 after.test\n";
    f.write(text);
    x_hosts_t h;
    x_hosts_stamp_t stamp;
    bool cut = false;
    ASSERT_TRUE(x_hosts_load(&h, f.path.c_str(), &stamp, &cut));
    EXPECT_TRUE(cut);
    EXPECT_EQ(find(h, "first.test", AF_INET), "10.1.0.1");
    EXPECT_EQ(find(h, "across.the.bound.test", AF_INET), "-");
    EXPECT_EQ(find(h, "ac", AF_INET), "-");
    EXPECT_EQ(find(h, "after.test", AF_INET), "-");
    x_hosts_free(&h);
    EXPECT_FALSE(x_hosts_load(&h, "/", &stamp, &cut)); // a directory is no hosts file
}

namespace {

struct Got {
    int calls = 0;
    int status = -1;
    std::string addr;
};

void on_answer(void *original, int status, sockaddr_storage *ss) {
    auto *g = static_cast<Got *>(original);
    g->calls++;
    g->status = status;
    char text[INET6_ADDRSTRLEN] = "-";
    if (ss && ss->ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(ss)->sin_addr, text, sizeof(text));
    } else if (ss) {
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(ss)->sin6_addr, text, sizeof(text));
    }
    g->addr = text;
}

uint64_t fake_now = 0;
uint64_t fake_clock() {
    return fake_now;
}

} // namespace

// Names of the hosts file are answered before x_dns_query returns, and only those: every other
// name becomes a query (a pending one, left to x_dns_close).
TEST(Hosts, ResolverAnswersFromTheFileAndFollowsIt) {
    fake_now = 5000000;
    x_time_set_clock(fake_clock);
    TempFile conf, hosts;
    conf.write("nameserver 127.0.0.1\n");
    hosts.write("10.2.0.1 only.test alias.test\nfd00::2 six.test\n10.2.0.3 both.test\n"
                "fd00::3 both.test\n");
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    x_dns_t *dns = x_dns_create_at(epfd, conf.path.c_str(), 9);
    ASSERT_NE(dns, nullptr);
    x_dns_use_hosts(dns, hosts.path.c_str(), true);

    std::list<Got> got; // pending queries may still call back from x_dns_check
    auto ask = [&](const char *name, bool v6) {
        Got &g = got.emplace_back();
        x_dns_query_t *q = x_dns_query(dns, name, strlen(name), &g, on_answer, v6);
        return q ? std::string("query") : g.addr;
    };
    const struct {
        const char *name;
        bool v6;
        const char *want;
    } cases[] = {
        {"only.test", false, "10.2.0.1"},  {"ALIAS.test.", false, "10.2.0.1"},
        {"only.test", true, "10.2.0.1"},   {"six.test", false, "query"},
        {"six.test", true, "fd00::2"},     {"both.test", true, "10.2.0.3"},
        {"localhost", false, "127.0.0.1"}, {"LocalHost.", true, "127.0.0.1"},
        {"sub.only.test", false, "query"}, {"other.test", false, "query"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ask(c.name, c.v6), c.want) << c.name << (c.v6 ? " AAAA" : " A");
    }

    // An edit is picked up by the next check after 10 s; a file that vanishes keeps the names.
    hosts.write("10.2.0.9 edited.test\n127.0.0.9 localhost\n");
    fake_now += X_DNS_RELOAD_MS + 1;
    x_dns_check(dns);
    EXPECT_EQ(ask("edited.test", false), "10.2.0.9");
    EXPECT_EQ(ask("only.test", false), "query");
    EXPECT_EQ(ask("localhost", false), "127.0.0.9");
    unlink(hosts.path.c_str());
    fake_now += X_DNS_RELOAD_MS + 1;
    x_dns_check(dns);
    EXPECT_EQ(ask("edited.test", false), "10.2.0.9");

    x_dns_use_hosts(dns, "", true); // off: even localhost goes to the name server
    EXPECT_EQ(ask("edited.test", false), "query");
    EXPECT_EQ(ask("localhost", false), "query");
    x_dns_close(dns);
    close(epfd);
    x_time_set_clock(nullptr);
}
