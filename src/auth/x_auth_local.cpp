#include "auth/x_auth_local.h"

#include "config/x_server_config.h"
#include "core/log.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/stat.h>

namespace {

constexpr uint64_t WHITELIST_CHECK_MS = 60000;

uint64_t name_hash(const void *key) {
    auto *s = static_cast<const ngx_str_t *>(key);
    return dictGenHashFunction(s->data, s->len);
}

int name_compare(dict *, const void *a, const void *b) {
    return ngx_str_equals(static_cast<const ngx_str_t *>(a), static_cast<const ngx_str_t *>(b));
}

void user_free(x_auth_user_info_t *u) {
    ngx_str_free(&u->uname);
    ngx_str_free(&u->passwd);
    u->~x_auth_user_info_t();
    free(u);
}

void user_destructor(dict *, void *val) {
    user_free(static_cast<x_auth_user_info_t *>(val));
}

// Keys are the users' own names; the table frees the users.
dictType user_dict_type = {name_hash, nullptr,         nullptr, name_compare,
                           nullptr,   user_destructor, nullptr, nullptr};
dictType whitelist_dict_type = {dictHashU32Key, nullptr, nullptr, dictComparePtrKey,
                                nullptr,        nullptr, nullptr, nullptr};

x_auth_local_t *local_of(x_auth_base_t *auth) {
    return reinterpret_cast<x_auth_local_t *>(auth);
}

void *addr_key(in_addr_t addr) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(addr));
}

void buckets_init(x_auth_user_info_t *u, uint32_t rate) {
    token_bucket_init(&u->bucket_up, rate, 2ull * rate);
    token_bucket_init(&u->bucket_down, rate, 2ull * rate);
}

bool add_user(x_auth_local_t *local, const x_config_auth_local_user_t *cu) {
    const int nlen = static_cast<int>(cu->username.len);
    const char *name = reinterpret_cast<const char *>(cu->username.data);
    void *mem = calloc(1, sizeof(x_auth_user_info_t));
    if (mem == nullptr) {
        log_error("auth local add user [%.*s] malloc failed\n", nlen, name);
        return false;
    }
    auto *u = new (mem) x_auth_user_info_t{};
    if (!ngx_str_copy(&u->uname, &cu->username) || !ngx_str_copy(&u->passwd, &cu->password)) {
        log_error("auth local add user [%.*s] save info failed\n", nlen, name);
        user_free(u);
        return false;
    }
    buckets_init(u, cu->rate_limit);
    if (dictAdd(local->user_db, &u->uname, u) != DICT_OK) {
        log_error("auth local add user [%.*s] add cache failed\n", nlen, name);
        user_free(u);
        return false;
    }
    return true;
}

// One white-list line, blanks around it removed, into a network-order address.
bool parse_entry(const char *p, size_t n, in_addr_t *addr) {
    if (n == 0 || n > X_AUTH_LOCAL_WHITELIST_ENTRY_MAX) return false;
    char text[X_AUTH_LOCAL_WHITELIST_ENTRY_MAX + 1];
    memcpy(text, p, n);
    text[n] = '\0';
    in_addr a;
    // Strict dotted quads only: a lenient reader would turn 10.0.0.300 into another address.
    if (inet_pton(AF_INET, text, &a) != 1) return false;
    *addr = a.s_addr;
    return true;
}

struct WhitelistLoad {
    dict *table;
    const char *file;
};

bool add_whitelist_line(void *ctx, const char *p, size_t n) {
    auto *load = static_cast<WhitelistLoad *>(ctx);
    in_addr_t addr;
    if (!parse_entry(p, n, &addr)) {
        log_error("whitelist file [%s] has error conf [%.*s]\n", load->file,
                  static_cast<int>(n > 64 ? 64 : n), p);
        return false;
    }
    if (dictFind(load->table, addr_key(addr)) != nullptr ||
        dictAdd(load->table, addr_key(addr), reinterpret_cast<void *>(1)) != DICT_OK) {
        log_error("add whitelist cache [%.*s] failed\n", static_cast<int>(n), p);
        return false;
    }
    log_info("add whitelist cache [%.*s] [%08x]\n", static_cast<int>(n), p, addr);
    return true;
}

// Blank lines, the first included, are skipped rather than ending the list.
bool read_whitelist(dict *table, FILE *fp, const char *file) {
    WhitelistLoad load = {table, file};
    return x_list_file_read_lines(fp, add_whitelist_line, &load);
}

bool copy_name(x_client_auth_result_t *r, const char *name, size_t len) {
    ngx_str_t s = {len, reinterpret_cast<uint8_t *>(const_cast<char *>(name))};
    return ngx_str_update(&r->log_token, &s) && ngx_str_update(&r->flow_token, &s);
}

// Fills the result of an accepted client from the user whose buckets it gets.
uint32_t grant(x_auth_local_t *local, x_client_t *c, x_auth_user_info_t *u, const char *name,
               size_t len) {
    x_client_auth_result_t *r = &c->auth_result;
    if (!copy_name(r, name, len)) return X_AUTH_CODE_REFUSED;
    bool merge = local->conf && local->conf->config.local.merge_rate_limit;
    r->bucket_up = &u->bucket_up;
    r->bucket_down = merge ? &u->bucket_up : &u->bucket_down;
    return 0;
}

uint32_t check_credentials(x_auth_local_t *local, x_client_t *c) {
    const x_client_auth_request_t &rq = c->auth_request;
    auto *u = static_cast<x_auth_user_info_t *>(dictFetchValue(local->user_db, &rq.username));
    if (u == nullptr || !ngx_str_equals(&u->passwd, &rq.password)) return X_AUTH_CODE_REFUSED;
    return grant(local, c, u, reinterpret_cast<const char *>(u->uname.data), u->uname.len);
}

