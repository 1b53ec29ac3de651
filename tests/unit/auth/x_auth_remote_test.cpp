#include "auth/x_auth_remote.h"
#include "bjson/binary_json_raw.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

uint64_t fake_now = 1000000;
uint64_t fake_clock() {
    return fake_now;
}

std::vector<std::string> sent; // messages the backend sent, in order

bool capture(x_auth_remote_t *, x_conn_pool_t *, const uint8_t *data, size_t len) {
    sent.emplace_back(reinterpret_cast<const char *>(data), len);
    return true;
}

// Encoded values for building answers.
std::string enc(bool (*write)(buf_t *)) {
    buf_t b{};
    EXPECT_TRUE(write(&b));
    std::string s(reinterpret_cast<char *>(b.pos), buf_size(&b));
    buf_free(&b);
    return s;
}
std::string I(int64_t v) {
    static int64_t x;
    x = v;
    return enc([](buf_t *b) { return bjson_raw_write_int(b, x); });
}
std::string S(const char *v) {
    static const char *x;
    x = v;
    return enc([](buf_t *b) { return bjson_raw_write_string(b, x, strlen(x)); });
}
std::string L(std::vector<const char *> items) {
    std::string out = enc([](buf_t *b) { return bjson_raw_write_array(b, 0); });
    out[0] = static_cast<char>(0xC0 | items.size());
    for (const char *i : items)
        out += S(i);
    return out;
}
const std::string TRUE_ = "\x01";

using Members = std::vector<std::pair<std::string, std::string>>;
std::string obj(const Members &m) {
    std::vector<uint32_t> lens;
    for (auto &kv : m)
        lens.push_back(static_cast<uint32_t>(kv.first.size()));
    buf_t b{};
    EXPECT_TRUE(bjson_raw_write_object_by_array(&b, lens.size(), lens.data()));
    std::string s(reinterpret_cast<char *>(b.pos), buf_size(&b));
    buf_free(&b);
    for (auto &kv : m)
        s += kv.first + kv.second;
    return s;
}

// A started one-thread server whose section 0 is a remote backend sending into `sent`.
struct RemoteServer {
    x_server_t *s = x_server_create();
    x_auth_remote_t *auth = nullptr;
    std::vector<x_client_t *> sessions;

    explicit RemoteServer(void (*tune)(x_config_auth_remote_t &) = nullptr) {
        x_time_set_clock(fake_clock);
        x_config_server_t &cfg = s->config;
        cfg.src_timeout = cfg.dst_timeout = 1000;
        cfg.auth_num = 1;
        cfg.auths = static_cast<x_config_auth_t *>(calloc(1, sizeof(x_config_auth_t)));
        cfg.auths[0].type = X_AUTH_TYPE_REMOTE;
        cfg.auths[0].need_start = true;
        x_config_auth_remote_t &rc = cfg.auths[0].config.remote;
        rc.error_timeout = 10000;
        if (tune) tune(rc);
        EXPECT_TRUE(x_server_start(s));
        auth = reinterpret_cast<x_auth_remote_t *>(s->auths[0]);
        auth->send = capture;
        sent.clear();
    }
    ~RemoteServer() {
        for (x_client_t *c : sessions)
            x_client_free(c);
        x_server_close(s);
        x_time_set_clock(nullptr);
    }

