#include "auth/x_auth.h"

#include "auth/x_auth_forward.h"
#include "auth/x_auth_local.h"
#include "auth/x_auth_remote.h"
#include "auth/x_auth_tovask.h"
#include "core/log.h"
#include "core/platform_kni.h"
#include "core/socket_util.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"

#include <cstdlib>
#include <sys/stat.h>

namespace {

void *session_data(uint32_t session) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(session));
}

// The session an answer is for, on the thread that received it: null (after the log line) when
// it is gone, closing, or owned by another thread. Closing from a foreign thread would break the
// owner's bookkeeping, and a closing session has nobody left to continue.
x_client_t *answer_target(work_thread_t *thread, uint32_t session, const char *what) {
    auto *c = static_cast<x_client_t *>(
        dictFetchValue(thread->session_to_clients, session_data(session)));
    if (c == nullptr) {
        log_info("%s resp client session [%08x] is expired\n", what, session);
        return nullptr;
    }
    if (c->thread != thread) {
        log_error("client session [%08x] %s resp in other thread index %u\n", session, what,
                  thread->index);
        return nullptr;
    }
    if (x_client_is_closing(c)) return nullptr;
    return c;
}

x_auth_base_t *backend_of(x_server_t *server, const x_client_t *c) {
    if (server->auths == nullptr || c->auth_index < 0 ||
        static_cast<uint32_t>(c->auth_index) >= server->auth_num)
        return nullptr;
    return server->auths[c->auth_index];
}

void send_answer(uint32_t to, uint32_t type, uint32_t session, const char *what) {
    if (!pf_ipc_send_to_worker(to, type, session_data(session)))
        log_error("ipc send auth %sresp to worker failed\n", what);
}

bool send_request(x_client_t *c, uint32_t type, const char *what) {
    c->auth_request.from_ipc_id = c->thread->index;
    bool question = type != X_IPC_VERIFY_REQ;
    if (question) c->auth_request.question_pending = true;
    if (pf_ipc_send_to_main(c->thread->index, type, session_data(c->session))) return true;
    if (question) c->auth_request.question_pending = false;
    log_error("ipc send auth %srequest to main failed\n", what);
    x_client_close(c);
    return false;
}

// One list file: reloads `cache` when the file's modification time moved. False when the file
// cannot be examined.
bool reload_list(const char *path, const char *name, x_acl_cache_t *cache, time_t *mtime) {
    struct stat st;
    if (stat(path, &st) != 0) {
        log_error("get %s file stat failed\n", name);
        return false;
    }
    if (st.st_mtime != *mtime) {
        log_info("%s file %s is changed\n", name, path);
        if (!x_acl_match_fill_cache_by_file(cache, path)) log_error("load %s file failed\n", name);
        // A failed load waits for the next change of the file.
        *mtime = st.st_mtime;
    }
    return true;
}

bool check_due(uint64_t last, uint64_t now) {
    return last == 0 || last + X_AUTH_ACL_FILE_CHECK_MS < now;
}

x_auth_base_t *create_backend(x_server_t *server, uint32_t index, uint16_t type) {
    switch (type) {
    case X_AUTH_TYPE_REMOTE: {
        x_auth_remote_t *remote = x_auth_remote_create(server, index);
        return remote ? &remote->base : nullptr;
    }
    case X_AUTH_TYPE_TOVASK: {
        x_auth_tovask_t *tovask = x_auth_tovask_create(server, index);
        return tovask ? &tovask->base : nullptr;
    }
    case X_AUTH_TYPE_FORWARD: {
        x_auth_forward_t *forward = x_auth_forward_create(server, index);
        return forward ? &forward->base : nullptr;
    }
    case X_AUTH_TYPE_LOCAL: {
        x_auth_local_t *local = x_auth_local_create(server, index);
        return local ? &local->base : nullptr;
    }
    default:
        return nullptr;
    }
}

} // namespace

// ---- owner side ----

void x_auth_start_auth(x_server_t *, x_client_t *client, void (*callback)(x_client_t *)) {
    if (client == nullptr || callback == nullptr || client->auth_index == -1) return;
    client->auth_request.auth_callback = callback;
    if (client->connect_ev_data.xport != nullptr)
        client->auth_request.port_id = client->connect_ev_data.xport->port_id;
    (void)send_request(client, X_IPC_AUTH_REQ, "");
}