uint32_t check_source(x_auth_local_t *local, x_client_t *c) {
    in_addr_t src = c->addr.sin_addr.s_addr;
    if (local->whitelist_cache == nullptr ||
        dictFind(local->whitelist_cache, addr_key(src)) == nullptr)
        return X_AUTH_CODE_REFUSED;
    auto *b = reinterpret_cast<const uint8_t *>(&src);
    char name[32];
    int n = snprintf(name, sizeof name, "LT-%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return grant(local, c, &local->whitelist_user, name, static_cast<size_t>(n));
}

const char *whitelist_path(const x_auth_local_t *local) {
    if (local->conf == nullptr || local->conf->config.local.whitelist_file.len == 0) return nullptr;
    return reinterpret_cast<const char *>(local->conf->config.local.whitelist_file.data);
}

} // namespace

x_auth_local_t *x_auth_local_create(x_server_t *server, uint32_t index) {
    void *mem = calloc(1, sizeof(x_auth_local_t));
    if (mem == nullptr) return nullptr;
    auto *local = new (mem) x_auth_local_t{};
    x_auth_base_init(&local->base, server, index, X_AUTH_TYPE_LOCAL);
    local->base.do_load_config = x_auth_local_do_load_config;
    local->base.do_check = x_auth_local_do_check;
    local->base.do_free = x_auth_local_do_free;
    local->base.do_auth = x_auth_local_do_auth;
    local->base.do_acl = x_auth_local_do_acl;
    local->user_db = dictCreate(&user_dict_type);
    if (local->user_db == nullptr) {
        local->~x_auth_local_t();
        free(local);
        return nullptr;
    }
    return local;
}

bool x_auth_local_do_load_config(x_auth_base_t *auth, x_config_auth_t *conf) {
    x_auth_local_t *local = local_of(auth);
    local->conf = conf;
    const x_config_auth_local_t &lc = conf->config.local;
    for (uint32_t i = 0; i < lc.user_num; i++) {
        const x_config_auth_local_user_t *cu = &lc.users[i];
        // An entry without a name or a password could never be matched by credentials.
        if (cu->username.len == 0 || cu->password.len == 0) continue;
        if (!add_user(local, cu)) {
            log_error("auth local add user [%.*s] failed\n", static_cast<int>(cu->username.len),
                      cu->username.data);
            return false;
        }
    }
    const char *path = whitelist_path(local);
    if (path != nullptr) {
        struct stat st;
        if (stat(path, &st) == 0) local->last_whitelist_file_modified_time = st.st_mtime;
        if (!x_auth_local_load_whitelist(local, path)) {
            log_error("auth local load whitelist file [%.*s] failed\n",
                      static_cast<int>(lc.whitelist_file.len), lc.whitelist_file.data);
            return false;
        }
        local->last_whitelist_file_check_time = x_time_ms();
    }
    buckets_init(&local->whitelist_user, lc.whitelist_rate_limit);
    return true;
}

bool x_auth_local_load_whitelist(x_auth_local_t *local, const char *file) {
    dict *table = dictCreate(&whitelist_dict_type);
    if (table == nullptr) {
        log_error("whitelist load create cache dict failed\n");
        return false;
    }
    FILE *fp = fopen(file, "r");
    if (fp == nullptr) {
        log_error("whitelist file [%s] can not fopen\n", file);
        dictRelease(table);
        return false;
    }
    bool ok = read_whitelist(table, fp, file);
    fclose(fp);
    if (!ok) {
        dictRelease(table);
        return false;
    }
    if (local->whitelist_cache) dictRelease(local->whitelist_cache);
    local->whitelist_cache = table;
    return true;
}

void x_auth_local_do_auth(x_auth_base_t *auth, x_client_t *client) {
    x_auth_local_t *local = local_of(auth);
    const x_client_auth_request_t &rq = client->auth_request;
    bool offered = rq.username.len > 0 && rq.password.len > 0;
    client->auth_result.code =
        offered ? check_credentials(local, client) : check_source(local, client);
    x_auth_finish_auth(auth->server, rq.from_ipc_id, client->session);
}

void x_auth_local_do_acl(x_auth_base_t *auth, x_client_t *client) {
    x_auth_do_acl_common(auth, client);
}

void x_auth_local_do_check(x_auth_base_t *auth) {
    x_auth_local_t *local = local_of(auth);
    x_auth_acl_file_check(auth);
    const char *path = whitelist_path(local);
    uint64_t now = x_time_ms();
    if (path == nullptr || local->last_whitelist_file_check_time + WHITELIST_CHECK_MS >= now)
        return;
    struct stat st;
    if (stat(path, &st) != 0) {
        log_error("get whitelist file stat failed\n");
    } else if (st.st_mtime != local->last_whitelist_file_modified_time) {
        log_info("whitelist file %s is changed\n", path);
        if (!x_auth_local_load_whitelist(local, path))
            log_error("auth local load whitelist file [%s] failed\n", path);
        local->last_whitelist_file_modified_time = st.st_mtime;
    }
    local->last_whitelist_file_check_time = now;
}

void x_auth_local_do_free(x_auth_base_t *auth) {
    x_auth_local_t *local = local_of(auth);
    if (local->user_db) dictRelease(local->user_db);
    if (local->whitelist_cache) dictRelease(local->whitelist_cache);
    x_auth_base_free(auth);
    local->~x_auth_local_t();
    free(local);
}