    x_client_t *login(const char *user, const char *pass) {
        x_client_t *c = x_client_new(s);
        sessions.push_back(c);
        c->thread = s->main_thread;
        c->auth_index = 0;
        c->addr.sin_addr.s_addr = htonl(0xC0000201);
        c->localaddr.sin_addr.s_addr = htonl(0x7F000001);
        c->localaddr.sin_port = htons(1080);
        c->session = x_client_get_session(s->main_thread->session_to_clients, 0);
        dictAdd(s->main_thread->session_to_clients, reinterpret_cast<void *>(uintptr_t{c->session}),
                c);
        if (*user) {
            EXPECT_TRUE(ngx_str_init(&c->auth_request.username, user, strlen(user)));
        }
        if (*pass) {
            EXPECT_TRUE(ngx_str_init(&c->auth_request.password, pass, strlen(pass)));
        }
        c->auth_result.code = 999;
        x_auth_start_auth(s, c, [](x_client_t *) {});
        return c;
    }
    // Answers the last request sent with the given members after "i" and "a".
    void answer(Members m) {
        buf_t b = {};
        ASSERT_FALSE(sent.empty());
        std::string last = sent.back();
        b.start = b.pos = reinterpret_cast<uint8_t *>(last.data());
        b.end = b.last = b.pos + last.size();
        bjson_raw_object_ctx_t ctx{};
        bjson_str_t key{};
        int64_t id = 0;
        ASSERT_TRUE(bjson_raw_read_object(&b, &ctx) &&
                    bjson_raw_read_object_key(&b, &ctx, &key, false) &&
                    bjson_raw_read_int(&b, &id));
        m.insert(m.begin(), {{"i", I(id)}, {"a", I(2)}});
        std::string msg = obj(m);
        EXPECT_TRUE(x_auth_remote_do_recv_auth_msg(
            auth, reinterpret_cast<const uint8_t *>(msg.data()), msg.size()));
    }
    // The close notice; the session leaves the main thread's table as when it is freed.
    void close(x_client_t *c) {
        x_auth_remote_do_client_close(&auth->base, c);
        dictDelete(s->main_thread->session_to_clients,
                   reinterpret_cast<void *>(uintptr_t{c->session}));
    }
    x_auth_user_t *user(const char *token) {
        ngx_str_t t = {strlen(token), reinterpret_cast<uint8_t *>(const_cast<char *>(token))};
        return static_cast<x_auth_user_t *>(dictFetchValue(auth->user_cache, &t));
    }
};

std::string hex(const std::string &s) {
    std::string out;
    char b[4];
    for (unsigned char ch : s) {
        snprintf(b, sizeof b, "%02x", ch);
        out += b;
    }
    return out;
}

} // namespace

TEST(AuthRemote, KeysByMergeRulesAndCredentials) {
    struct Case {
        bool no_whitelist, no_merge;
        const char *user, *pass, *key; // "" refused with 407; S stands for the session id
    } cases[] = {
        {true, false, "", "pw", ""},
        {true, false, "bob", "pw", "|bob|pw|010200c0|0100007f|0438|"},
        {true, true, "session-1", "pw", "|session-1|pw|010200c0|0100007f|0438|"},
        {true, true, "bob", "pw", "|bob|pw|010200c0|0100007f|0438|S|"},
        {false, false, "bob", "", "|010200c0|0100007f|0438|"},
        {false, true, "bob", "", "|010200c0|0100007f|0438|S|"},
        {false, true, "x-session-2", "", "|010200c0|0100007f|0438|"},
        {false, true, "bob", "pw", "|bob|pw|010200c0|0100007f|0438|S|"},
        // A bar inside a credential cannot move a field boundary.
        {false, false, "a|b", "c%", "|a%7cb|c%25|010200c0|0100007f|0438|"},
    };
    for (const Case &k : cases) {
        static Case cur;
        cur = k;
        RemoteServer srv([](x_config_auth_remote_t &rc) {
            rc.no_whitelist = cur.no_whitelist;
            rc.no_merge = cur.no_merge;
        });
        x_client_t *c = srv.login(k.user, k.pass);
        char session[16];
        snprintf(session, sizeof session, "%08x", c->session);
        std::string want = k.key;
        if (auto p = want.find('S'); p != std::string::npos) want.replace(p, 1, session);
        ngx_str_t key{};
        x_auth_key_result r = x_auth_remote_build_key(srv.auth, c, &key);
        EXPECT_EQ(r, *k.key ? x_auth_key_result::key : x_auth_key_result::refuse);
        EXPECT_EQ(c->auth_result.code, *k.key ? 999u : 407u) << k.user;
        if (key.data) {
            EXPECT_EQ(std::string(reinterpret_cast<char *>(key.data), key.len), want);
        }
        ngx_str_free(&key);
    }
}

