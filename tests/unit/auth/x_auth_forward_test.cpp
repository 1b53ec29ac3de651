#include "auth/x_auth_forward.h"
#include "auth/x_auth_tovask.h"
#include "dict/dict.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

ngx_str_t view(const std::string &s) {
    return ngx_str_t{s.size(), reinterpret_cast<uint8_t *>(const_cast<char *>(s.data()))};
}
std::string text(const ngx_str_t &s) {
    return s.data ? std::string(reinterpret_cast<const char *>(s.data), s.len) : "";
}

const std::string kSalt = "Qx7mK2pR9vL4nW8sT3yZ6b";

std::string md5sum_upper(const std::string &input) {
    std::string path = "/tmp/sign_test_input";
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(input.data(), 1, input.size(), f);
    fclose(f);
    FILE *p = popen(("md5sum " + path).c_str(), "r");
    char out[33] = {};
    EXPECT_EQ(fread(out, 1, 32, p), 32u);
    pclose(p);
    unlink(path.c_str());
    std::string hex(out);
    for (char &c : hex)
        c = static_cast<char>(toupper(c));
    return hex;
}

} // namespace

// Signatures agree with md5sum over salt and text; a text that would not fit the signing buffer
// beside the salt is refused, never cut and signed.
TEST(AuthSign, AgainstMd5sumAndTheBufferBound) {
    ngx_str_t salt = view(kSalt);
    for (size_t len : {0, 11, 1001, 1002, 5000}) {
        std::string t = len == 11 ? "gw1.example" : std::string(len, 'h');
        char sign[X_AUTH_SIGN_LEN + 1];
        bool ok = x_auth_sign(&salt, reinterpret_cast<const uint8_t *>(t.data()), t.size(), sign);
        EXPECT_EQ(ok, kSalt.size() + len <= 1023) << len;
        if (!ok) continue;
        EXPECT_EQ(std::string(sign), md5sum_upper(kSalt + t)) << len;
        std::string lower = sign;
        for (char &c : lower)
            c = static_cast<char>(tolower(c));
        std::string upper = sign;
        ngx_str_t upper_pw = view(upper), lower_pw = view(lower);
        EXPECT_TRUE(x_auth_sign_equals(sign, &upper_pw));
        EXPECT_EQ(x_auth_sign_equals(sign, &lower_pw), lower == sign);
    }
}

// The user-name parsers of every scheme over the documented examples and the malformed forms
// that must be refused (empty sections would leave a session without its upstream).
TEST(AuthNames, EverySchemesExamples) {
    struct Case {
        char scheme; // k kestrum, z zembo, u user-name scheme, t token
        const char *name;
        const char *parts; // the parts joined by "|", null when refused
    } cases[] = {
        {'k', "acct_u1", "acct|u1"},
        {'k', "a_b_c", "a_b|c"},
        {'k', "acct", "|"},
        {'k', "acct_", nullptr},
        {'z', "acct_US_CA_LA_s_1_x", "acct|US|CA|LA|s_1_x"},
        {'z', "acct_0___t_x_", "acct|0|||t_x_"},
        {'z', "a_b_c_d_e_f_g", "a|b|c|d|e_f_g"},
        {'z', "a_b_c_d_e_f", nullptr},
        {'u', "my_acct_gw1_8080", "my_acct|gw1|8080"},
        {'u', "_gw1_80", "|gw1|80"},
        {'u', "a_b", nullptr},
        {'u', "acct__8080", nullptr},
        {'u', "acct_gw1_", nullptr},
        {'u', "acct_gw1_80x", nullptr},
        {'u', "acct_gw1_0", nullptr},
        {'u', "acct_gw1_65536", nullptr},
        {'t', "u-p-h-80", "u|p|h|80"},
        {'t', "a-b-c-d-h-80", "a-b-c|d|h|80"},
        {'t', "abcdef-80", nullptr},
        {'t', "u--h-80", nullptr},
        {'t', "u-p--80", nullptr},
        {'t', "u-p-h-", nullptr},
        {'t', "u-p-h-8x", nullptr},
        {'t', "-p-h-80", nullptr},
        {'t', "p-h-80", nullptr},
    };
    for (const Case &c : cases) {
        std::string name = c.name;
        ngx_str_t n = view(name);
        std::string got;
        bool ok = false;
        if (c.scheme == 'k') {
            x_kestrum_name_t k;
            ok = x_auth_parse_kestrum_name(&n, &k);
            got = text(k.user) + "|" + text(k.upstream_user);
        } else if (c.scheme == 'z') {
            x_zembo_name_t z;
            ok = x_auth_parse_zembo_name(&n, &z);
            got = text(z.account) + "|" + text(z.country) + "|" + text(z.region) + "|" +
                  text(z.city) + "|" + text(z.tail);
        } else if (c.scheme == 'u') {
            x_forward_name_t f;
            ok = x_auth_parse_forward_name(&n, &f);
            got = text(f.account) + "|" + text(f.host) + "|" + std::to_string(f.port);
        } else {
            x_tovask_name_t t;
            ok = x_auth_tovask_parse_name(&n, &t);
            got = text(t.user) + "|" + text(t.password) + "|" + text(t.host) + "|" +
                  std::to_string(t.port);
        }
        EXPECT_EQ(ok, c.parts != nullptr) << c.scheme << " " << c.name;
        if (ok && c.parts) {
            EXPECT_EQ(got, c.parts) << c.scheme << " " << c.name;
        }
    }
}

