#include "auth/x_auth_forward.h"

#include "auth/ip2location.h"
#include "core/log.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "core/x_timer.h"
#include "dict/dict.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

x_auth_forward_t *forward_of(x_auth_base_t *auth) {
    return reinterpret_cast<x_auth_forward_t *>(auth);
}

int len_of(const ngx_str_t &s) {
    return static_cast<int>(s.len);
}

const char *text_of(const ngx_str_t &s) {
    return s.data ? reinterpret_cast<const char *>(s.data) : "";
}

// Client text for a log line: itself when printable, else a marker (never raw control bytes).
ngx_str_t loggable(const ngx_str_t &s) {
    static const char marker[] = "(unprintable)";
    if (x_auth_name_printable(&s)) return s;
    return ngx_str_t{sizeof marker - 1, reinterpret_cast<uint8_t *>(const_cast<char *>(marker))};
}

ngx_str_t view(const char *text) {
    return ngx_str_t{strlen(text), reinterpret_cast<uint8_t *>(const_cast<char *>(text))};
}

uint64_t str_hash(const void *key) {
    auto *s = static_cast<const ngx_str_t *>(key);
    return dictGenHashFunction(s->data, s->len);
}

int str_compare(dict *, const void *a, const void *b) {
    return ngx_str_equals(static_cast<const ngx_str_t *>(a), static_cast<const ngx_str_t *>(b));
}

// Signatures are secrets: their table compares in constant time.
int sign_compare(dict *, const void *a, const void *b) {
    auto *x = static_cast<const ngx_str_t *>(a);
    auto *y = static_cast<const ngx_str_t *>(b);
    return x->len == y->len && CRYPTO_memcmp(x->data, y->data, x->len) == 0;
}

void user_free(x_auth_forward_user_t *u) {
    ngx_str_free(&u->username);
    ngx_str_free(&u->password);
    if (u->client_cache) dictRelease(u->client_cache);
    u->~x_auth_forward_user_t();
    free(u);
}

void sign_free(x_forward_sign_t *s) {
    ngx_str_free(&s->sign);
    x_forward_member_free(&s->xfw);
    free(s);
}

void region_free(x_region_t *r) {
    ngx_str_free(&r->match);
    ngx_str_free(&r->replace);
    if (r->cache) dictRelease(r->cache);
    free(r);
}

dictType user_dict_type = {
    str_hash, nullptr,
    nullptr,  str_compare,
    nullptr,  [](dict *, void *v) { user_free(static_cast<x_auth_forward_user_t *>(v)); },
    nullptr,  nullptr};
dictType session_dict_type = {dictHashU32Key, nullptr, nullptr, dictComparePtrKey,
                              nullptr,        nullptr, nullptr, nullptr};
dictType sign_dict_type = {
    str_hash,     nullptr, nullptr,
    sign_compare, nullptr, [](dict *, void *v) { sign_free(static_cast<x_forward_sign_t *>(v)); },
    nullptr,      nullptr};
dictType region_dict_type = {
    str_hash,    nullptr, nullptr,
    str_compare, nullptr, [](dict *, void *v) { region_free(static_cast<x_region_t *>(v)); },
    nullptr,     nullptr};

void *session_key(uint32_t session) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(session));
}

const char *resource_path(const x_auth_forward_t *fwd) {
    const ngx_str_t &f = fwd->conf->config.forward.resource_file;
    return f.len ? reinterpret_cast<const char *>(f.data) : nullptr;
}

// ---- configuration ----

