#include "auth/x_auth_forward.h"
#include "auth/x_auth_tovask.h"
#include "dict/dict.h"

#include <gtest/gtest.h>

#include "core/x_server.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

ngx_str_t view(const std::string &s) {
    return ngx_str_t{s.size(), reinterpret_cast<uint8_t *>(const_cast<char *>(s.data()))};
}

const std::string kSalt = "Qx7mK2pR9vL4nW8sT3yZ6b";

std::string text(const ngx_str_t &s) {
    return std::string(reinterpret_cast<const char *>(s.data), s.len);
}

// The parts of a user name joined by "|", or "refused".
std::string parse(char scheme, const std::string &name) {
    ngx_str_t n = view(name);
    x_kestrum_name_t k;
    x_zembo_name_t z;
    x_forward_name_t f;
    x_tovask_name_t t;
    if (scheme == 'k' && x_auth_parse_kestrum_name(&n, &k))
        return text(k.user) + "|" + text(k.upstream_user);
    if (scheme == 'z' && x_auth_parse_zembo_name(&n, &z))
        return text(z.account) + "|" + text(z.country) + "|" + text(z.region) + "|" + text(z.city) +
               "|" + text(z.tail);
    if (scheme == 'u' && x_auth_parse_forward_name(&n, &f))
        return text(f.account) + "|" + text(f.host) + "|" + std::to_string(f.port);
    if (scheme == 't' && x_auth_tovask_parse_name(&n, &t))
        return text(t.user) + "|" + text(t.password) + "|" + text(t.host) + "|" +
               std::to_string(t.port);
    return "refused";
}

} // namespace

// The documented user names of every scheme; empty token sections are refused (they would leave
// a session without the host or credentials of its upstream), and ports are whole numbers.
TEST(AuthNames, DocumentedExamples) {
    const char *cases[][3] = {
        {"k", "acct_u1", "acct|u1"},
        {"k", "acct_", "refused"},
        {"z", "a_US_CA_LA_s_1_x", "a|US|CA|LA|s_1_x"},
        {"z", "a_b_c_d_e_f", "refused"},
        {"u", "my_acct_gw1_8080", "my_acct|gw1|8080"},
        {"u", "acct_gw1_80x", "refused"},
        {"u", "acct_gw1_70000", "refused"},
        {"t", "u-p-h-80", "u|p|h|80"},
        {"t", "a-b-c-d-h-80", "a-b-c|d|h|80"},
        {"t", "abcdef-80", "refused"},
        {"t", "u--h-80", "refused"},
        {"t", "u-p--80", "refused"},
        {"t", "-p-h-80", "refused"},
        {"t", "u-p-h-", "refused"},
    };
    for (auto &c : cases)
        EXPECT_EQ(parse(c[0][0], c[1]), c[2]) << c[0] << " " << c[1];
}

// Salt and text beyond the 1024-byte signing buffer are refused, never cut and signed.
TEST(AuthSign, TextBeyondTheSigningBufferIsRefused) {
    ngx_str_t salt = view(kSalt);
    char sign[X_AUTH_SIGN_LEN + 1];
    for (size_t len : {1001, 1002, 5000}) {
        std::string t(len, 'h');
        bool ok = x_auth_sign(&salt, reinterpret_cast<const uint8_t *>(t.data()), len, sign);
        EXPECT_EQ(ok, len == 1001) << len;
    }
}

// A host-less line, a repeated host or an overlong line fails a kestrum load; a failed or
// impossible re-read keeps the table in force. A zembo file builds the region tree, first wins.
TEST(AuthResource, LoadsAndFailedReloadsKeepTheTable) {
    std::string file = "/tmp/resource_test_" + std::to_string(getpid());
    x_config_auth_t conf{};
    conf.config.forward.sign_salt = view(kSalt);
    conf.config.forward.resource_file = view(file);
    x_server_t *srv = x_server_create();
    x_auth_forward_t *fwd = x_auth_forward_create(srv, 0);
    fwd->conf = &conf;
    const std::string long_line = "socks5://" + std::string(1020, 'h') + ":1\n";
    struct Case {
        uint32_t scheme;
        const char *content; // null: the file is removed
        bool loads;
        size_t entries; // top-level entries in force afterwards
    } cases[] = {
        {X_RESOURCE_KESTRUM, "socks5://u:p@gw1.test:1080\n\nhttp://gw2.test:3128\r\n", true, 2},
        {X_RESOURCE_KESTRUM, "socks5://gw1.test:1\nhttp://gw1.test:2\n", false, 2},
        {X_RESOURCE_KESTRUM, "none\n", false, 2},
        {X_RESOURCE_KESTRUM, long_line.c_str(), false, 2},
        {X_RESOURCE_KESTRUM, nullptr, false, 2},
        {X_RESOURCE_KESTRUM, "/", false, 2},
        {X_RESOURCE_KESTRUM, "socks5://gw3.test:1\n", true, 1},
        {X_RESOURCE_ZEMBO, "US_CA_LA:us_california_la\nUS_CA:xx_yy\nDE:de\n", true, 2},
        {X_RESOURCE_ZEMBO, "US_CA:us\n", false, 2},
        {X_RESOURCE_ZEMBO, "US\n", false, 2},
    };
    for (const Case &c : cases) {
        conf.config.forward.resource = c.scheme;
        unlink(file.c_str());
        rmdir(file.c_str());
        if (c.content && c.content[0] == '/') {
            mkdir(file.c_str(), 0700);
        } else if (c.content) {
            FILE *f = fopen(file.c_str(), "w");
            fputs(c.content, f);
            fclose(f);
        }
        dict *before = fwd->resource_cache;
        fwd->last_resource_file_check_time = 0; // due, and changed
        fwd->last_resource_file_modified_time = 0;
        x_auth_forward_do_check(&fwd->base);
        EXPECT_EQ(fwd->resource_cache != before, c.loads) << (c.content ? c.content : "(gone)");
        ASSERT_NE(fwd->resource_cache, nullptr);
        EXPECT_EQ(dictSize(fwd->resource_cache), c.entries);
    }
    std::string us = "US", ca = "CA";
    ngx_str_t key = view(us);
    auto *node = static_cast<x_region_t *>(dictFetchValue(fwd->resource_cache, &key));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(node->replace.data)), "us");
    key = view(ca);
    node = static_cast<x_region_t *>(dictFetchValue(node->cache, &key));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(node->replace.data)), "california");
    rmdir(file.c_str());
    unlink(file.c_str());
    x_auth_forward_do_free(&fwd->base);
    x_server_close(srv);
}
