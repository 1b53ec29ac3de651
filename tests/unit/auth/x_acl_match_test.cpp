#include "auth/x_acl_match.h"
#include "dict/dict.h"

#include <gtest/gtest.h>

#include <string>

namespace {

x_acl_match_t target(const char *host, uint16_t port) {
    x_acl_match_t m{};
    m.target_host = {strlen(host), reinterpret_cast<uint8_t *>(const_cast<char *>(host))};
    m.target_port = port;
    return m;
}

bool insert(x_acl_cache_t *cache, const std::string &rule) {
    ngx_str_t r = {rule.size(), reinterpret_cast<uint8_t *>(const_cast<char *>(rule.data()))};
    return x_acl_match_insert_cache(cache, &r);
}

std::string canonical(const std::string &host, bool leading_dot_ok = false) {
    char out[X_ACL_RULE_MAX + 1];
    int n = x_acl_canonical_host(host.data(), host.size(), leading_dot_ok, out);
    return n < 0 ? "<refused>" : std::string(out, static_cast<size_t>(n));
}

} // namespace

TEST(AclMatch, CanonicalHosts) {
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {"Example.Test", "Example.Test"},
        {"blocked.test..", "blocked.test"},
        {"blocked.test.", "blocked.test"},
        {".blocked.test", "<refused>"},
        {"a..b", "<refused>"},
        {"", "<refused>"},
        {"...", "<refused>"},
        // Whatever the resolver reads as an address is written as the address it reaches.
        {"010.1.2.3", "10.1.2.3"},
        {"10.1.2.03", "10.1.2.3"},
        {"10.0.0.", "0.10.0.0"}, // the trailing dot goes first, as for any name
        {"10.1.2", "0.10.1.2"},
        // Numeric text the resolver would not read as an address never reaches a name server.
        {"9.257.2.3", "<refused>"},
        {"167838211", "<refused>"},
        {"0x0a.1.2.3", "<refused>"},
        {"10.1.2.0x3", "<refused>"},
        {"0.0.0.0", "<refused>"},
        {"1.2.3.4.5", "<refused>"},
        {"host.123a", "host.123a"},
        {"::ffff:10.1.2.3", "10.1.2.3"},
        {"2001:db8::1", "2001:db8::1"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(canonical(c.in), c.out) << c.in;
    EXPECT_EQ(canonical(".b.c", true), ".b.c");
    EXPECT_EQ(canonical("..b.c", true), "<refused>");
    EXPECT_EQ(canonical(std::string(X_ACL_RULE_MAX + 1, 'a')), "<refused>");
}

TEST(AclMatch, SealedListsNoLongerRehashOnLookup) {
    // Shared lists are read by every worker: a lookup must never move a bucket.
    x_acl_cache_t cache{};
    for (int i = 0; i < 37; i++) {
        ASSERT_TRUE(insert(&cache, "h" + std::to_string(i) + ".shared.test"));
        ASSERT_TRUE(insert(&cache, ":" + std::to_string(1000 + i)));
    }
    x_acl_cache_seal(&cache);
    EXPECT_FALSE(dictIsRehashing(cache.node_pool));
    EXPECT_FALSE(dictIsRehashing(cache.port_pool));
    dictIterator it;
    dictInitIterator(&it, cache.node_pool);
    while (dictEntry *e = dictNext(&it)) {
        dict *below = static_cast<x_acl_node_t *>(e->v.val)->pool;
        ASSERT_NE(below, nullptr);
        EXPECT_FALSE(dictIsRehashing(below));
        dictIterator inner;
        dictInitIterator(&inner, below);
        while (dictEntry *f = dictNext(&inner)) {
            dict *deepest = static_cast<x_acl_node_t *>(f->v.val)->pool;
            ASSERT_NE(deepest, nullptr); // the 37 labels below "shared.test"
            EXPECT_FALSE(dictIsRehashing(deepest));
        }
        dictResetIterator(&inner);
    }
    dictResetIterator(&it);
    x_acl_match_t m = target("h5.shared.test", 80);
    EXPECT_TRUE(x_acl_match_in_cache(&cache, &m));
    x_acl_cache_member_free(&cache);
}