bool add_user(x_auth_forward_t *fwd, x_config_auth_forward_user_t *cu) {
    const char *name = text_of(cu->username);
    void *mem = calloc(1, sizeof(x_auth_forward_user_t));
    if (mem == nullptr) {
        log_error("auth forward calloc failed\n");
        return false;
    }
    auto *u = new (mem) x_auth_forward_user_t{};
    bool ok = false;
    if (!ngx_str_copy(&u->username, &cu->username))
        log_error("auth forward user [%s] ngx str init failed\n", name);
    else if (!ngx_str_copy(&u->password, &cu->password))
        log_error("auth forward password [%s] ngx str init failed\n", name);
    else if ((u->client_cache = dictCreate(&session_dict_type)) == nullptr)
        log_error("auth forward forward [%s] create client cache dict failed\n", name);
    else
        ok = true;
    if (ok) {
        u->forward = &cu->forward;
        u->rate_limit = cu->rate_limit;
        u->conn_limit = cu->conn_limit;
        token_bucket_init(&u->bucket_up, u->rate_limit, 2ull * u->rate_limit);
        token_bucket_init(&u->bucket_down, u->rate_limit, 2ull * u->rate_limit);
        ok = dictAdd(fwd->user_db, &u->username, u) == DICT_OK;
        if (!ok) log_error("auth forward user [%s] add dict failed\n", name);
    }
    if (!ok) user_free(u);
    return ok;
}

void load_deny_list(x_auth_forward_t *fwd, const ngx_str_t &text) {
    // The loader checked the form: two letters, then a comma before each further pair.
    for (size_t i = 0; i + 1 < text.len && fwd->deny_num < X_DENY_COUNTRY_MAX; i += 3) {
        memcpy(fwd->deny[fwd->deny_num++], text.data + i, 2);
    }
}

// ---- authentication ----

// False (after the log line) when the client's address lies in a denied country.
bool country_allowed(const x_auth_forward_t *fwd, const x_client_t *c) {
    if (fwd->IP2LocationObj == nullptr) return true;
    uint32_t ip = ntohl(c->addr.sin_addr.s_addr);
    const uint8_t *code = nullptr;
    size_t len = 0;
    if (!ip2location_get_country_short(fwd->IP2LocationObj, ip, &code, &len) || len != 2)
        return true;
    for (size_t i = 0; i < fwd->deny_num; i++) {
        if (memcmp(fwd->deny[i], code, 2) != 0) continue;
        char addr[16];
        snprintf(addr, sizeof addr, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF,
                 ip & 0xFF);
        log_error("client[%s] country[%.2s] usage region is prohibited\n", addr,
                  reinterpret_cast<const char *>(code));
        return false;
    }
    return true;
}

x_auth_forward_user_t *find_user(x_auth_forward_t *fwd, const ngx_str_t &name) {
    auto *u = static_cast<x_auth_forward_user_t *>(dictFetchValue(fwd->user_db, &name));
    if (u == nullptr) {
        ngx_str_t n = loggable(name);
        log_error("forward auth username [%.*s] not found\n", len_of(n), text_of(n));
    }
    return u;
}

bool under_conn_limit(const x_auth_forward_user_t *u, const ngx_str_t &name) {
    if (dictSize(u->client_cache) < u->conn_limit) return true;
    log_error("forward auth username [%.*s] conn [%u] limit\n", len_of(name), text_of(name),
              u->conn_limit);
    return false;
}

// A session admitted earlier and asking again no longer counts for its former user.
void release_session(x_auth_forward_t *fwd, x_client_t *c, bool quiet) {
    ngx_str_t &key = c->auth_result.user_key;
    if (key.len == 0) return;
    auto *u = static_cast<x_auth_forward_user_t *>(dictFetchValue(fwd->user_db, &key));
    if (u != nullptr)
        dictDelete(u->client_cache, session_key(c->session));
    else if (!quiet)
        log_error("forward client close user [%.*s] not found\n", len_of(key), text_of(key));
}