TEST(AuthRemote, AuthAndVerifyRequestBytes) {
    RemoteServer srv(
        [](x_config_auth_remote_t &rc) { EXPECT_TRUE(ngx_str_init(&rc.tag, "t1", 2)); });
    x_client_t *c = srv.login("bob", "pw");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex(sent[0]), "8811112223692161217543626f62704270776e700438046e61057f000001736105"
                            "c0000201746167427431");
    srv.answer({{"c", I(0)}, {"t", S("bob")}, {"v", I(1)}, {"vu", I(1)}});
    ASSERT_EQ(c->auth_result.code, 0u);
    EXPECT_EQ(c->auth_result.next_verify, 10000u); // 1 s raised to the 10 s floor
    fake_now += 20000;
    x_auth_start_verify(srv.s, c);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(hex(sent[1]), "831110692261237443626f62");
    srv.close(c);
}

// Answers that must be refused whole: nothing of them may reach a cache.
TEST(AuthRemote, UnusableAnswersRefuseAndChangeNothing) {
    struct Case {
        Members m;
        uint32_t code;
    } cases[] = {
        {{{"c", I(0)}, {"t", S("u")}, {"r", I(11)}}, 640},  // level past 10
        {{{"c", I(0)}, {"t", S("u")}, {"r", S("1")}}, 642}, // wrong type
        {{{"c", I(0)}, {"t", S("u")}, {"b", I(1)}, {"bl", L({"x.test", ""})}}, 642}, // bad item
        {{{"c", I(0)}, {"t", S("u")}, {"t", S("v")}}, 642},                          // key twice
        {{{"t", S("u")}}, 642},                                                      // no code
        {{{"c", I(0)}, {"t", S("u")}, {"f", Members{}.empty() ? I(1) : ""}}, 642}, // "f" no object
        {{{"c", I(0)}, {"t", S(std::string(1025, 'x').c_str())}}, 642},            // overlong token
    };
    for (auto &k : cases) {
        RemoteServer srv;
        x_client_t *c = srv.login("bob", "pw");
        srv.answer(k.m);
        EXPECT_EQ(c->auth_result.code, k.code);
        EXPECT_EQ(c->auth_result.holds_user, false);
        EXPECT_EQ(dictSize(srv.auth->user_cache) + dictSize(srv.auth->user_key_cache) +
                      dictSize(srv.auth->error_cache) + dictSize(srv.auth->request_cache),
                  0u);
        srv.close(c);
    }
}

TEST(AuthRemote, ReferencesAreTakenAndGivenBackOnce) {
    RemoteServer srv;
    x_client_t *a = srv.login("bob", "pw");
    srv.answer({{"c", I(0)}, {"t", S("bob")}, {"cl", I(1)}, {"ct", I(60)}});
    x_client_t *b = srv.login("bob", "pw"); // from the cache, over the limit
    EXPECT_EQ(a->auth_result.code, 0u);
    EXPECT_EQ(b->auth_result.code, 644u);
    srv.close(b); // refused: gives nothing back
    srv.close(a);
    srv.close(a); // a second close notice changes nothing
    EXPECT_EQ(srv.user("bob")->ref_count, 0u);
    x_client_t *d = srv.login("bob", "pw");
    EXPECT_EQ(d->auth_result.code, 0u);
    srv.close(d);
}