// Resource files: a kestrum file keys each upstream by the signature of its host; a host-less
// line, a repeated host or an overlong line fails the load, and a failed or impossible re-read
// (the file gone) keeps the table in force. A zembo file builds the region tree.
TEST(AuthResource, LoadsAndFailedReloadsKeepTheTable) {
    std::string file = "/tmp/resource_test_" + std::to_string(getpid());
    x_config_auth_t conf{};
    conf.config.forward.sign_salt = view(kSalt);
    conf.config.forward.resource_file = view(file);
    x_auth_forward_t *fwd = x_auth_forward_create(nullptr, 0);
    fwd->conf = &conf;
    struct Case {
        uint32_t scheme;
        const char *content; // null: the file is removed
        bool loads;
        size_t entries; // top-level entries in force afterwards
    } cases[] = {
        {X_RESOURCE_KESTRUM, "socks5://u:p@gw1.test:1080\n\nhttp://gw2.test:3128\r\n", true, 2},
        {X_RESOURCE_KESTRUM, "socks5://gw1.test:1\nhttp://gw1.test:2\n", false, 2},
        {X_RESOURCE_KESTRUM, "none\n", false, 2},
        {X_RESOURCE_KESTRUM, nullptr, false, 2},
        {X_RESOURCE_KESTRUM, "socks5://gw3.test:1\n", true, 1},
        {X_RESOURCE_ZEMBO, "US_CA_LA:us_california_la\nUS_CA:xx_yy\nDE:de\n", true, 2},
        {X_RESOURCE_ZEMBO, "US_CA:us\n", false, 2},
        {X_RESOURCE_ZEMBO, "US\n", false, 2},
    };
    for (const Case &c : cases) {
        conf.config.forward.resource = c.scheme;
        if (c.content) {
            FILE *f = fopen(file.c_str(), "w");
            fputs(c.content, f);
            fclose(f);
        } else {
            unlink(file.c_str());
        }
        bool ok = c.scheme == X_RESOURCE_KESTRUM ? x_auth_forward_load_resource_kestrum(fwd)
                                                 : x_auth_forward_load_resource_zembo(fwd);
        EXPECT_EQ(ok, c.loads) << (c.content ? c.content : "(removed)");
        ASSERT_NE(fwd->resource_cache, nullptr);
        EXPECT_EQ(dictSize(fwd->resource_cache), c.entries);
    }
    ngx_str_t key;
    // The zembo tree: the first replacement of a node stays; the next level hangs below it.
    auto *us = static_cast<x_region_t *>(dictFetchValue(fwd->resource_cache, &(key = view("US"))));
    ASSERT_NE(us, nullptr);
    EXPECT_EQ(text(us->replace), "us");
    auto *ca = static_cast<x_region_t *>(dictFetchValue(us->cache, &(key = view("CA"))));
    ASSERT_NE(ca, nullptr);
    EXPECT_EQ(text(ca->replace), "california");
    unlink(file.c_str());
    x_auth_forward_do_free(&fwd->base);
}