// Fills the result of an admitted session: the user's key and buckets, the names it is logged
// under, and its place in the user's session table.
uint32_t grant(x_client_t *c, x_auth_forward_user_t *u, const ngx_str_t &token) {
    x_client_auth_result_t *r = &c->auth_result;
    if (!ngx_str_update(&r->user_key, &u->username)) {
        log_error("client fill token fail\n");
        return X_AUTH_CODE_REFUSED;
    }
    if (!ngx_str_update(&r->log_token, &token)) {
        log_error("client fill log_token fail\n");
        return X_AUTH_CODE_REFUSED;
    }
    if (!ngx_str_update(&r->flow_token, &token)) {
        log_error("client fill flow_token fail\n");
        return X_AUTH_CODE_REFUSED;
    }
    r->bucket_up = &u->bucket_up;
    r->bucket_down = &u->bucket_down;
    if (dictFind(u->client_cache, session_key(c->session)) == nullptr &&
        dictAdd(u->client_cache, session_key(c->session), nullptr) != DICT_OK) {
        log_error("client %x fill client cache fail\n", c->session);
        ngx_str_free(&r->user_key);
        return X_AUTH_CODE_REFUSED;
    }
    return 0;
}

uint32_t auth_kestrum(x_auth_forward_t *fwd, x_client_t *c) {
    const ngx_str_t &name = c->auth_request.username;
    const ngx_str_t &pass = c->auth_request.password;
    if (name.len < 3 || pass.len != X_AUTH_SIGN_LEN) {
        log_error("forward auth username or password is empty\n");
        return X_AUTH_CODE_REFUSED;
    }
    auto *sign = fwd->resource_cache
                     ? static_cast<x_forward_sign_t *>(dictFetchValue(fwd->resource_cache, &pass))
                     : nullptr;
    if (sign == nullptr) {
        ngx_str_t p = loggable(pass);
        log_error("forward auth sign [%.*s] not found\n", len_of(p), text_of(p));
        return X_AUTH_CODE_REFUSED;
    }
    x_kestrum_name_t parts;
    if (!x_auth_parse_kestrum_name(&name, &parts)) {
        log_error("forward auth username [%.*s] format error\n", len_of(name), text_of(name));
        return X_AUTH_CODE_REFUSED;
    }
    x_auth_forward_user_t *u = find_user(fwd, parts.user);
    if (u == nullptr) return X_AUTH_CODE_REFUSED;
    if (!under_conn_limit(u, parts.user)) return X_ERROR_AUTH_CONN_LIMIT;
    const x_forward_t &up = sign->xfw;
    if (!x_client_fill_forward(c, &up.host, up.port, up.proto, &parts.upstream_user,
                               &up.password)) {
        log_error("client fill forward fail\n");
        return X_AUTH_CODE_REFUSED;
    }
    return grant(c, u, parts.user);
}

// The place names of a zembo user name rewritten through the region tree; false (after the log
// line) when a name is not in it. A name starting with "0" means any place: it and every level
// below it become "0".
bool rewrite_places(const x_auth_forward_t *fwd, const x_zembo_name_t &z, ngx_str_t out[3]) {
    static const char *const levels[3] = {"country", "region", "city"};
    const ngx_str_t *in[3] = {&z.country, &z.region, &z.city};
    dict *level = fwd->resource_cache;
    bool any = false;
    for (int i = 0; i < 3; i++) {
        any = any || (in[i]->len > 0 && in[i]->data[0] == '0');
        if (any) {
            out[i] = view("0");
            continue;
        }
        auto *node = level ? static_cast<x_region_t *>(dictFetchValue(level, in[i])) : nullptr;
        if (node == nullptr) {
            log_error("forward auth username [%.*s] %s [%.*s] not found\n", len_of(z.account),
                      text_of(z.account), levels[i], len_of(*in[i]), text_of(*in[i]));
            return false;
        }
        out[i] = node->replace;
        level = node->cache;
    }
    return true;
}

