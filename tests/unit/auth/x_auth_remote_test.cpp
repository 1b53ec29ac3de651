#include "auth/bjson_msg.h"
#include "auth/x_auth_remote.h"
#include "core/fake_clock.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>

namespace {

std::vector<std::string> sent; // messages the backend sent, in order

bool capture(x_auth_remote_t *, x_conn_pool_t *, const uint8_t *data, size_t len) {
    sent.emplace_back(reinterpret_cast<const char *>(data), len);
    return true;
}

void *key_of(uint32_t session) {
    return reinterpret_cast<void *>(uintptr_t{session});
}

// A started one-thread server whose section 0 is a remote backend sending into `sent`.
struct Remote {
    FakeClock clock{1000000};
    x_server_t *s = x_server_create();
    x_auth_remote_t *auth = nullptr;
    std::vector<x_client_t *> sessions;

    Remote() {
        s->config.auth_num = 1;
        s->config.auths = static_cast<x_config_auth_t *>(calloc(1, sizeof(x_config_auth_t)));
        s->config.auths[0].type = X_AUTH_TYPE_REMOTE;
        s->config.auths[0].need_start = true;
        EXPECT_TRUE(x_server_start(s));
        auth = reinterpret_cast<x_auth_remote_t *>(s->auths[0]);
        auth->send = capture;
        sent.clear();
    }
    ~Remote() {
        for (x_client_t *c : sessions)
            x_client_free(c);
        x_server_close(s);
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
        dictAdd(s->main_thread->session_to_clients, key_of(c->session), c);
        EXPECT_TRUE(ngx_str_init(&c->auth_request.username, user, strlen(user)));
        EXPECT_TRUE(ngx_str_init(&c->auth_request.password, pass, strlen(pass)));
        c->auth_result.code = 999;
        x_auth_start_auth(s, c, [](x_client_t *) {});
        return c;
    }
    // Answers the last request handed out with "a" 2 and `m`.
    void answer(Members m) {
        m.insert(m.begin(), {{"i", I(auth->request_id)}, {"a", I(2)}});
        std::string msg = obj(m);
        EXPECT_TRUE(x_auth_remote_do_recv_auth_msg(
            auth, reinterpret_cast<const uint8_t *>(msg.data()), msg.size()));
    }
    // The close notice; the session leaves the main thread's table as when it is freed.
    void close(x_client_t *c) {
        x_auth_remote_do_client_close(&auth->base, c);
        dictDelete(s->main_thread->session_to_clients, key_of(c->session));
    }
};

} // namespace

// Answers that must be refused whole: nothing of them may reach a cache.
TEST(AuthRemote, UnusableAnswersRefuseAndChangeNothing) {
    std::pair<Members, uint32_t> cases[] = {
        {{{"c", I(0)}, {"t", S("u")}, {"r", S("1")}}, 642},
        {{{"c", I(0)}, {"t", S("u")}, {"b", I(1)}, {"bl", L({"x.test", ""})}}, 642},
        {{{"c", I(0)}, {"t", S("u")}, {"t", S("v")}}, 642},
        {{{"c", I(0)}, {"t", S("u")}, {"f", I(1)}}, 642},
        {{{"c", I(0)}, {"f", obj({{"h", S("h")}, {"dp", I(70000)}})}}, 642},
        {{{"c", I(0)}, {"t", S(std::string(1025, 'x'))}}, 642},
    };
    for (auto &[members, code] : cases) {
        Remote srv;
        x_client_t *c = srv.login("bob", "pw");
        srv.answer(members);
        EXPECT_EQ(c->auth_result.code, code);
        EXPECT_FALSE(c->auth_result.holds_user);
        EXPECT_EQ(dictSize(srv.auth->user_cache) + dictSize(srv.auth->user_key_cache) +
                      dictSize(srv.auth->error_cache) + dictSize(srv.auth->request_cache),
                  0u);
    }
}

TEST(AuthRemote, NewPasswordDoesNotKeepTheOldOneAlive) {
    Remote srv;
    srv.login("bob", "old");
    srv.answer({{"c", I(0)}, {"t", S("bob")}, {"ct", I(10)}});
    srv.clock.now += 8000;
    srv.login("bob", "new");
    srv.answer({{"c", I(0)}, {"t", S("bob")}, {"ct", I(10)}});
    srv.clock.now += 4000; // past the old key's cache time, inside the new one's
    srv.login("bob", "new");
    EXPECT_EQ(sent.size(), 2u);
    x_client_t *d = srv.login("bob", "old");
    EXPECT_EQ(sent.size(), 3u); // asked again, and refused
    srv.answer({{"c", I(7)}});
    EXPECT_EQ(d->auth_result.code, 7u);
}

TEST(AuthRemote, VerifyJoinersAndLeaversAreFoundById) {
    Remote srv;
    x_client_t *c[3] = {srv.login("bob", "pw"), srv.login("bob", "pw"), srv.login("bob", "pw")};
    srv.answer({{"c", I(0)}, {"t", S("bob")}, {"v", I(3)}, {"vu", I(1)}, {"ct", I(60)}});
    EXPECT_EQ(c[0]->auth_result.next_verify, 10000u); // 3 s raised to the 10 s floor
    srv.clock.now += 20000;
    for (auto *x : c)
        x_auth_start_verify(srv.s, x);
    EXPECT_EQ(sent.size(), 2u); // one verify for the three
    EXPECT_EQ(c[1]->auth_request.request_id, c[0]->auth_request.request_id);
    srv.close(c[1]); // leaves before the answer: skipped, never touched
    c[1]->auth_result.code = 555;
    std::string msg = obj({{"i", I(c[0]->auth_request.request_id)}, {"a", I(4)}, {"c", I(1)}});
    EXPECT_TRUE(x_auth_remote_do_recv_verify_msg(
        srv.auth, reinterpret_cast<const uint8_t *>(msg.data()), msg.size()));
    EXPECT_EQ(c[0]->auth_result.code + c[1]->auth_result.code + c[2]->auth_result.code, 557u);
    srv.auth->request_id = X_AUTH_REMOTE_REQUEST_ID_MAX;
    EXPECT_EQ(srv.login("eve", "pw")->auth_request.request_id, 1u);
}