void x_auth_start_acl(x_server_t *server, x_client_t *client,
                      void (*callback)(x_client_t *, uint32_t)) {
    if (client == nullptr || callback == nullptr) return;
    // What is checked is what is later resolved and connected to: one canonical spelling.
    if (!x_acl_match_normalize_target(&client->acl_match)) {
        callback(client, X_ACL_BLOCK);
        return;
    }
    if (client->auth_index == -1) {
        callback(client, X_ACL_ALLOW);
        return;
    }
    const ngx_str_t &host = client->acl_match.target_host;
    struct sockaddr_storage literal;
    if (!server->config.allow_local_ip &&
        parse_addr_literal(reinterpret_cast<const char *>(host.data), host.len, &literal) &&
        is_local_addr(&literal)) {
        callback(client, X_ACL_BLOCK);
        return;
    }
    if (is_internal_ip(reinterpret_cast<const char *>(host.data))) {
        callback(client, server->config.allow_internal_ip ? X_ACL_ALLOW : X_ACL_BLOCK);
        return;
    }
    client->auth_request.acl_callback = callback;
    (void)send_request(client, X_IPC_ACL_REQ, "acl ");
}

bool x_auth_resolved_allowed(const x_client_t *client, const struct sockaddr_storage *addr) {
    if (client->auth_index == -1) return true;
    const x_config_server_t &config = client->server->config;
    if (!config.allow_local_ip && is_local_addr(addr)) return false;
    return config.allow_internal_ip || !is_internal_addr(addr);
}

void x_auth_start_verify(x_server_t *, x_client_t *client) {
    if (client == nullptr || client->auth_index < 0 || client->auth_request.verify_pending ||
        client->auth_result.user_key.len == 0)
        return;
    client->auth_request.verify_pending = true;
    if (!send_request(client, X_IPC_VERIFY_REQ, "verify "))
        client->auth_request.verify_pending = false;
}

void x_auth_verify_tick(x_client_t *client, uint64_t now) {
    // The result belongs to the main thread while a verify is out: not even read then.
    if (client->auth_request.verify_pending) return;
    const x_client_auth_result_t &r = client->auth_result;
    if (r.next_verify != 0 && r.last_verify + r.next_verify < now)
        x_auth_start_verify(client->server, client);
}

void x_auth_on_ipc_auth_resp(work_thread_t *thread, uint32_t client_session) {
    x_client_t *c = answer_target(thread, client_session, "auth");
    if (c == nullptr) return;
    c->auth_request.question_pending = false;
    if (c->auth_request.auth_callback) c->auth_request.auth_callback(c);
}

void x_auth_on_ipc_acl_resp(work_thread_t *thread, uint32_t client_session) {
    x_client_t *c = answer_target(thread, client_session, "acl");
    if (c == nullptr) return;
    c->auth_request.question_pending = false;
    if (c->auth_request.acl_callback) c->auth_request.acl_callback(c, c->auth_result.code);
}

void x_auth_on_ipc_verify_resp(work_thread_t *thread, uint32_t client_session) {
    x_client_t *c = answer_target(thread, client_session, "verify");
    if (c == nullptr) return;
    c->auth_request.verify_pending = false;
    if (c->auth_result.code != 0) {
        x_client_log_error(c, X_ERROR_AUTH_VERIFY, "verify failed");
        x_client_close(c);
    }
}

// ---- main thread ----

void x_auth_finish_auth(x_server_t *, uint32_t to_ipc_id, uint32_t client_session) {
    send_answer(to_ipc_id, X_IPC_AUTH_RESP, client_session, "");
}

void x_auth_finish_acl(x_server_t *, uint32_t to_ipc_id, uint32_t client_session) {
    send_answer(to_ipc_id, X_IPC_ACL_RESP, client_session, "acl ");
}

void x_auth_finish_verify(x_server_t *, uint32_t to_ipc_id, uint32_t client_session) {
    send_answer(to_ipc_id, X_IPC_VERIFY_RESP, client_session, "verify ");
}

void x_auth_on_ipc_request(work_thread_t *main_thread, uint32_t type, uint32_t client_session) {
    auto *c = static_cast<x_client_t *>(
        dictFetchValue(main_thread->session_to_clients, session_data(client_session)));
    const char *what = type == X_IPC_AUTH_REQ ? "auth" : type == X_IPC_ACL_REQ ? "acl" : "verify";
    if (c == nullptr) {
        log_info("%s req client session [%08x] is expired\n", what, client_session);
        return;
    }
    x_auth_base_t *auth = backend_of(main_thread->server, c);
    if (auth == nullptr) return;
    if (type == X_IPC_AUTH_REQ && auth->need_start && auth->do_auth) auth->do_auth(auth, c);
    if (type == X_IPC_ACL_REQ && auth->do_acl) auth->do_acl(auth, c);
    if (type == X_IPC_VERIFY_REQ && auth->do_verify) auth->do_verify(auth, c);
}

void x_auth_on_client_close(x_server_t *server, x_client_t *client) {
    x_auth_base_t *auth = backend_of(server, client);
    if (auth && auth->do_client_close) auth->do_client_close(auth, client);
}