uint32_t auth_zembo(x_auth_forward_t *fwd, x_client_t *c) {
    const ngx_str_t &name = c->auth_request.username;
    const ngx_str_t &pass = c->auth_request.password;
    if (name.len == 0 || pass.len == 0) {
        log_error("forward auth username or password is empty\n");
        return X_AUTH_CODE_REFUSED;
    }
    x_zembo_name_t z;
    if (!x_auth_parse_zembo_name(&name, &z)) {
        log_error("forward auth username [%.*s] format error\n", len_of(name), text_of(name));
        return X_AUTH_CODE_REFUSED;
    }
    x_auth_forward_user_t *u = find_user(fwd, z.account);
    if (u == nullptr) return X_AUTH_CODE_REFUSED;
    if (pass.len != u->password.len || CRYPTO_memcmp(pass.data, u->password.data, pass.len) != 0) {
        log_error("forward auth username [%.*s] password error\n", len_of(z.account),
                  text_of(z.account));
        return X_AUTH_CODE_REFUSED;
    }
    if (!under_conn_limit(u, z.account)) return X_ERROR_AUTH_CONN_LIMIT;
    ngx_str_t place[3];
    if (!rewrite_places(fwd, z, place)) return X_AUTH_CODE_REFUSED;
    const x_forward_t *up = u->forward;
    // Without an upstream host the session would leave directly, not through the one paid for.
    if (up->host.len == 0) {
        log_error("forward auth username [%.*s] forward has no host\n", len_of(z.account),
                  text_of(z.account));
        return X_AUTH_CODE_REFUSED;
    }
    char upstream_user[X_ZEMBO_UPSTREAM_USER_MAX + 1];
    int n = snprintf(upstream_user, sizeof upstream_user, "%.*s_%.*s_%.*s_%.*s_%.*s",
                     len_of(up->username), text_of(up->username), len_of(place[0]),
                     text_of(place[0]), len_of(place[1]), text_of(place[1]), len_of(place[2]),
                     text_of(place[2]), len_of(z.tail), text_of(z.tail));
    if (n < 0 || static_cast<size_t>(n) > X_ZEMBO_UPSTREAM_USER_MAX) {
        log_error("forward auth username [%.*s] upstream user name too long\n", len_of(name),
                  text_of(name));
        return X_AUTH_CODE_REFUSED;
    }
    ngx_str_t upstream = {static_cast<size_t>(n), reinterpret_cast<uint8_t *>(upstream_user)};
    if (!x_client_fill_forward(c, &up->host, up->port, up->proto, &upstream, &up->password)) {
        log_error("client ill forward fail\n");
        return X_AUTH_CODE_REFUSED;
    }
    return grant(c, u, name);
}

uint32_t auth_username(x_client_t *c) {
    const ngx_str_t &name = c->auth_request.username;
    x_forward_name_t parts;
    if (name.len < 6 || !x_auth_parse_forward_name(&name, &parts)) return X_AUTH_CODE_REFUSED;
    // The kind of upstream comes from the port's forward: without one the session would have a
    // host and no protocol to speak to it.
    if (c->forward == nullptr || c->forward->proto == X_FORWARD_NONE) {
        log_error("forward auth username [%.*s] port has no forward kind\n", len_of(name),
                  text_of(name));
        return X_AUTH_CODE_REFUSED;
    }
    if (!x_client_fill_forward(c, &parts.host, parts.port, X_FORWARD_NONE, &parts.account,
                               &c->auth_request.password)) {
        log_error("client fill forward fail\n");
        return X_AUTH_CODE_REFUSED;
    }
    x_client_auth_result_t *r = &c->auth_result;
    if (!ngx_str_update(&r->log_token, &name) || !ngx_str_update(&r->flow_token, &name))
        return X_AUTH_CODE_REFUSED;
    return 0;
}

uint32_t authenticate(x_auth_forward_t *fwd, x_client_t *c) {
    release_session(fwd, c, true);
    ngx_str_free(&c->auth_result.user_key);
    if (!country_allowed(fwd, c)) return X_ERROR_AUTH_BLACK;
    // User names become log and flow tokens: control bytes would forge lines there.
    if (!x_auth_name_printable(&c->auth_request.username)) {
        log_error("forward auth username has unprintable bytes\n");
        return X_AUTH_CODE_REFUSED;
    }
    switch (fwd->conf->config.forward.resource) {
    case X_RESOURCE_KESTRUM:
        return auth_kestrum(fwd, c);
    case X_RESOURCE_ZEMBO:
        return auth_zembo(fwd, c);
    case X_RESOURCE_USERNAME:
        return auth_username(c);
    default:
        return X_AUTH_CODE_REFUSED;
    }
}

// ---- resource files ----

