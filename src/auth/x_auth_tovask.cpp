#include "auth/x_auth_tovask.h"

#include "auth/x_auth_forward.h"
#include "config/x_server_config.h"
#include "core/log.h"
#include "core/x_client.h"

#include <cstdlib>
#include <new>

namespace {

x_auth_tovask_t *tovask_of(x_auth_base_t *auth) {
    return reinterpret_cast<x_auth_tovask_t *>(auth);
}

// Cuts the last "-"-led section off [data, *end): the section into out, *end before its "-".
bool cut_last(const uint8_t *data, size_t *end, ngx_str_t *out) {
    size_t i = *end;
    while (i > 0 && data[i - 1] != '-')
        i--;
    if (i == 0 || i == *end) return false; // no "-", or an empty section
    *out = ngx_str_t{*end - i, const_cast<uint8_t *>(data + i)};
    *end = i - 1;
    return true;
}

uint32_t authenticate(x_auth_tovask_t *tv, x_client_t *c) {
    const ngx_str_t &name = c->auth_request.username;
    const ngx_str_t &pass = c->auth_request.password;
    if (name.len < X_TOVASK_NAME_MIN || pass.len != X_AUTH_SIGN_LEN) return X_AUTH_CODE_REFUSED;
    // User names become log and flow tokens: control bytes would forge lines there.
    if (!x_auth_name_printable(&name)) return X_AUTH_CODE_REFUSED;
    char sign[X_AUTH_SIGN_LEN + 1];
    if (!x_auth_sign(&tv->conf->config.tovask.sign_salt, name.data, name.len, sign) ||
        !x_auth_sign_equals(sign, &pass))
        return X_AUTH_CODE_REFUSED;
    x_tovask_name_t parts;
    if (!x_auth_tovask_parse_name(&name, &parts)) return X_AUTH_CODE_REFUSED;
    if (!x_client_fill_forward(c, &parts.host, parts.port, X_FORWARD_TOVASK, &parts.user,
                               &parts.password)) {
        log_error("client ill forward fail\n");
        return X_AUTH_CODE_REFUSED;
    }
    x_client_auth_result_t *r = &c->auth_result;
    if (!ngx_str_update(&r->log_token, &name) || !ngx_str_update(&r->flow_token, &name))
        return X_AUTH_CODE_REFUSED;
    return 0;
}

} // namespace

bool x_auth_tovask_parse_name(const ngx_str_t *name, x_tovask_name_t *out) {
    size_t end = name->len;
    ngx_str_t port;
    if (!cut_last(name->data, &end, &port) || !cut_last(name->data, &end, &out->host) ||
        !cut_last(name->data, &end, &out->password) || end == 0)
        return false;
    out->user = ngx_str_t{end, name->data};
    return x_auth_parse_port(&port, &out->port);
}

x_auth_tovask_t *x_auth_tovask_create(x_server_t *server, uint32_t index) {
    void *mem = calloc(1, sizeof(x_auth_tovask_t));
    if (mem == nullptr) return nullptr;
    auto *tv = new (mem) x_auth_tovask_t{};
    x_auth_base_init(&tv->base, server, index, X_AUTH_TYPE_TOVASK);
    tv->base.do_load_config = x_auth_tovask_do_load_config;
    tv->base.do_check = x_auth_tovask_do_check;
    tv->base.do_free = x_auth_tovask_do_free;
    tv->base.do_auth = x_auth_tovask_do_auth;
    tv->base.do_acl = x_auth_tovask_do_acl;
    return tv;
}

bool x_auth_tovask_do_load_config(x_auth_base_t *auth, x_config_auth_t *conf) {
    tovask_of(auth)->conf = conf;
    return true;
}

void x_auth_tovask_do_auth(x_auth_base_t *auth, x_client_t *client) {
    client->auth_result.code = authenticate(tovask_of(auth), client);
    x_auth_finish_auth(auth->server, client->auth_request.from_ipc_id, client->session);
}

void x_auth_tovask_do_acl(x_auth_base_t *auth, x_client_t *client) {
    x_auth_do_acl_common(auth, client);
}

void x_auth_tovask_do_check(x_auth_base_t *auth) {
    x_auth_acl_file_check(auth);
}

void x_auth_tovask_do_free(x_auth_base_t *auth) {
    x_auth_tovask_t *tv = tovask_of(auth);
    x_auth_base_free(auth);
    tv->~x_auth_tovask_t();
    free(tv);
}
