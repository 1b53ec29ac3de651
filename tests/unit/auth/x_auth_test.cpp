#include "auth/x_auth.h"
#include "auth/x_auth_local.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

ngx_str_t owned(const std::string &s) {
    ngx_str_t out{};
    EXPECT_TRUE(ngx_str_init(&out, s.data(), s.size()));
    return out;
}

std::string temp_file(const std::string &content) {
    char tmpl[] = "/tmp/auth_test_XXXXXX";
    int fd = mkstemp(tmpl);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    return tmpl;
}

// A started one-thread server whose section 0 is a local backend with user alice: every question
// and answer is delivered synchronously on the calling (main) thread.
struct LocalServer {
    x_server_t *s = x_server_create();
    std::vector<std::string> files;
    bool started = false;

    LocalServer() {
        x_config_server_t &cfg = s->config;
        cfg.src_timeout = cfg.dst_timeout = 1000;
        files = {temp_file("ok.blocked.test\n"), temp_file("\n.blocked.test\n:25\n"),
                 temp_file("10.0.0.7\n")};
        cfg.white_list_file = owned(files[0]);
        cfg.black_list_file = owned(files[1]);
        cfg.auth_num = 1;
        cfg.auths = static_cast<x_config_auth_t *>(calloc(1, sizeof(x_config_auth_t)));
        x_config_auth_t &a = cfg.auths[0];
        a.type = X_AUTH_TYPE_LOCAL;
        a.need_start = true;
        x_config_auth_local_t &l = a.config.local;
        l.whitelist_file = owned(files[2]);
        l.whitelist_rate_limit = 1000;
        l.users = static_cast<x_config_auth_local_user_t *>(calloc(1, sizeof *l.users));
        l.user_num = 1;
        l.users[0].username = owned("alice");
        l.users[0].password = owned("secret");
        l.users[0].rate_limit = 5000;
        started = x_server_start(s);
        if (started) x_auth_check_backends(s); // the first pass loads the lists
    }
    ~LocalServer() {
        x_server_close(s);
        for (auto &f : files)
            unlink(f.c_str());
    }

    x_client_t *session() {
        x_client_t *c = x_client_new(s);
        c->thread = s->main_thread;
        c->auth_index = 0;
        c->addr.sin_family = AF_INET;
        inet_pton(AF_INET, "192.0.2.1", &c->addr.sin_addr);
        c->session = x_client_get_session(s->main_thread->session_to_clients, 0);
        dictAdd(s->main_thread->session_to_clients, reinterpret_cast<void *>(uintptr_t{c->session}),
                c);
        return c;
    }
};

int verify_requests;
void count_verify(x_auth_base_t *, x_client_t *) {
    verify_requests++;
}

} // namespace

TEST(AuthLocal, WhitelistEntriesAreParsedStrictly) {
    struct Case {
        const char *content;
        bool loads;
    } cases[] = {
        {"10.0.0.1\r\n\r\n10.0.0.2\n", true},
        {"\n\n10.0.0.1\n", true}, // a blank first line does not end the list
        {"10.0.0.300\n", false},
        {"10.0.0.1\n10.0.0.1\n", false},
        {"010.0.0.1\n", false},
        {"10.0.0.1.00000000000000000000000000000000\n", false},
    };
    for (const Case &k : cases) {
        std::string f = temp_file(k.content);
        x_auth_local_t *local = x_auth_local_create(nullptr, 0);
        EXPECT_EQ(x_auth_local_load_whitelist(local, f.c_str()), k.loads) << k.content;
        EXPECT_EQ(local->whitelist_cache != nullptr, k.loads);
        x_auth_local_do_free(&local->base);
        unlink(f.c_str());
    }
}

TEST(AuthExchange, OneVerifyAtATimeAndAFailedOneCloses) {
    LocalServer srv;
    ASSERT_TRUE(srv.started);
    srv.s->auths[0]->do_verify = count_verify; // takes the request, answers later
    x_client_t *c = srv.session();
    verify_requests = 0;
    x_auth_start_verify(srv.s, c); // no user key: never verified
    EXPECT_EQ(verify_requests, 0);
    c->auth_result.user_key = owned("k");
    c->auth_result.last_verify = 1000;
    c->auth_result.next_verify = 500;
    x_auth_verify_tick(c, 1500);
    EXPECT_EQ(verify_requests, 0);
    x_auth_verify_tick(c, 1501);
    x_auth_verify_tick(c, 1600);
    x_auth_start_verify(srv.s, c);
    EXPECT_EQ(verify_requests, 1);

    c->auth_result.code = 0; // confirmed: the session goes on, and may be verified again
    x_auth_finish_verify(srv.s, 0, c->session);
    EXPECT_FALSE(x_client_is_closing(c));
    x_auth_start_verify(srv.s, c);
    EXPECT_EQ(verify_requests, 2);
    c->auth_result.code = 403;
    x_auth_finish_verify(srv.s, 0, c->session);
    EXPECT_TRUE(x_client_is_closing(c));
    EXPECT_EQ(c->error_code, X_ERROR_AUTH_VERIFY);
    work_thread_do(srv.s->main_thread);
}