struct Load {
    x_auth_forward_t *fwd;
    dict *table;
    const char *file;
};

// One line as a NUL-terminated copy; false for a line longer than a resource line may be.
bool line_copy(const char *p, size_t n, char out[X_RESOURCE_LINE_MAX + 1]) {
    if (n > X_RESOURCE_LINE_MAX) return false;
    memcpy(out, p, n);
    out[n] = '\0';
    return true;
}

bool add_sign_line(void *ctx, const char *p, size_t n) {
    auto *load = static_cast<Load *>(ctx);
    char line[X_RESOURCE_LINE_MAX + 1];
    if (!line_copy(p, n, line)) {
        log_error("resource load forward [%.*s...] failed\n", 64, p);
        return false;
    }
    auto *s = static_cast<x_forward_sign_t *>(calloc(1, sizeof(x_forward_sign_t)));
    if (s == nullptr) {
        log_error("resource load calloc failed\n");
        return false;
    }
    char hex[X_AUTH_SIGN_LEN + 1];
    const ngx_str_t &salt = load->fwd->conf->config.forward.sign_salt;
    bool ok = false;
    // A line without an upstream host would let its sessions leave directly.
    if (!x_server_parse_forward_url(&s->xfw, line) || s->xfw.host.len == 0)
        log_error("resource load forward [%s] failed\n", line);
    else if (!x_auth_sign(&salt, s->xfw.host.data, s->xfw.host.len, hex) ||
             !ngx_str_init(&s->sign, hex, X_AUTH_SIGN_LEN))
        log_error("resource load forward [%s] init sign failed\n", line);
    else if (dictAdd(load->table, &s->sign, s) != DICT_OK)
        log_error("resource load forward [%s] add cache failed\n", line);
    else
        ok = true;
    if (!ok) sign_free(s);
    return ok;
}

x_region_t *region_new(const ngx_str_t &match, const ngx_str_t &replace) {
    auto *r = static_cast<x_region_t *>(calloc(1, sizeof(x_region_t)));
    if (r == nullptr) {
        log_error("region match [%.*s] malloc node failed \n", len_of(match), text_of(match));
        return nullptr;
    }
    if ((r->cache = dictCreate(&region_dict_type)) == nullptr) {
        log_error("region match [%.*s] malloc suffix dict failed \n", len_of(match),
                  text_of(match));
    } else if (!ngx_str_init(&r->match, match.data, match.len) ||
               !ngx_str_init(&r->replace, replace.data, replace.len)) {
        log_error("region match [%.*s] ngx str init\n", len_of(match), text_of(match));
    } else {
        return r;
    }
    region_free(r);
    return nullptr;
}

// The next "_"-separated piece of [*p, end) into out; false when it is longer than a name may be.
bool next_piece(const uint8_t **p, const uint8_t *end, ngx_str_t *out) {
    const auto *stop = static_cast<const uint8_t *>(memchr(*p, '_', static_cast<size_t>(end - *p)));
    if (stop == nullptr) stop = end;
    *out = {static_cast<size_t>(stop - *p), const_cast<uint8_t *>(*p)};
    *p = stop < end ? stop + 1 : end;
    return out->len <= X_REGION_NAME_MAX;
}

// Walks the tree down one level per "_"-separated name, adding the nodes that are missing; a node
// that exists keeps its first replacement.
bool add_region_rule(dict *tree, const char *line, size_t colon, size_t n, size_t levels) {
    const auto *m = reinterpret_cast<const uint8_t *>(line);
    const uint8_t *mend = m + colon;
    const uint8_t *r = mend + 1;
    const uint8_t *rend = m + n;
    dict *level = tree;
    for (size_t i = 0; i < levels; i++) {
        ngx_str_t match, replace;
        if (!next_piece(&m, mend, &match) || !next_piece(&r, rend, &replace)) return false;
        auto *node = static_cast<x_region_t *>(dictFetchValue(level, &match));
        if (node == nullptr) {
            node = region_new(match, replace);
            if (node == nullptr || dictAdd(level, &node->match, node) != DICT_OK) {
                log_error("region match add region cache region [%.*s] replace [%.*s] failed\n",
                          len_of(match), text_of(match), len_of(replace), text_of(replace));
                log_error("resource load match add [%.*s] suffix cache dict failed\n",
                          len_of(match), text_of(match));
                if (node) region_free(node);
                return false;
            }
        }
        level = node->cache;
    }
    return true;
}