TEST(AuthRemote, ReAnswersKeepBucketsAndListsFollowVersions) {
    RemoteServer srv;
    x_client_t *c = srv.login("bob", "pw");
    srv.answer({{"c", I(0)}, {"t", S("bob")}, {"ra", I(100)}, {"w", I(1)}, {"al", TRUE_}});
    x_auth_user_t *u = srv.user("bob");
    EXPECT_EQ(u->bucket_up->rate.load(), 102400u);
    EXPECT_TRUE(u->allow_all);
    (void)token_bucket_take(u->bucket_up, 500000);
    uint64_t spent = u->bucket_up->last_take.load();
    struct Step {
        Members m;
        uint32_t rate;
        bool allow_all;
    } steps[] = {
        {{{"c", I(0)}, {"t", S("bob")}, {"ra", I(100)}, {"w", I(1)}}, 102400, true},
        {{{"c", I(0)}, {"t", S("bob")}, {"r", I(3)}, {"w", I(2)}, {"wl", L({"a.test"})}},
         262144,
         false},
        {{{"c", I(0)}, {"t", S("bob")}, {"ra", I(int64_t{1} << 40)}}, UINT32_MAX, false},
        {{{"c", I(0)}, {"t", S("bob")}, {"ct", I(-5)}, {"v", I(-1)}, {"cl", I(-3)}}, 0, false},
    };
    for (auto &k : steps) {
        fake_now += 1; // past the cache time of 0: asked again
        x_client_t *d = srv.login("bob", "pw");
        srv.answer(k.m);
        EXPECT_EQ(d->auth_result.code, 0u);
        EXPECT_EQ(u->bucket_up->rate.load(), k.rate);
        EXPECT_EQ(u->bucket_up->last_take.load(), spent); // never refilled by an answer
        EXPECT_EQ(u->allow_all, k.allow_all);
        srv.close(d);
    }
    EXPECT_EQ(u->conn_limit, 0u);
    EXPECT_EQ(u->next_verify, 0u);
    EXPECT_EQ(u->cache_time, 0u);
    srv.close(c);
}

TEST(AuthRemote, NewPasswordDoesNotKeepTheOldOneAlive) {
    RemoteServer srv;
    x_client_t *a = srv.login("bob", "old");
    srv.answer({{"c", I(0)}, {"t", S("bob")}, {"ct", I(10)}});
    fake_now += 8000;
    x_client_t *b = srv.login("bob", "new");
    srv.answer({{"c", I(0)}, {"t", S("bob")}, {"ct", I(10)}});
    fake_now += 4000; // past the old key's cache time, inside the new one's
    x_client_t *c = srv.login("bob", "new");
    EXPECT_EQ(sent.size(), 2u);
    x_client_t *d = srv.login("bob", "old");
    EXPECT_EQ(sent.size(), 3u); // asked again
    srv.answer({{"c", I(7)}});
    EXPECT_EQ(d->auth_result.code, 7u);
    for (x_client_t *x : {a, b, c, d})
        srv.close(x);
}

TEST(AuthRemote, VerifyJoinersAndLeaversAreFoundById) {
    RemoteServer srv;
    x_client_t *c[3];
    for (auto &x : c)
        x = srv.login("bob", "pw");
    srv.answer({{"c", I(0)}, {"t", S("bob")}, {"v", I(10)}, {"vu", I(1)}, {"ct", I(60)}});
    fake_now += 20000;
    for (auto *x : c)
        x_auth_start_verify(srv.s, x);
    EXPECT_EQ(sent.size(), 2u); // one verify for the three
    EXPECT_EQ(c[1]->auth_request.request_id, c[0]->auth_request.request_id);
    srv.close(c[1]); // leaves before the answer: skipped, never touched
    std::string msg = obj({{"i", I(c[0]->auth_request.request_id)}, {"a", I(4)}, {"c", I(1)}});
    c[1]->auth_result.code = 555;
    EXPECT_TRUE(x_auth_remote_do_recv_verify_msg(
        srv.auth, reinterpret_cast<const uint8_t *>(msg.data()), msg.size()));
    EXPECT_EQ(c[0]->auth_result.code, 1u);
    EXPECT_EQ(c[1]->auth_result.code, 555u);
    EXPECT_EQ(c[2]->auth_result.code, 1u);
    srv.auth->request_id = X_AUTH_REMOTE_REQUEST_ID_MAX;
    x_client_t *n = srv.login("eve", "pw");
    EXPECT_EQ(n->auth_request.request_id, 1u);
    for (auto *x : {c[0], c[2], n})
        srv.close(x);
}