uint32_t x_auth_acl_code(const x_auth_base_t *auth, const x_acl_match_t *match) {
    if (x_acl_match_in_cache(&auth->white_cache, match)) return X_ACL_ALLOW;
    return x_acl_match_in_cache(&auth->black_cache, match) ? X_ACL_BLOCK : X_ACL_ALLOW;
}

void x_auth_do_acl_common(x_auth_base_t *auth, x_client_t *client) {
    client->auth_result.code = x_auth_acl_code(auth, &client->acl_match);
    x_auth_finish_acl(auth->server, client->auth_request.from_ipc_id, client->session);
}

void x_auth_acl_file_check(x_auth_base_t *auth) {
    const x_config_server_t &cfg = auth->server->config;
    uint64_t now = x_time_ms();
    // Each list on its own clock: a missing white list must not freeze black-list updates, and
    // a file that cannot be examined is looked at again a period later, not on every pass.
    if (cfg.white_list_file.len > 0 && check_due(auth->last_white_file_check_time, now)) {
        (void)reload_list(reinterpret_cast<const char *>(cfg.white_list_file.data), "white",
                          &auth->white_cache, &auth->last_white_file_modified_time);
        auth->last_white_file_check_time = now;
    }
    if (cfg.black_list_file.len > 0 && check_due(auth->last_black_file_check_time, now)) {
        (void)reload_list(reinterpret_cast<const char *>(cfg.black_list_file.data), "black",
                          &auth->black_cache, &auth->last_black_file_modified_time);
        auth->last_black_file_check_time = now;
    }
}

bool x_auth_check_list_files(const x_config_server_t *cfg) {
    const ngx_str_t *files[] = {&cfg->white_list_file, &cfg->black_list_file};
    const char *names[] = {"white", "black"};
    for (int i = 0; i < 2; i++) {
        if (files[i]->len == 0) continue;
        const char *path = reinterpret_cast<const char *>(files[i]->data);
        x_acl_cache_t scratch = {};
        bool ok = x_acl_match_fill_cache_by_file(&scratch, path);
        x_acl_cache_member_free(&scratch);
        if (!ok) {
            log_error("load %s file %s failed\n", names[i], path);
            return false;
        }
    }
    return true;
}

bool x_auth_check_backend_files(x_server_t *server) {
    for (uint32_t i = 0; i < server->auth_num; i++) {
        x_auth_base_t *auth = server->auths[i];
        if (auth->type == X_AUTH_TYPE_FORWARD && !x_auth_forward_check_resource(auth)) return false;
    }
    return true;
}

void x_auth_base_init(x_auth_base_t *auth, x_server_t *server, uint32_t index, uint16_t type) {
    auth->server = server;
    auth->index = index;
    auth->type = type;
}

void x_auth_base_free(x_auth_base_t *auth) {
    x_acl_cache_member_free(&auth->white_cache);
    x_acl_cache_member_free(&auth->black_cache);
}

bool x_auth_create_backends(x_server_t *server) {
    x_config_server_t &cfg = server->config;
    if (cfg.auth_num == 0) return true;
    server->auths = static_cast<x_auth_base_t **>(calloc(cfg.auth_num, sizeof(x_auth_base_t *)));
    if (server->auths == nullptr) {
        log_error("auth backends malloc failed\n");
        return false;
    }
    server->auth_num = cfg.auth_num;
    for (uint32_t i = 0; i < cfg.auth_num; i++) {
        x_config_auth_t *section = &cfg.auths[i];
        x_auth_base_t *auth = create_backend(server, i, section->type);
        if (auth == nullptr) {
            log_error("auth[%u] create backend of type %u failed\n", i, section->type);
            return false;
        }
        server->auths[i] = auth;
        auth->need_start = section->need_start;
        if (auth->do_load_config && !auth->do_load_config(auth, section)) {
            log_error("auth[%u] load config failed\n", i);
            return false;
        }
    }
    return true;
}

bool x_auth_init_backends(x_server_t *server) {
    for (uint32_t i = 0; i < server->auth_num; i++) {
        x_auth_base_t *auth = server->auths[i];
        if (auth && auth->need_start && auth->do_init && !auth->do_init(auth)) {
            log_error("auth[%u] init failed\n", i);
            return false;
        }
    }
    return true;
}

void x_auth_check_backends(x_server_t *server) {
    for (uint32_t i = 0; i < server->auth_num; i++) {
        x_auth_base_t *auth = server->auths[i];
        if (auth && auth->need_start && auth->do_check) auth->do_check(auth);
    }
}

void x_auth_free_backends(x_server_t *server) {
    for (uint32_t i = 0; i < server->auth_num; i++) {
        x_auth_base_t *auth = server->auths[i];
        if (auth && auth->do_free) auth->do_free(auth);
    }
    free(server->auths);
    server->auths = nullptr;
    server->auth_num = 0;
}