bool add_region_line(void *ctx, const char *p, size_t n) {
    auto *load = static_cast<Load *>(ctx);
    char line[X_RESOURCE_LINE_MAX + 1];
    const char *colon = static_cast<const char *>(memchr(p, ':', n));
    if (!line_copy(p, n, line) || colon == nullptr) {
        log_error("resource load match file [%s] line [%.*s] format error\n", load->file,
                  static_cast<int>(n > X_RESOURCE_LINE_MAX ? 64 : n), p);
        return false;
    }
    size_t at = static_cast<size_t>(colon - p);
    line[at] = '\0';
    size_t left = 0, right = 0;
    for (size_t i = 0; i < n; i++)
        (i < at ? left : right) += line[i] == '_';
    if (left != right) {
        log_error("domain match region [%s] and replace [%s] count not equal\n", line,
                  line + at + 1);
        return false;
    }
    if (!add_region_rule(load->table, line, at, n, left + 1)) {
        log_error("resource load match file [%s] line [%s:%s] format error\n", load->file, line,
                  line + at + 1);
        return false;
    }
    return true;
}

bool load_resource(x_auth_forward_t *fwd, dictType *type,
                   bool (*on_line)(void *, const char *, size_t)) {
    const char *path = resource_path(fwd);
    if (path == nullptr) return false;
    FILE *fp = fopen(path, "r");
    if (fp == nullptr) {
        log_error("resource load file [%s] can not fopen\n", path);
        return false;
    }
    dict *table = dictCreate(type);
    if (table == nullptr) {
        log_error(type == &sign_dict_type ? "resource load cache dict failed\n"
                                          : "resource load create cache dict failed\n");
        fclose(fp);
        return false;
    }
    Load load = {fwd, table, path};
    // A read error ends the lines as the end of the file does: it must not install what was
    // read so far (a directory in place of the file would otherwise empty the table).
    bool ok = x_list_file_read_lines(fp, on_line, &load) && !ferror(fp);
    fclose(fp);
    if (!ok) {
        dictRelease(table);
        return false;
    }
    if (fwd->resource_cache) dictRelease(fwd->resource_cache);
    fwd->resource_cache = table;
    return true;
}

void reload_resource(x_auth_forward_t *fwd, const char *path) {
    if (fwd->conf->config.forward.resource == X_RESOURCE_KESTRUM) {
        if (!x_auth_forward_load_resource_kestrum(fwd)) log_error("load resource file failed\n");
    } else if (!x_auth_forward_load_resource_zembo(fwd)) {
        log_error("resource file [%s] add cache failed\n", path);
    }
}

} // namespace

// ---- signatures and names ----

bool x_auth_sign(const ngx_str_t *salt, const uint8_t *text, size_t len,
                 char out[X_AUTH_SIGN_LEN + 1]) {
    if (salt->len >= X_AUTH_SIGN_BUF || len >= X_AUTH_SIGN_BUF - salt->len) return false;
    uint8_t buf[X_AUTH_SIGN_BUF];
    if (salt->len) memcpy(buf, salt->data, salt->len);
    if (len) memcpy(buf + salt->len, text, len);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (EVP_Digest(buf, salt->len + len, md, &md_len, EVP_md5(), nullptr) != 1 ||
        md_len * 2 != X_AUTH_SIGN_LEN)
        return false;
    for (unsigned i = 0; i < md_len; i++) {
        out[2 * i] = HEX_DIGITS[md[i] >> 4];
        out[2 * i + 1] = HEX_DIGITS[md[i] & 0x0F];
    }
    out[X_AUTH_SIGN_LEN] = '\0';
    return true;
}

