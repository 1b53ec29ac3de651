// Answers of the authentication service: any message, read against three sessions waiting on
// request 1 of a fresh backend, is ASan-clean, and a message the reader rejects changes no cache.
#include "auth/x_auth_remote.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"

#include <cstdlib>

namespace {

x_server_t *start_server() {
    static x_config_remote_server_t service = {{9, (uint8_t *)"127.0.0.1"}, 9};
    x_server_t *s = x_server_create();
    s->config.auth_num = 1;
    s->config.auths = static_cast<x_config_auth_t *>(calloc(1, sizeof(x_config_auth_t)));
    x_config_auth_t &a = s->config.auths[0];
    a.type = X_AUTH_TYPE_REMOTE;
    a.need_start = true;
    a.config.remote.server_num = 1; // pool_size 0: a pool without connections
    a.config.remote.servers = &service;
    if (!x_server_start(s)) abort();
    return s;
}

x_client_t *waiting(x_server_t *s) {
    x_client_t *c = x_client_new(s);
    c->thread = s->main_thread;
    c->auth_index = 0;
    c->session = x_client_get_session(s->main_thread->session_to_clients, 0);
    dictAdd(s->main_thread->session_to_clients, reinterpret_cast<void *>(uintptr_t{c->session}), c);
    if (!ngx_str_init(&c->auth_request.username, "bob", 3) ||
        !ngx_str_init(&c->auth_request.password, "pw", 2))
        abort();
    x_auth_start_auth(s, c, [](x_client_t *) {});
    return c;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static x_server_t *s = start_server();
    x_auth_base_t *old = s->auths[0];
    x_auth_remote_t *r = x_auth_remote_create(s, 0);
    if (!x_auth_remote_do_load_config(&r->base, &s->config.auths[0]) ||
        !x_auth_remote_do_init(&r->base))
        abort();
    r->base.need_start = true;
    s->auths[0] = &r->base;
    old->do_free(old);
    x_client_t *c[3] = {waiting(s), waiting(s), waiting(s)};
    x_auth_answer_t ans{};
    bool rejected = x_auth_remote_read_answer(data, size, false, &ans) != x_answer_read::complete;
    x_auth_answer_free(&ans);
    (void)x_auth_remote_do_recv_auth_msg(r, data, size);
    if (rejected &&
        dictSize(r->user_cache) + dictSize(r->user_key_cache) + dictSize(r->error_cache))
        abort();
    (void)x_auth_remote_do_recv_verify_msg(r, data, size);
    for (x_client_t *x : c) {
        x_auth_remote_do_client_close(&r->base, x);
        x_client_free(x);
    }
    return 0;
}