bool x_auth_sign_equals(const char sign[X_AUTH_SIGN_LEN], const ngx_str_t *password) {
    return password->len == X_AUTH_SIGN_LEN &&
           CRYPTO_memcmp(sign, password->data, X_AUTH_SIGN_LEN) == 0;
}

bool x_auth_name_printable(const ngx_str_t *name) {
    for (size_t i = 0; i < name->len; i++)
        if (name->data[i] < 0x20 || name->data[i] == 0x7F) return false;
    return true;
}

void x_auth_forward_get_section(const uint8_t *src, size_t src_len, ngx_str_t *dst) {
    const auto *us = static_cast<const uint8_t *>(memchr(src, '_', src_len));
    dst->data = const_cast<uint8_t *>(src);
    dst->len = us ? static_cast<size_t>(us - src) : src_len;
}

namespace {

const uint8_t *last_of(const ngx_str_t &s, size_t end, uint8_t c) {
    for (size_t i = end; i > 0; i--)
        if (s.data[i - 1] == c) return s.data + i - 1;
    return nullptr;
}

ngx_str_t span(const uint8_t *from, const uint8_t *to) {
    return ngx_str_t{static_cast<size_t>(to - from), const_cast<uint8_t *>(from)};
}

} // namespace

bool x_auth_parse_kestrum_name(const ngx_str_t *name, x_kestrum_name_t *out) {
    *out = {};
    if (name->len == 0) return true;
    if (name->data[name->len - 1] == '_') return false;
    const uint8_t *us = last_of(*name, name->len, '_');
    if (us == nullptr) return true;
    out->user = span(name->data, us);
    out->upstream_user = span(us + 1, name->data + name->len);
    return true;
}

bool x_auth_parse_zembo_name(const ngx_str_t *name, x_zembo_name_t *out) {
    size_t underscores = 0;
    for (size_t i = 0; i < name->len; i++)
        underscores += name->data[i] == '_';
    if (underscores <= 5) return false;
    ngx_str_t *parts[4] = {&out->account, &out->country, &out->region, &out->city};
    const uint8_t *p = name->data;
    const uint8_t *end = name->data + name->len;
    for (ngx_str_t *part : parts) {
        x_auth_forward_get_section(p, static_cast<size_t>(end - p), part);
        p += part->len + 1; // past its "_": at least two more follow the city's
    }
    out->tail = span(p, end);
    return true;
}

bool x_auth_parse_forward_name(const ngx_str_t *name, x_forward_name_t *out) {
    const uint8_t *last = last_of(*name, name->len, '_');
    if (last == nullptr) return false;
    const uint8_t *before = last_of(*name, static_cast<size_t>(last - name->data), '_');
    if (before == nullptr) return false;
    out->account = span(name->data, before);
    out->host = span(before + 1, last);
    ngx_str_t port = span(last + 1, name->data + name->len);
    return out->host.len > 0 && x_auth_parse_port(&port, &out->port);
}

bool x_auth_parse_port(const ngx_str_t *text, uint16_t *port) {
    if (text->len == 0 || text->len > 5) return false;
    uint32_t v = 0;
    for (size_t i = 0; i < text->len; i++) {
        if (text->data[i] < '0' || text->data[i] > '9') return false;
        v = v * 10 + (text->data[i] - '0');
    }
    if (v == 0 || v > UINT16_MAX) return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

// ---- the backend ----

x_auth_forward_t *x_auth_forward_create(x_server_t *server, uint32_t index) {
    void *mem = calloc(1, sizeof(x_auth_forward_t));
    if (mem == nullptr) return nullptr;
    auto *fwd = new (mem) x_auth_forward_t{};
    x_auth_base_init(&fwd->base, server, index, X_AUTH_TYPE_FORWARD);
    fwd->base.do_load_config = x_auth_forward_do_load_config;
    fwd->base.do_check = x_auth_forward_do_check;
    fwd->base.do_free = x_auth_forward_do_free;
    fwd->base.do_auth = x_auth_forward_do_auth;
    fwd->base.do_acl = x_auth_forward_do_acl;
    fwd->base.do_client_close = x_auth_forward_do_client_close;
    fwd->user_db = dictCreate(&user_dict_type);
    if (fwd->user_db == nullptr) {
        fwd->~x_auth_forward_t();
        free(fwd);
        return nullptr;
    }
    return fwd;
}

bool x_auth_forward_do_load_config(x_auth_base_t *auth, x_config_auth_t *conf) {
    x_auth_forward_t *fwd = forward_of(auth);
    fwd->conf = conf;
    x_config_auth_forward_t &fc = conf->config.forward;
    if (fc.ip2location.len > 0) {
        fwd->IP2LocationObj = ip2location_open(text_of(fc.ip2location));
        if (fwd->IP2LocationObj == nullptr) {
            log_error("ip2location file [%s] load failed\n", text_of(fc.ip2location));
            return false;
        }
    }
    load_deny_list(fwd, fc.deny_country);
    for (uint32_t i = 0; i < fc.user_num; i++) {
        if (!add_user(fwd, &fc.users[i])) {
            log_error("forward auth user: %u add cache failed\n", i);
            return false;
        }
    }
    return true;
}

void x_auth_forward_do_auth(x_auth_base_t *auth, x_client_t *client) {
    client->auth_result.code = authenticate(forward_of(auth), client);
    x_auth_finish_auth(auth->server, client->auth_request.from_ipc_id, client->session);
}

void x_auth_forward_do_acl(x_auth_base_t *auth, x_client_t *client) {
    x_auth_do_acl_common(auth, client);
}

void x_auth_forward_do_check(x_auth_base_t *auth) {
    x_auth_forward_t *fwd = forward_of(auth);
    const char *path = resource_path(fwd);
    uint64_t now = x_time_ms();
    uint64_t last = fwd->last_resource_file_check_time;
    bool due = last == 0 || last + X_RESOURCE_FILE_CHECK_MS < now;
    if (path != nullptr && due && fwd->conf->config.forward.resource != X_RESOURCE_USERNAME) {
        struct stat st;
        // A file that cannot be examined is looked at again a period later, not on every pass.
        if (stat(path, &st) != 0) {
            log_error("get resource file stat failed\n");
        } else if (st.st_mtime != fwd->last_resource_file_modified_time) {
            log_info("resource file %s is changed\n", path);
            reload_resource(fwd, path);
            fwd->last_resource_file_modified_time = st.st_mtime;
        }
        fwd->last_resource_file_check_time = now;
    }
    x_auth_acl_file_check(auth);
}

bool x_auth_forward_check_resource(x_auth_base_t *auth) {
    x_auth_forward_t *fwd = forward_of(auth);
    const char *path = resource_path(fwd);
    if (path == nullptr || fwd->conf->config.forward.resource == X_RESOURCE_USERNAME) return true;
    bool ok = fwd->conf->config.forward.resource == X_RESOURCE_KESTRUM
                  ? x_auth_forward_load_resource_kestrum(fwd)
                  : x_auth_forward_load_resource_zembo(fwd);
    if (!ok) log_error("resource file [%s] load failed\n", path);
    return ok;
}

void x_auth_forward_do_client_close(x_auth_base_t *auth, x_client_t *client) {
    release_session(forward_of(auth), client, false);
}

void x_auth_forward_do_free(x_auth_base_t *auth) {
    x_auth_forward_t *fwd = forward_of(auth);
    if (fwd->user_db) dictRelease(fwd->user_db);
    if (fwd->resource_cache) dictRelease(fwd->resource_cache);
    ip2location_close(fwd->IP2LocationObj);
    x_auth_base_free(auth);
    fwd->~x_auth_forward_t();
    free(fwd);
}

bool x_auth_forward_load_resource_kestrum(x_auth_forward_t *fwd) {
    return load_resource(fwd, &sign_dict_type, add_sign_line);
}

bool x_auth_forward_load_resource_zembo(x_auth_forward_t *fwd) {
    return load_resource(fwd, &region_dict_type, add_region_line);
}
