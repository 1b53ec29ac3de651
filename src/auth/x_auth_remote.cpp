#include "auth/x_auth_remote.h"

#include "bjson/binary_json_raw.h"
#include "core/log.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "config/ip_pool.h"
#include "dict/dict.h"
#include "net/x_conn_pool.h"
#include "report/monitor.h"
#include "report/x_log_report.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include <arpa/inet.h>

const uint32_t rate_limit_levels[X_AUTH_REMOTE_LEVELS + 1] = {
    0, 131072, 196608, 262144, 393216, 524288, 655360, 786432, 1048576, 1310720, 0};

namespace {

constexpr unsigned long TABLE_PRESIZE = 1024;
constexpr uint32_t UDP_FIRST_RETRY = 1;   // three sends one second apart
constexpr uint32_t OTHER_FIRST_RETRY = 3; // one send, then the time-out decides
constexpr uint32_t LAST_RETRY = 2;
constexpr uint64_t UDP_REQUEST_TIMEOUT_MS = 1000;
constexpr uint64_t OTHER_REQUEST_TIMEOUT_MS = 4000;
constexpr uint32_t POOL_RECONNECT_MS = 1000;
constexpr uint32_t POOL_HEARTBEAT_MS = 10000;
constexpr uint64_t SHOW_CACHE_MS = 10000;
constexpr uint64_t MIN_VERIFY_MS = 10000;
constexpr int64_t SECONDS_MAX = UINT32_MAX; // longest "ct" or "v" taken, in its unit
constexpr uint32_t VERIFY_REFUSED = 1;
constexpr char SESSION_MARKER[] = "session-";

// ---- small helpers ----

x_auth_remote_t *remote_of(x_auth_base_t *auth) {
    return reinterpret_cast<x_auth_remote_t *>(auth);
}

const char *str_data(const ngx_str_t &s) {
    return s.data ? reinterpret_cast<const char *>(s.data) : "";
}

// Longest piece of a key or token shown in a log line; escaped it takes up to four times that.
constexpr size_t LOG_TEXT_MAX = 256;

// A key or the service's text as log lines show it: control bytes and backslashes as \xNN, so
// a user name or token can neither end the line nor forge another; in a key with credentials
// (six or more bars: user names and passwords carry none unescaped) the password prints as
// "***", since passwords never reach a log line.
struct log_text_t {
    char text[LOG_TEXT_MAX * 4 + 1];
    log_text_t(const ngx_str_t &s, bool key) {
        char plain[LOG_TEXT_MAX + 3];
        size_t n = 0, bars = 0;
        for (size_t i = 0; i < s.len; i++)
            bars += s.data[i] == '|';
        for (size_t i = 0, bar = 0; i < s.len && n < LOG_TEXT_MAX; i++) {
            bool password = key && bars >= 6 && bar == 2 && s.data[i] != '|';
            if (password) {
                if (s.data[i - 1] == '|') n += static_cast<size_t>(snprintf(plain + n, 4, "***"));
            } else {
                plain[n++] = static_cast<char>(s.data[i]);
            }
            bar += s.data[i] == '|';
        }
        if (x_log_escape_field(text, sizeof text, reinterpret_cast<uint8_t *>(plain), n) ==
            SIZE_MAX)
            text[0] = '\0';
    }
};
// Arguments for a "%.*s" of a key or of the service's text.
#define LOGKEY(k) static_cast<int>(LOG_TEXT_MAX * 4), log_text_t((k), true).text
#define LOGTEXT(t) static_cast<int>(LOG_TEXT_MAX * 4), log_text_t((t), false).text

void *id_key(uint32_t id) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(id));
}

uint64_t str_hash(const void *key) {
    auto *s = static_cast<const ngx_str_t *>(key);
    return dictGenHashFunction(s->data, s->len);
}

// Equal lengths and bytes; two empty strings are equal.
bool same_str(const ngx_str_t *a, const ngx_str_t *b) {
    return a->len == b->len && (a->len == 0 || memcmp(a->data, b->data, a->len) == 0);
}

int str_compare(dict *, const void *a, const void *b) {
    return same_str(static_cast<const ngx_str_t *>(a), static_cast<const ngx_str_t *>(b));
}

// Keys point at a string the value owns; values are freed by their own helpers.
dictType str_dict_type = {str_hash, nullptr, nullptr, str_compare,
                          nullptr,  nullptr, nullptr, nullptr};
// Ids kept in the key itself.
dictType id_dict_type = {dictHashU32Key, nullptr, nullptr, dictComparePtrKey,
                         nullptr,        nullptr, nullptr, nullptr};

dict *table_new(dictType *type, unsigned long presize) {
    dict *d = dictCreate(type);
    if (d != nullptr && presize > 0 && dictTryExpand(d, presize) != DICT_OK) {
        dictRelease(d);
        return nullptr;
    }
    return d;
}

// An owned copy that is allocated even for empty text, so that table keys always have storage.
bool str_set(ngx_str_t *dst, const ngx_str_t *src) {
    ngx_str_free(dst);
    return ngx_str_init(dst, src->data, src->len);
}

x_client_t *session_by_id(x_auth_remote_t *auth, uint32_t id) {
    return static_cast<x_client_t *>(
        dictFetchValue(auth->base.server->main_thread->session_to_clients, id_key(id)));
}

uint64_t clamp_seconds(int64_t v) {
    if (v < 0) return 0;
    return static_cast<uint64_t>(v > SECONDS_MAX ? SECONDS_MAX : v);
}

uint32_t clamp_u32(int64_t v) {
    if (v < 0) return 0;
    return v > static_cast<int64_t>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(v);
}

bool send_on(x_auth_remote_t *auth, x_conn_pool_t *pool, const buf_t *b) {
    return auth->send(auth, pool, b->pos, buf_size(b));
}

bool pool_send(x_auth_remote_t *, x_conn_pool_t *pool, const uint8_t *data, size_t len) {
    return pool != nullptr && x_conn_pool_send(pool, data, len);
}

void answer_auth(x_auth_remote_t *auth, x_client_t *c, uint32_t code) {
    c->auth_result.code = code;
    c->auth_request.request_id = 0;
    x_auth_finish_auth(auth->base.server, c->auth_request.from_ipc_id, c->session);
}

// ---- the auth key ----

// Appends text with '%' and '|' written as %25 and %7c, so that no user name or password can
// shift a field boundary of the key: "a|b" + "c" and "a" + "b|c" are different questions.
size_t escape_into(char *out, const ngx_str_t &s) {
    size_t n = 0;
    for (size_t i = 0; i < s.len; i++) {
        uint8_t ch = s.data[i];
        if (ch == '%' || ch == '|') {
            n += static_cast<size_t>(sprintf(out + n, "%%%02x", ch));
        } else {
            out[n++] = static_cast<char>(ch);
        }
    }
    return n;
}

enum class key_form { address, address_session, user, user_session };

bool has_marker(const ngx_str_t &user) {
    return user.len >= sizeof SESSION_MARKER - 1 &&
           memmem(user.data, user.len, SESSION_MARKER, sizeof SESSION_MARKER - 1) != nullptr;
}

bool choose_form(const x_config_auth_remote_t &rc, const x_client_auth_request_t &rq,
                 key_form *form) {
    bool user = rq.username.len > 0, pass = rq.password.len > 0;
    bool marker = has_marker(rq.username);
    if (rc.no_whitelist) {
        if (!user || !pass) return false;
        *form = !rc.no_merge || marker ? key_form::user : key_form::user_session;
    } else if (!rc.no_merge) {
        *form = user && pass ? key_form::user : key_form::address;
    } else if (!user) {
        *form = key_form::address;
    } else if (marker) {
        *form = pass ? key_form::user : key_form::address;
    } else {
        *form = pass ? key_form::user_session : key_form::address_session;
    }
    return true;
}

// ---- messages ----

bool write_key(buf_t *b, const char *k) {
    return bjson_raw_write_object_key(b, k, strlen(k));
}

bool write_int_member(buf_t *b, const char *k, int64_t v) {
    return write_key(b, k) && bjson_raw_write_int(b, v);
}

bool write_str_member(buf_t *b, const char *k, const ngx_str_t &s) {
    return write_key(b, k) && bjson_raw_write_string(b, str_data(s), s.len);
}

uint32_t addr_value(in_addr_t a) {
    // The four bytes in network order read as a little-endian number: s_addr on this machine.
    return static_cast<uint32_t>(a);
}

// ---- reading answers ----

struct member_reader {
    buf_t *b;
    x_auth_answer_t *ans;
    bool verify;
};

bool read_int(buf_t *b, int64_t *out, const char *what, bool verify) {
    if (bjson_raw_read_int(b, out)) return true;
    if (verify)
        log_error("auth remote verify msg bjson raw read %s failed\n", what);
    else
        log_error("auth remote auth msg bjson raw read %s failed\n", what);
    return false;
}

bool read_view(buf_t *b, ngx_str_t *out, size_t max);

bool read_token(buf_t *b, ngx_str_t *out, const char *what) {
    if (read_view(b, out, X_AUTH_REMOTE_TOKEN_MAX)) return true;
    log_error("auth remote auth msg bjson raw read %s failed\n", what);
    return false;
}

// A list of rules into a new cache. Every item must be read and stored: a list with a gap
// would grant or block what the service did not say.
bool read_list(buf_t *b, x_acl_cache_t **out, const char *name) {
    size_t n = 0;
    if (!bjson_raw_read_array_len(b, &n) || n > X_AUTH_REMOTE_LIST_ITEMS_MAX) {
        log_error("auth remote auth msg bjson raw read %s len failed\n", name);
        return false;
    }
    auto *cache = static_cast<x_acl_cache_t *>(calloc(1, sizeof(x_acl_cache_t)));
    if (cache == nullptr) {
        log_error("auth remote auth msg %s cache failed\n", name[0] == 'w' ? "white" : "black");
        return false;
    }
    *out = cache;
    for (size_t i = 0; i < n; i++) {
        bjson_str_t s{};
        if (!bjson_raw_read_string(b, &s, false)) {
            log_error("auth remote auth msg bjson raw read %s item failed\n", name);
            return false;
        }
        ngx_str_t rule = {s.len, reinterpret_cast<uint8_t *>(s.data)};
        if (s.len == 0 || !x_acl_match_insert_cache(cache, &rule)) {
            log_error("auth remote auth msg %s cache failed\n", name[0] == 'w' ? "white" : "black");
            return false;
        }
    }
    return true;
}

// A string of at most max bytes, pointing into the message.
bool read_view(buf_t *b, ngx_str_t *out, size_t max) {
    bjson_str_t s{};
    if (!bjson_raw_read_string(b, &s, false) || s.len > max) return false;
    out->len = s.len;
    out->data = reinterpret_cast<uint8_t *>(s.data);
    return true;
}

// One member of "f"; false (after its line) when it cannot be read or is out of range.
bool read_forward_member(buf_t *b, x_auth_answer_forward_t *f, std::string_view key) {
    bool ok;
    if (key == "h")
        ok = read_view(b, &f->host, X_FORWARD_MAX_CRED_LEN);
    else if (key == "u")
        ok = read_view(b, &f->username, X_FORWARD_MAX_CRED_LEN);
    else if (key == "p")
        ok = read_view(b, &f->password, X_FORWARD_MAX_CRED_LEN);
    else if (key == "dp")
        ok = bjson_raw_read_int(b, &f->port) && f->port >= 0 && f->port <= UINT16_MAX;
    else if (key == "o")
        ok = bjson_raw_read_int(b, &f->proto);
    else {
        if (bjson_raw_read_skip(b)) return true;
        log_error("auth remote auth msg bjson raw read forward skip failed\n");
        return false;
    }
    if (!ok)
        log_error("auth remote auth msg bjson forward raw read %.*s failed\n",
                  static_cast<int>(key.size()), key.data());
    return ok;
}

bool read_forward(buf_t *b, x_auth_answer_forward_t *f) {
    bjson_val_type type;
    bjson_raw_object_ctx_t ctx{};
    if (!bjson_raw_current_type(b, &type) || type != BJSON_OBJECT ||
        !bjson_raw_read_object(b, &ctx)) {
        log_error("auth remote auth msg bjson decode forward failed\n");
        return false;
    }
    for (size_t m = 0; m < ctx.len; m++) {
        bjson_str_t k{};
        if (!bjson_raw_read_object_key(b, &ctx, &k, false)) {
            log_error("auth remote auth msg bjson forward read key failed\n");
            return false;
        }
        if (!read_forward_member(b, f, std::string_view(k.data, k.len))) return false;
    }
    return true;
}

// One integer member by its key: its slot and its presence bit.
struct int_key {
    const char *key;
    uint32_t bit;
    int64_t x_auth_answer_t::*slot;
    bool in_verify; // also a member of verify answers
};

const int_key INT_KEYS[] = {
    {"i", X_ANS_I, &x_auth_answer_t::i, true},     {"a", X_ANS_A, &x_auth_answer_t::a, true},
    {"c", X_ANS_C, &x_auth_answer_t::c, true},     {"r", X_ANS_R, &x_auth_answer_t::r, false},
    {"ra", X_ANS_RA, &x_auth_answer_t::ra, false}, {"cl", X_ANS_CL, &x_auth_answer_t::cl, false},
    {"ct", X_ANS_CT, &x_auth_answer_t::ct, false}, {"w", X_ANS_W, &x_auth_answer_t::w, false},
    {"b", X_ANS_B, &x_auth_answer_t::b, false},    {"v", X_ANS_V, &x_auth_answer_t::v, true},
    {"vu", X_ANS_VU, &x_auth_answer_t::vu, true},
};

struct str_key {
    const char *key;
    uint32_t bit;
    ngx_str_t x_auth_answer_t::*slot;
};

const str_key STR_KEYS[] = {
    {"t", X_ANS_T, &x_auth_answer_t::t},
    {"lt", X_ANS_LT, &x_auth_answer_t::lt},
    {"ft", X_ANS_FT, &x_auth_answer_t::ft},
    {"st", X_ANS_ST, &x_auth_answer_t::st},
};

// Range checks that make a value unusable rather than something to clamp.
bool int_in_range(const char *key, int64_t v) {
    if (strcmp(key, "i") == 0) return v >= 0 && v <= UINT32_MAX;
    if (strcmp(key, "w") == 0 || strcmp(key, "b") == 0) return v >= 0 && v <= UINT32_MAX;
    return true;
}

// One member; false stops the reading. A key seen twice stops it too: which of the two values
// the service meant cannot be known.
bool read_member(member_reader &r, std::string_view key) {
    x_auth_answer_t *a = r.ans;
    for (const int_key &k : INT_KEYS) {
        if (key != k.key || (r.verify && !k.in_verify)) continue;
        const char *what = key == "a" ? "s" : k.key;
        if ((a->present & k.bit) || !read_int(r.b, &(a->*k.slot), what, r.verify) ||
            !int_in_range(k.key, a->*k.slot))
            return false;
        a->present |= k.bit;
        int64_t want = r.verify ? X_AUTH_REMOTE_VERIFY_RESP : X_AUTH_REMOTE_AUTH_RESP;
        if (k.bit == X_ANS_A && a->a != want) {
            if (r.verify)
                log_error("auth remote verify msg action %u is error\n", clamp_u32(a->a));
            else
                log_error("auth remote auth msg action %u is error\n", clamp_u32(a->a));
            return false;
        }
        return true;
    }
    if (!r.verify) {
        for (const str_key &k : STR_KEYS) {
            if (key != k.key) continue;
            if ((a->present & k.bit) || !read_token(r.b, &(a->*k.slot), k.key)) return false;
            a->present |= k.bit;
            return true;
        }
        if (key == "al") {
            if ((a->present & X_ANS_AL) || !bjson_raw_read_bool(r.b, &a->al)) {
                log_error("auth remote auth msg bjson raw read al failed\n");
                return false;
            }
            a->present |= X_ANS_AL;
            return true;
        }
        if (key == "wl" || key == "bl") {
            bool white = key == "wl";
            uint32_t bit = white ? X_ANS_WL : X_ANS_BL;
            if (a->present & bit) return false;
            a->present |= bit;
            return read_list(r.b, white ? &a->white_list : &a->black_list, white ? "wl" : "bl");
        }
        if (key == "f") {
            if (a->present & X_ANS_F) return false;
            a->present |= X_ANS_F;
            return read_forward(r.b, &a->f);
        }
    }
    if (bjson_raw_read_skip(r.b)) return true;
    if (r.verify)
        log_error("auth remote verify msg bjson raw read skip failed\n");
    else
        log_error("auth remote auth msg bjson raw read skip failed\n");
    return false;
}

void free_list(x_acl_cache_t **list) {
    if (*list == nullptr) return;
    x_acl_cache_member_free(*list);
    free(*list);
    *list = nullptr;
}

// ---- records ----

void request_destroy(x_auth_request_t *req) {
    x_auth_remote_t *auth = req->auth;
    x_timer_del(&req->timeout);
    dict *keys = req->type == X_AUTH_REMOTE_AUTH_REQ ? auth->key_auth_request_cache
                                                     : auth->key_verify_request_cache;
    // The key table names this request only while it is the one in flight for its key.
    auto *listed = dictFind(keys, &req->auth_key);
    if (listed && static_cast<uint32_t>(listed->v.u64) == req->request_id)
        dictDelete(keys, &req->auth_key);
    if (dictFetchValue(auth->request_cache, id_key(req->request_id)) == req)
        dictDelete(auth->request_cache, id_key(req->request_id));
    if (req->client_cache) dictRelease(req->client_cache);
    ngx_str_free(&req->auth_key);
    buf_free(&req->request_buf);
    free(req);
}

void user_key_destroy(x_auth_user_key_t *uk) {
    x_timer_del(&uk->timeout);
    dictDelete(uk->auth->user_key_cache, &uk->user_key);
    if (uk->client_cache) dictRelease(uk->client_cache);
    ngx_str_free(&uk->user_key);
    ngx_str_free(&uk->token);
    ngx_str_free(&uk->log_token);
    ngx_str_free(&uk->flow_token);
    ngx_str_free(&uk->stats_token);
    x_forward_member_free(&uk->forward);
    free(uk);
}

// Deletes a user and gives its egress addresses back to their pools (off the interface).
void user_destroy(x_auth_user_t *u) {
    x_timer_del(&u->timeout);
    dictDelete(u->auth->user_cache, &u->token);
    for (uint32_t l = 0; l < X_AUTH_REMOTE_LEVELS; l++) {
        x_auth_virtual_addr_t &va = u->virtual_ips[l];
        if (va.virtual_ip != 0 && va.xport != nullptr)
            (void)x_recycling_virtual_ip_by_level(va.xport, static_cast<int>(l + 1), va.virtual_ip);
    }
    free_list(&u->white_cache);
    free_list(&u->black_cache);
    free(u->bucket_up);
    free(u->bucket_down);
    ngx_str_free(&u->token);
    free(u);
}

void error_destroy(x_user_error_t *e) {
    x_timer_del(&e->timeout);
    dictDelete(e->auth->error_cache, &e->user_key);
    ngx_str_free(&e->user_key);
    free(e);
}

uint32_t next_request_id(x_auth_remote_t *auth) {
    auth->request_id = auth->request_id >= X_AUTH_REMOTE_REQUEST_ID_MAX ? 1 : auth->request_id + 1;
    return auth->request_id;
}

bool is_udp(const x_auth_remote_t *auth) {
    return auth->conf->config.remote.trans_type == 1;
}

// Steps of starting a request that can fail, with their lines for auth and verify requests.
enum req_step {
    S_CALLOC,
    S_CLIENT_DICT,
    S_COPY_KEY,
    S_ADD_CLIENT,
    S_ENCODE,
    S_ADD_KEY,
    S_ADD_REQ,
    S_SEND
};
const char *const AUTH_STEP_LINE[] = {"send auth request calloc request failed",
                                      "send auth request create request client cache dict failed",
                                      "send auth request copy user key failed",
                                      "send auth request add client cache dict failed",
                                      "send auth request create auth request error",
                                      "send auth request add key request cache failed",
                                      "send auth request add request cache failed",
                                      "send auth request send msg failed"};
const char *const VERIFY_STEP_LINE[] = {
    "verify request calloc failed",        "verify request create client cache failed",
    "verify request copy user_key failed", "verify add client cache failed",
    "create verify request failed",        "verify add request key_cache failed",
    "verify add request cache failed",     "verify send request msg failed"};

// A request with its tables and its first session, registered under `key`. Null after the
// caller's log line names the failed step in `step`.
x_auth_request_t *request_new(x_auth_remote_t *auth, uint32_t type, const ngx_str_t *key,
                              x_client_t *c, req_step *step) {
    auto *req = static_cast<x_auth_request_t *>(calloc(1, sizeof(x_auth_request_t)));
    if (req == nullptr) {
        *step = S_CALLOC;
        return nullptr;
    }
    req->auth = auth;
    req->type = type;
    req->port_id = c->auth_request.port_id;
    req->start_time = x_time_ms();
    req->request_id = next_request_id(auth);
    req->retry_count = is_udp(auth) ? UDP_FIRST_RETRY : OTHER_FIRST_RETRY;
    req->timeout.ctx = req;
    req->timeout.callback = x_auth_remote_on_request_timeout;
    req->client_cache = table_new(&id_dict_type, 0);
    if (req->client_cache == nullptr)
        *step = S_CLIENT_DICT;
    else if (!ngx_str_init(&req->auth_key, key->data, key->len))
        *step = S_COPY_KEY;
    else if (dictAdd(req->client_cache, id_key(c->session), nullptr) != DICT_OK)
        *step = S_ADD_CLIENT;
    else
        return req;
    if (req->client_cache) dictRelease(req->client_cache);
    ngx_str_free(&req->auth_key);
    free(req);
    return nullptr;
}

// Lists the request in its key table and in request_cache, sends it and arms its time-out.
bool request_start(x_auth_remote_t *auth, x_auth_request_t *req, x_conn_pool_t *pool,
                   req_step *step) {
    dict *keys = req->type == X_AUTH_REMOTE_AUTH_REQ ? auth->key_auth_request_cache
                                                     : auth->key_verify_request_cache;
    if (dictAdd(keys, &req->auth_key, nullptr) != DICT_OK) {
        *step = S_ADD_KEY;
        return false;
    }
    dictFind(keys, &req->auth_key)->v.u64 = req->request_id;
    if (dictAdd(auth->request_cache, id_key(req->request_id), req) != DICT_OK) {
        *step = S_ADD_REQ;
        return false;
    }
    if (!send_on(auth, pool, &req->request_buf)) {
        *step = S_SEND;
        return false;
    }
    x_timer_reg(&auth->request_timer, &req->timeout);
    return true;
}

void remember_refusal(x_auth_remote_t *auth, const ngx_str_t *key, uint32_t code) {
    if (dictFind(auth->error_cache, key) != nullptr) return;
    auto *e = static_cast<x_user_error_t *>(calloc(1, sizeof(x_user_error_t)));
    if (e == nullptr) return;
    e->auth = auth;
    e->code = code;
    e->timeout.ctx = e;
    e->timeout.callback = x_auth_on_error_timeout;
    if (!ngx_str_init(&e->user_key, key->data, key->len) ||
        dictAdd(auth->error_cache, &e->user_key, e) != DICT_OK) {
        ngx_str_free(&e->user_key);
        free(e);
        return;
    }
    x_timer_reg(&auth->error_timer, &e->timeout);
}

// Gives back the reference a session holds on its user, exactly once.
void release_user(x_auth_remote_t *auth, x_client_t *c) {
    x_client_auth_result_t &r = c->auth_result;
    if (!r.holds_user) return;
    r.holds_user = false;
    const unsigned index = auth->base.index;
    auto *uk = static_cast<x_auth_user_key_t *>(dictFetchValue(auth->user_key_cache, &r.user_key));
    if (uk == nullptr)
        log_error("auth[%u] user key [%.*s] do client close not in user key cache fail\n", index,
                  LOGKEY(r.user_key));
    else if (dictDelete(uk->client_cache, id_key(c->session)) != DICT_OK)
        log_error("auth[%u] client [%08x] do client close not in user key [%.*s] client cache\n",
                  index, c->session, LOGKEY(r.user_key));
    auto *u = static_cast<x_auth_user_t *>(dictFetchValue(auth->user_cache, &r.token));
    if (u == nullptr) {
        log_error("auth[%u] user key [%.*s] do client close not in user cache\n", index,
                  LOGKEY(r.user_key));
        return;
    }
    if (u->ref_count == 0) {
        log_error("auth[%u] user key [%.*s] do client close user ref count fail\n", index,
                  LOGKEY(r.user_key));
        exit(1);
    }
    u->ref_count--;
}

// ---- applying a grant ----

struct grant_ctx {
    x_auth_remote_t *auth;
    x_auth_request_t *req;
    x_auth_answer_t *ans;
    uint64_t now;
};

#define GRANT_LOG(fmt, ...)                                                                        \
    log_error("auth[%u] client [%.*s] " fmt, g.auth->base.index, LOGKEY(g.req->auth_key),          \
              ##__VA_ARGS__)

x_auth_user_key_t *user_key_new(grant_ctx &g) {
    auto *uk = static_cast<x_auth_user_key_t *>(calloc(1, sizeof(x_auth_user_key_t)));
    if (uk == nullptr) {
        GRANT_LOG("new user key failed\n");
        return nullptr;
    }
    uk->auth = g.auth;
    uk->timeout.ctx = uk;
    uk->timeout.callback = x_auth_on_user_key_timeout;
    const char *fail = nullptr;
    if ((uk->client_cache = table_new(&id_dict_type, 0)) == nullptr)
        fail = "create user key client cache dict failed\n";
    else if (!str_set(&uk->user_key, &g.req->auth_key))
        fail = "new user key fill user key failed\n";
    else if (!str_set(&uk->token, &g.ans->t))
        fail = "new user key fill token failed\n";
    else if (dictAdd(g.auth->user_key_cache, &uk->user_key, uk) != DICT_OK)
        fail = "new auth user key add cache failed\n";
    if (fail == nullptr) {
        x_timer_reg(&g.auth->user_key_timer, &uk->timeout);
        return uk;
    }
    GRANT_LOG("%s", fail);
    if (uk->client_cache) dictRelease(uk->client_cache);
    ngx_str_free(&uk->user_key);
    ngx_str_free(&uk->token);
    free(uk);
    return nullptr;
}

x_auth_user_key_t *grant_user_key(grant_ctx &g) {
    auto *uk =
        static_cast<x_auth_user_key_t *>(dictFetchValue(g.auth->user_key_cache, &g.req->auth_key));
    if (uk == nullptr) return user_key_new(g);
    if (same_str(&uk->token, &g.ans->t)) return uk;
    log_info("auth[%u] client [%.*s] user key move old [%.*s] new [%.*s]\n", g.auth->base.index,
             LOGKEY(g.req->auth_key), LOGTEXT(uk->token), LOGTEXT(g.ans->t));
    if (dictFind(g.auth->user_cache, &uk->token) == nullptr) {
        GRANT_LOG("user key sync error\n");
    } else {
        // The key is re-filed under the same text; only its token changes.
        if (str_set(&uk->token, &g.ans->t)) return uk;
        GRANT_LOG("user key update token failed\n");
    }
    user_key_destroy(uk);
    return nullptr;
}

bool grant_key_tokens(grant_ctx &g, x_auth_user_key_t *uk) {
    const x_auth_answer_t &a = *g.ans;
    uint64_t ct = clamp_seconds(a.ct) * 1000;
    uk->auth_time = g.now;
    uk->cache_time = ct;
    uk->cache_expire_time =
        ct + g.auth->conf->config.remote.cache_timeout + X_AUTH_REMOTE_EXPIRE_GRACE_MS;
    const ngx_str_t &flow = (a.present & X_ANS_FT) ? a.ft : a.t;
    if (!str_set(&uk->flow_token, &flow)) {
        GRANT_LOG("new user key fill flowtoken failed\n");
        return false;
    }
    if (!str_set(&uk->log_token, (a.present & X_ANS_LT) ? &a.lt : &flow)) {
        GRANT_LOG("new user key fill logtoken failed\n");
        return false;
    }
    if ((a.present & X_ANS_ST) && !str_set(&uk->stats_token, &a.st)) {
        GRANT_LOG("new user key fill stats_token failed\n");
        return false;
    }
    return true;
}

x_auth_user_t *user_new(grant_ctx &g) {
    auto *u = static_cast<x_auth_user_t *>(calloc(1, sizeof(x_auth_user_t)));
    if (u == nullptr) {
        GRANT_LOG("new user calloc failed\n");
        return nullptr;
    }
    u->auth = g.auth;
    u->timeout.ctx = u;
    u->timeout.callback = x_auth_remote_on_cache_timeout;
    const char *fail = nullptr;
    void *up = calloc(1, sizeof(token_bucket_t));
    void *down = calloc(1, sizeof(token_bucket_t));
    if (up) u->bucket_up = new (up) token_bucket_t{};
    if (down) u->bucket_down = new (down) token_bucket_t{};
    if (!str_set(&u->token, &g.ans->t))
        fail = "new user fill token failed\n";
    else if (u->bucket_up == nullptr)
        fail = "new user calloc bucket_up failed\n";
    else if (u->bucket_down == nullptr)
        fail = "new user calloc bucket_down failed\n";
    else if (dictAdd(g.auth->user_cache, &u->token, u) != DICT_OK)
        fail = "new user add cache failed\n";
    if (fail == nullptr) {
        x_timer_reg(&g.auth->cache_timer, &u->timeout);
        return u;
    }
    GRANT_LOG("%s", fail);
    free(u->bucket_up);
    free(u->bucket_down);
    ngx_str_free(&u->token);
    free(u);
    return nullptr;
}

bool grant_forward(grant_ctx &g, x_auth_user_key_t *uk) {
    const x_auth_answer_forward_t &f = g.ans->f;
    x_forward_member_free(&uk->forward);
    uk->forward = x_forward_t{};
    uk->use_auth_forword = false;
    if (!(g.ans->present & X_ANS_F) || f.host.len == 0 || f.port == 0) return true;
    const char *fail = nullptr;
    if (!str_set(&uk->forward.host, &f.host)) fail = "fill forward fill host failed\n";
    uk->forward.port = static_cast<uint16_t>(f.port);
    uk->forward.proto = static_cast<uint8_t>(f.proto & 0xff);
    if (fail == nullptr && f.username.len > 0 && f.password.len > 0) {
        if (!str_set(&uk->forward.username, &f.username))
            fail = "fill forward fill username failed\n";
        else if (!str_set(&uk->forward.password, &f.password))
            fail = "fill forward fill password failed\n";
        uk->forward.has_username = 1;
    }
    if (fail != nullptr) {
        GRANT_LOG("%s", fail);
        GRANT_LOG("authresp fill forward user failed\n");
        return false;
    }
    uk->use_auth_forword = true;
    return true;
}

x_config_port_t *port_of(x_auth_remote_t *auth, uint32_t port_id) {
    x_config_server_t &cfg = auth->base.server->config;
    return port_id < cfg.port_num ? &cfg.ports[port_id] : nullptr;
}

// Rate and size of both buckets: "ra" in KiB/s when sent, else the level's rate.
void grant_buckets(grant_ctx &g, x_auth_user_t *u, uint32_t level) {
    const x_auth_answer_t &a = *g.ans;
    uint64_t rate;
    if (a.present & X_ANS_RA) {
        if (a.ra <= 0) return; // nothing usable: the buckets stay as they are
        u->rate = clamp_u32(a.ra);
        rate = static_cast<uint64_t>(u->rate) * 1024;
    } else {
        u->rate = 0;
        rate = rate_limit_levels[level];
    }
    if (rate > UINT32_MAX) rate = UINT32_MAX;
    auto r32 = static_cast<uint32_t>(rate);
    // A new rate applies at once; what the user already spent stays spent.
    if (u->bucket_up->rate.load(std::memory_order_relaxed) != r32 ||
        u->bucket_down->rate.load(std::memory_order_relaxed) != r32) {
        token_bucket_set_rate(u->bucket_up, r32, 2 * rate);
        token_bucket_set_rate(u->bucket_down, r32, 2 * rate);
    }
}

bool grant_egress(grant_ctx &g, x_auth_user_t *u, uint32_t level) {
    x_auth_virtual_addr_t &va = u->virtual_ips[level - 1];
    if (va.virtual_ip != 0) return true;
    va.xport = port_of(g.auth, g.req->port_id);
    if (va.xport != nullptr)
        va.virtual_ip = x_get_virtual_ip_by_level(va.xport, static_cast<int>(level));
    if (va.virtual_ip != 0) return true;
    GRANT_LOG("authresp get virtual_ip failed\n");
    return false;
}

void grant_lists(grant_ctx &g, x_auth_user_t *u) {
    x_auth_answer_t &a = *g.ans;
    auto w = static_cast<uint32_t>(a.w), b = static_cast<uint32_t>(a.b);
    if (w != 0 && w != u->white_version) {
        u->allow_all = a.al;
        if (!a.al) {
            free_list(&u->white_cache);
            u->white_cache = a.white_list;
            a.white_list = nullptr;
        }
        u->white_version = w;
    }
    if (b != 0 && b != u->black_version) {
        free_list(&u->black_cache);
        u->black_cache = a.black_list;
        a.black_list = nullptr;
        u->black_version = b;
    }
}

// Applies a grant to the records; the user key and user on success, else null (answer 640).
bool apply_grant(grant_ctx &g, x_auth_user_t **user, x_auth_user_key_t **key) {
    const x_auth_answer_t &a = *g.ans;
    bool virtual_ip = g.auth->conf->config.remote.use_virtual_ip;
    if ((a.present & X_ANS_R) && a.r > static_cast<int64_t>(X_AUTH_REMOTE_LEVELS)) {
        GRANT_LOG("authresp userlevel %ld is invalid\n", static_cast<long>(a.r));
        return false;
    }
    if (virtual_ip && !(a.present & X_ANS_R))
        GRANT_LOG("authresp use_virtual_ip but user_level is null\n");
    x_auth_user_key_t *uk = grant_user_key(g);
    if (uk != nullptr && !grant_key_tokens(g, uk)) {
        user_key_destroy(uk);
        uk = nullptr;
    }
    if (uk == nullptr) {
        GRANT_LOG("authresp new user key failed\n");
        return false;
    }
    auto *u = static_cast<x_auth_user_t *>(dictFetchValue(g.auth->user_cache, &a.t));
    if (u == nullptr && (u = user_new(g)) == nullptr) {
        GRANT_LOG("authresp new user failed\n");
        return false;
    }
    if (!grant_forward(g, uk)) return false;
    uint32_t level =
        (a.present & X_ANS_R) && a.r > 0 ? static_cast<uint32_t>(a.r) : X_AUTH_REMOTE_LEVELS;
    if (virtual_ip) {
        if (!grant_egress(g, u, level)) return false;
    } else {
        grant_buckets(g, u, level);
    }
    grant_lists(g, u);
    u->conn_limit = clamp_u32(a.cl);
    u->next_verify = x_auth_remote_verify_interval(a.v, a.vu);
    u->user_level = level;
    u->auth_time = u->verify_time = g.now;
    u->cache_time = uk->cache_time;
    u->cache_expire_time = uk->cache_expire_time;
    u->code = 0;
    *user = u;
    *key = uk;
    return true;
}

// ---- answering sessions ----

// Every session still waiting on the request, looked up by id: one that left is skipped.
template <typename Fn> void for_each_waiting(x_auth_request_t *req, Fn fn) {
    dictIterator it;
    dictInitSafeIterator(&it, req->client_cache);
    while (dictEntry *e = dictNext(&it)) {
        auto id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e->key));
        x_client_t *c = session_by_id(req->auth, id);
        if (c != nullptr && c->auth_request.request_id == req->request_id) fn(c);
    }
    dictResetIterator(&it);
}

void verify_answer(x_auth_remote_t *auth, x_client_t *c, uint32_t code, const x_auth_user_t *user) {
    c->auth_result.code = code;
    if (code == 0) {
        c->auth_result.next_verify = user->next_verify;
        c->auth_result.last_verify = x_time_ms();
    }
    c->auth_request.request_id = 0;
    x_auth_finish_verify(auth->base.server, c->auth_request.from_ipc_id, c->session);
}

x_auth_user_t *user_of_key(x_auth_remote_t *auth, const ngx_str_t *key,
                           x_auth_user_key_t **uk_out) {
    auto *uk = static_cast<x_auth_user_key_t *>(dictFetchValue(auth->user_key_cache, key));
    *uk_out = uk;
    return uk ? static_cast<x_auth_user_t *>(dictFetchValue(auth->user_cache, &uk->token))
              : nullptr;
}

void process_auth_answer(x_auth_remote_t *auth, x_auth_request_t *req, x_auth_answer_t *ans,
                         x_answer_read result) {
    // A partial answer, or one without a usable code, changes nothing and refuses its sessions.
    if (result != x_answer_read::complete || !(ans->present & X_ANS_C) || ans->c < 0 ||
        ans->c > static_cast<int64_t>(UINT32_MAX)) {
        x_auth_on_auth_resp_all_request(req, X_ERROR_AUTH_RESPONSE_RESOLVE, nullptr, nullptr);
        return;
    }
    if (ans->c != 0) {
        auto code = static_cast<uint32_t>(ans->c);
        remember_refusal(auth, &req->auth_key, code);
        x_auth_on_auth_resp_all_request(req, code, nullptr, nullptr);
        return;
    }
    grant_ctx g = {auth, req, ans, x_time_ms()};
    x_auth_user_t *user = nullptr;
    x_auth_user_key_t *uk = nullptr;
    if (apply_grant(g, &user, &uk))
        x_auth_on_auth_resp_all_request(req, 0, user, uk);
    else
        x_auth_on_auth_resp_all_request(req, X_ERROR_AUTH_SERVER, nullptr, nullptr);
}

// The request an answer names, when it is of the expected kind.
x_auth_request_t *answered_request(x_auth_remote_t *auth, const x_auth_answer_t &ans,
                                   uint32_t type) {
    auto id = static_cast<uint32_t>(ans.i);
    auto *req =
        (ans.present & X_ANS_I)
            ? static_cast<x_auth_request_t *>(dictFetchValue(auth->request_cache, id_key(id)))
            : nullptr;
    if (req != nullptr && req->type == type) return req;
    if (type == X_AUTH_REMOTE_AUTH_REQ)
        log_error("auth[%u] authresp request_id %u is invalid\n", auth->base.index, id);
    else
        log_error("auth[%u] verify resp request_id %u is invalid\n", auth->base.index, id);
    return nullptr;
}

void report_time(const x_auth_request_t *req) {
    add_auth_time_count(x_time_ms() - req->start_time);
}

// The verify question of a session whose user is cached but due.
void join_or_send_verify(x_auth_remote_t *auth, x_client_t *c, x_auth_user_t *u) {
    const ngx_str_t &token = c->auth_result.token;
    dictEntry *e = dictFind(auth->key_verify_request_cache, &token);
    if (e != nullptr) {
        auto id = static_cast<uint32_t>(e->v.u64);
        auto *req =
            static_cast<x_auth_request_t *>(dictFetchValue(auth->request_cache, id_key(id)));
        if (req != nullptr &&
            (dictFind(req->client_cache, id_key(c->session)) != nullptr ||
             dictAdd(req->client_cache, id_key(c->session), nullptr) == DICT_OK)) {
            c->auth_request.request_id = id;
            return;
        }
        log_error("auth[%u] client [%.*s] is verifying client cache error\n", auth->base.index,
                  LOGKEY(c->auth_result.user_key));
        verify_answer(auth, c, VERIFY_REFUSED, u);
        return;
    }
    // The service cannot be asked: a session is never closed for that.
    if (!x_auth_remote_send_verify_request(auth, c, u)) verify_answer(auth, c, 0, u);
}

void auth_ask_service(x_auth_remote_t *auth, x_client_t *c, const ngx_str_t *key) {
    const unsigned index = auth->base.index;
    if (auth->auth_conn_pool == nullptr && auth->send == pool_send) {
        answer_auth(auth, c, X_ERROR_AUTH_SEND);
        return;
    }
    req_step step = S_CALLOC;
    x_auth_request_t *req = request_new(auth, X_AUTH_REMOTE_AUTH_REQ, key, c, &step);
    if (req != nullptr) {
        c->auth_request.request_id = req->request_id;
        if (!x_auth_remote_encode_auth_request(auth, c, req->request_id, &req->request_buf)) {
            step = S_ENCODE;
        } else if (request_start(auth, req, auth->auth_conn_pool, &step)) {
            return;
        }
    }
    log_error("auth[%u] client [%.*s] %s\n", index, LOGKEY(*key), AUTH_STEP_LINE[step]);
    if (req != nullptr) request_destroy(req);
    answer_auth(auth, c, X_ERROR_AUTH_SEND);
}

} // namespace

// ---- the backend ----

x_auth_remote_t *x_auth_remote_create(x_server_t *server, uint32_t index) {
    auto *auth = static_cast<x_auth_remote_t *>(calloc(1, sizeof(x_auth_remote_t)));
    if (auth == nullptr) return nullptr;
    x_auth_base_init(&auth->base, server, index, X_AUTH_TYPE_REMOTE);
    auth->base.do_load_config = x_auth_remote_do_load_config;
    auth->base.do_init = x_auth_remote_do_init;
    auth->base.do_check = x_auth_remote_do_check;
    auth->base.do_free = x_auth_remote_do_free;
    auth->base.do_auth = x_auth_remote_do_auth;
    auth->base.do_acl = x_auth_remote_do_acl;
    auth->base.do_verify = x_auth_remote_do_verify;
    auth->base.do_client_close = x_auth_remote_do_client_close;
    auth->send = pool_send;
    return auth;
}

bool x_auth_remote_do_load_config(x_auth_base_t *auth, x_config_auth_t *conf) {
    if (auth == nullptr || conf == nullptr) return false;
    remote_of(auth)->conf = conf;
    return true;
}

namespace {

x_conn_pool_t *pool_new(x_auth_remote_t *auth, data_handler on_data) {
    const x_config_auth_remote_t &rc = auth->conf->config.remote;
    uint64_t size = static_cast<uint64_t>(rc.server_num) * rc.pool_size;
    if (size > X_CONN_POOL_MAX) {
        log_error("auth[%u] pool of %" PRIu64 " connections is more than %u\n", auth->base.index,
                  size, X_CONN_POOL_MAX);
        return nullptr;
    }
    x_conn_pool_t *pool = x_conn_pool_create(auth->base.server->main_thread, str_data(rc.if_name),
                                             rc.bind_addr, static_cast<uint32_t>(size));
    if (pool == nullptr) return nullptr;
    if (!x_conn_pool_add(pool, static_cast<uint16_t>(rc.trans_type), rc.servers, rc.server_num,
                         str_data(rc.server_path), POOL_RECONNECT_MS, POOL_HEARTBEAT_MS, auth,
                         on_data, nullptr, nullptr)) {
        x_conn_pool_free(pool);
        return nullptr;
    }
    return pool;
}

struct table_spec {
    dict *x_auth_remote_t::*slot;
    dictType *type;
    const char *name;
};

const table_spec TABLES[] = {
    {&x_auth_remote_t::key_auth_request_cache, &str_dict_type, "auth request key cache"},
    {&x_auth_remote_t::key_verify_request_cache, &str_dict_type, "verify request key cache"},
    {&x_auth_remote_t::request_cache, &id_dict_type, "auth request cache"},
    {&x_auth_remote_t::user_key_cache, &str_dict_type, "auth user key cache"},
    {&x_auth_remote_t::user_cache, &str_dict_type, "auth user cache"},
    {&x_auth_remote_t::error_cache, &str_dict_type, "auth user error cache"},
};

} // namespace

bool x_auth_remote_do_init(x_auth_base_t *base) {
    x_auth_remote_t *auth = remote_of(base);
    for (const table_spec &t : TABLES) {
        dict *d = dictCreate(t.type);
        if (d == nullptr) {
            log_error("auth[%u] create %s failed\n", base->index, t.name);
            return false;
        }
        auth->*t.slot = d;
        if (dictTryExpand(d, TABLE_PRESIZE) != DICT_OK) {
            log_error("auth[%u] expand %s dict failed\n", base->index, t.name);
            return false;
        }
    }
    const x_config_auth_remote_t &rc = auth->conf->config.remote;
    x_timer_init(&auth->request_timer,
                 rc.trans_type == 1 ? UDP_REQUEST_TIMEOUT_MS : OTHER_REQUEST_TIMEOUT_MS);
    x_timer_init(&auth->cache_timer, X_AUTH_REMOTE_CACHE_CHECK_MS);
    x_timer_init(&auth->error_timer, rc.error_timeout);
    x_timer_init(&auth->user_key_timer, X_AUTH_REMOTE_CACHE_CHECK_MS);
    auth->auth_conn_pool = pool_new(auth, x_auth_remote_do_recv_auth_msg);
    if (auth->auth_conn_pool == nullptr) return false;
    auth->verify_conn_pool = pool_new(auth, x_auth_remote_do_recv_verify_msg);
    return auth->verify_conn_pool != nullptr;
}

void x_auth_remote_do_check(x_auth_base_t *base) {
    x_auth_remote_t *auth = remote_of(base);
    if (auth->auth_conn_pool) x_conn_pool_conn_check(auth->auth_conn_pool);
    if (auth->verify_conn_pool) x_conn_pool_conn_check(auth->verify_conn_pool);
    uint64_t now = x_time_ms();
    if (auth->request_cache && now - auth->last_show_cache_time > SHOW_CACHE_MS) {
        log_info("auth %u check dict size: %lu %lu %lu %lu %lu %lu\n", base->index,
                 dictSize(auth->request_cache), dictSize(auth->key_auth_request_cache),
                 dictSize(auth->key_verify_request_cache), dictSize(auth->user_cache),
                 dictSize(auth->user_key_cache), dictSize(auth->error_cache));
        auth->last_show_cache_time = now;
    }
    x_timer_check(&auth->request_timer);
    x_timer_check(&auth->cache_timer);
    x_timer_check(&auth->user_key_timer);
    x_timer_check(&auth->error_timer);
    x_auth_acl_file_check(base);
}

namespace {

// Destroys every record of a table with its own helper (each deletes itself from the table).
template <typename T, typename Fn> void drain(dict *d, Fn destroy) {
    if (d == nullptr) return;
    while (dictSize(d) > 0) {
        dictIterator it;
        dictInitSafeIterator(&it, d);
        dictEntry *e = dictNext(&it);
        dictResetIterator(&it);
        destroy(static_cast<T *>(e->v.val));
    }
    dictRelease(d);
}

} // namespace

void x_auth_remote_do_free(x_auth_base_t *base) {
    x_auth_remote_t *auth = remote_of(base);
    x_conn_pool_free(auth->auth_conn_pool);
    x_conn_pool_free(auth->verify_conn_pool);
    // Requests first: they unlist themselves from the key tables.
    if (auth->request_cache) {
        while (dictSize(auth->request_cache) > 0) {
            dictIterator it;
            dictInitSafeIterator(&it, auth->request_cache);
            dictEntry *e = dictNext(&it);
            dictResetIterator(&it);
            request_destroy(static_cast<x_auth_request_t *>(e->v.val));
        }
        dictRelease(auth->request_cache);
    }
    drain<x_user_error_t>(auth->error_cache, error_destroy);
    drain<x_auth_user_key_t>(auth->user_key_cache, user_key_destroy);
    drain<x_auth_user_t>(auth->user_cache, user_destroy);
    if (auth->key_auth_request_cache) dictRelease(auth->key_auth_request_cache);
    if (auth->key_verify_request_cache) dictRelease(auth->key_verify_request_cache);
    x_auth_base_free(base);
    free(auth);
}

void x_auth_remote_do_auth(x_auth_base_t *base, x_client_t *c) {
    x_auth_remote_t *auth = remote_of(base);
    // A session asking again gives back what its earlier grant held.
    release_user(auth, c);
    ngx_str_t key{};
    switch (x_auth_remote_build_key(auth, c, &key)) {
    case x_auth_key_result::refuse:
        answer_auth(auth, c, X_AUTH_CODE_REFUSED);
        return;
    case x_auth_key_result::fail:
        answer_auth(auth, c, X_ERROR_AUTH_SERVER);
        return;
    case x_auth_key_result::key:
        break;
    }
    uint64_t now = x_time_ms();
    auto *err = static_cast<x_user_error_t *>(dictFetchValue(auth->error_cache, &key));
    if (err != nullptr) {
        answer_auth(auth, c, err->code);
        ngx_str_free(&key);
        return;
    }
    x_auth_user_key_t *uk = nullptr;
    x_auth_user_t *u = user_of_key(auth, &key, &uk);
    if (uk != nullptr && u == nullptr) {
        log_error("auth[%u] client [%.*s] is authenticated cache is error, again auth\n",
                  base->index, LOGKEY(key));
        if (dictSize(uk->client_cache) == 0) user_key_destroy(uk);
    } else if (u != nullptr) {
        // The key's own answer decides: another key of the same user (a new password) does not
        // keep this one alive.
        if (now <= uk->auth_time + uk->cache_time) {
            answer_auth(auth, c, x_auth_fill_client_auth_result(u, uk, c));
            ngx_str_free(&key);
            return;
        }
        if (now <= uk->auth_time + uk->cache_time + X_AUTH_REMOTE_VERSION_WINDOW_MS) {
            c->auth_request.white_version = u->white_version;
            c->auth_request.black_version = u->black_version;
        }
    }
    dictEntry *flight = dictFind(auth->key_auth_request_cache, &key);
    if (flight != nullptr) {
        auto id = static_cast<uint32_t>(flight->v.u64);
        auto *req =
            static_cast<x_auth_request_t *>(dictFetchValue(auth->request_cache, id_key(id)));
        if (req != nullptr &&
            (dictFind(req->client_cache, id_key(c->session)) != nullptr ||
             dictAdd(req->client_cache, id_key(c->session), nullptr) == DICT_OK)) {
            c->auth_request.request_id = id;
        } else {
            log_error("auth[%u] client [%.*s] is authenticating request cache error\n", base->index,
                      LOGKEY(key));
            answer_auth(auth, c, X_ERROR_AUTH_SERVER);
        }
        ngx_str_free(&key);
        return;
    }
    auth_ask_service(auth, c, &key);
    ngx_str_free(&key);
}

void x_auth_remote_do_acl(x_auth_base_t *base, x_client_t *c) {
    x_auth_remote_t *auth = remote_of(base);
    const x_acl_match_t *m = &c->acl_match;
    uint32_t code = X_ACL_ALLOW;
    auto *u = static_cast<x_auth_user_t *>(dictFetchValue(auth->user_cache, &c->auth_result.token));
    if (x_acl_match_in_cache(&base->white_cache, m)) {
        code = X_ACL_ALLOW;
    } else if (u == nullptr) {
        log_error("auth[%u] user key [%.*s] do acl not in user cache\n", base->index,
                  LOGKEY(c->auth_result.user_key));
        code = X_ACL_BLOCK;
    } else if (u->black_cache && x_acl_match_in_cache(u->black_cache, m)) {
        code = X_ACL_BLOCK;
    } else if (u->allow_all || (u->white_cache && x_acl_match_in_cache(u->white_cache, m))) {
        code = X_ACL_ALLOW;
    } else if (x_acl_match_in_cache(&base->black_cache, m)) {
        code = X_ACL_BLOCK;
    }
    c->auth_result.code = code;
    x_auth_finish_acl(base->server, c->auth_request.from_ipc_id, c->session);
}

void x_auth_remote_do_verify(x_auth_base_t *base, x_client_t *c) {
    x_auth_remote_t *auth = remote_of(base);
    auto *u = static_cast<x_auth_user_t *>(dictFetchValue(auth->user_cache, &c->auth_result.token));
    if (u == nullptr) {
        log_error("auth[%u] user key [%.*s] do verify not in user cache\n", base->index,
                  LOGKEY(c->auth_result.user_key));
        verify_answer(auth, c, VERIFY_REFUSED, nullptr);
        return;
    }
    if (x_time_ms() <= u->verify_time + u->next_verify) {
        verify_answer(auth, c, 0, u);
        return;
    }
    join_or_send_verify(auth, c, u);
}

void x_auth_remote_do_client_close(x_auth_base_t *base, x_client_t *c) {
    x_auth_remote_t *auth = remote_of(base);
    uint32_t id = c->auth_request.request_id;
    auto *req =
        id ? static_cast<x_auth_request_t *>(dictFetchValue(auth->request_cache, id_key(id)))
           : nullptr;
    if (req != nullptr) {
        dictDelete(req->client_cache, id_key(c->session));
        if (dictSize(req->client_cache) == 0) request_destroy(req);
    }
    c->auth_request.request_id = 0;
    release_user(auth, c);
}

// ---- messages ----

bool x_auth_remote_do_recv_auth_msg(void *original, const uint8_t *data, size_t len) {
    auto *auth = static_cast<x_auth_remote_t *>(original);
    if (len == 0) return true; // keep-alive
    x_auth_answer_t ans{};
    x_answer_read result = x_auth_remote_read_answer(data, len, false, &ans);
    if (result == x_answer_read::not_object) {
        log_error("auth remote recv msg bjson decode failed\n");
        x_auth_answer_free(&ans);
        return false;
    }
    x_auth_request_t *req = answered_request(auth, ans, X_AUTH_REMOTE_AUTH_REQ);
    if (req != nullptr) {
        report_time(req);
        process_auth_answer(auth, req, &ans, result);
    }
    x_auth_answer_free(&ans);
    return true;
}

bool x_auth_remote_do_recv_verify_msg(void *original, const uint8_t *data, size_t len) {
    auto *auth = static_cast<x_auth_remote_t *>(original);
    if (len == 0) return true; // keep-alive
    x_auth_answer_t ans{};
    x_answer_read result = x_auth_remote_read_answer(data, len, true, &ans);
    x_auth_answer_free(&ans);
    if (result == x_answer_read::not_object) {
        log_error("auth verify recv msg bjson decode failed\n");
        return false;
    }
    // An answer that could not be read whole is dropped: its request runs into its time-out.
    if (result != x_answer_read::complete) return true;
    x_auth_request_t *req = answered_request(auth, ans, X_AUTH_REMOTE_VERIFY_REQ);
    if (req == nullptr) return true;
    report_time(req);
    auto *u = static_cast<x_auth_user_t *>(dictFetchValue(auth->user_cache, &req->auth_key));
    if (ans.c == 0 && u != nullptr) {
        uint64_t iv = x_auth_remote_verify_interval(ans.v, ans.vu);
        if (iv > 0) u->next_verify = iv;
        u->verify_time = x_time_ms();
        x_auth_on_verify_resp_all_request(req, 0, u);
        return true;
    }
    if (ans.c == 0)
        log_error("auth[%u] request_id %u client [%.*s] verifyresp user not in cache\n",
                  auth->base.index, req->request_id, LOGKEY(req->auth_key));
    x_auth_on_verify_resp_all_request(req, VERIFY_REFUSED, nullptr);
    return true;
}

x_auth_key_result x_auth_remote_build_key(const x_auth_remote_t *auth, const x_client_t *c,
                                          ngx_str_t *key) {
    const x_client_auth_request_t &rq = c->auth_request;
    key_form form;
    if (!choose_form(auth->conf->config.remote, rq, &form)) return x_auth_key_result::refuse;
    bool per_session = form == key_form::user_session || form == key_form::address_session;
    bool user = form == key_form::user || form == key_form::user_session;
    // Escaping at most triples a byte; the numbers take 8 + 8 + 4 + 8 digits and 7 bars.
    size_t cap = user ? 3 * (rq.username.len + rq.password.len) + 48 : 48;
    char *text = static_cast<char *>(malloc(cap));
    if (text == nullptr) {
        log_error("auth[%u] create key %s failed\n", auth->base.index,
                  per_session ? "no merge" : "merge");
        return x_auth_key_result::fail;
    }
    size_t n = 0;
    text[n++] = '|';
    if (user) {
        n += escape_into(text + n, rq.username);
        text[n++] = '|';
        n += escape_into(text + n, rq.password);
        text[n++] = '|';
    }
    n += static_cast<size_t>(
        snprintf(text + n, cap - n, "%08x|%08x|%04x|", addr_value(c->addr.sin_addr.s_addr),
                 addr_value(c->localaddr.sin_addr.s_addr), unsigned{ntohs(c->localaddr.sin_port)}));
    if (per_session) n += static_cast<size_t>(snprintf(text + n, cap - n, "%08x|", c->session));
    bool ok = ngx_str_init(key, text, n);
    free(text);
    if (!ok) {
        log_error("auth[%u] create key %s failed\n", auth->base.index,
                  per_session ? "no merge" : "merge");
        return x_auth_key_result::fail;
    }
    return x_auth_key_result::key;
}

bool x_auth_remote_encode_auth_request(const x_auth_remote_t *auth, const x_client_t *c,
                                       uint32_t id, buf_t *b) {
    const x_client_auth_request_t &rq = c->auth_request;
    const x_config_auth_remote_t &rc = auth->conf->config.remote;
    bool creds = rq.username.len > 0 && rq.password.len > 0;
    // Key lengths in member order; the presence rules decide which members exist.
    uint32_t lens[10];
    size_t n = 0;
    lens[n++] = 1;                           // i
    lens[n++] = 1;                           // a
    if (creds) lens[n++] = 1, lens[n++] = 1; // u, p
    lens[n++] = 2;
    lens[n++] = 2;
    lens[n++] = 2; // np, na, sa
    if (rq.white_version) lens[n++] = 1;
    if (rq.black_version) lens[n++] = 1;
    if (rc.tag.len > 0) lens[n++] = 3;
    const char *fail = nullptr;
    if (buf_capacity(b) == 0 && !buf_alloc(b, 1024))
        fail = "create encode buf failed";
    else if (!bjson_raw_write_object_by_array(b, n, lens))
        fail = "write object header fail";
    else if (!write_int_member(b, "i", id))
        fail = "write i fail";
    else if (!write_int_member(b, "a", X_AUTH_REMOTE_AUTH_REQ))
        fail = "write a fail";
    else if (creds && !write_str_member(b, "u", rq.username))
        fail = "u fail";
    else if (creds && !write_str_member(b, "p", rq.password))
        fail = "p fail";
    else if (!write_int_member(b, "np", ntohs(c->localaddr.sin_port)) ||
             !write_int_member(b, "na", addr_value(c->localaddr.sin_addr.s_addr)) ||
             !write_int_member(b, "sa", addr_value(c->addr.sin_addr.s_addr)))
        fail = "write np fail";
    else if (rq.white_version && !write_int_member(b, "w", rq.white_version))
        fail = "write w fail";
    else if (rq.black_version && !write_int_member(b, "b", rq.black_version))
        fail = "write b fail";
    else if (rc.tag.len > 0 && !write_str_member(b, "tag", rc.tag))
        fail = "tag fail";
    if (fail == nullptr) return true;
    log_error("auth remote create auth request %s\n", fail);
    return false;
}

bool x_auth_remote_encode_verify_request(uint32_t id, const ngx_str_t *token, buf_t *b) {
    const char *fail = nullptr;
    if (buf_capacity(b) == 0 && !buf_alloc(b, 1024))
        fail = "create verify request create encode buf failed";
    else if (!bjson_raw_write_object(b, 3, "i", "a", "t"))
        fail = "create verify request write object header fail";
    else if (!write_int_member(b, "i", id))
        fail = "create verify request write i fail";
    else if (!write_int_member(b, "a", X_AUTH_REMOTE_VERIFY_REQ))
        fail = "create verify request write a fail";
    else if (!write_str_member(b, "t", *token))
        fail = "create auth request t fail";
    if (fail == nullptr) return true;
    log_error("auth remote %s\n", fail);
    return false;
}

x_answer_read x_auth_remote_read_answer(const uint8_t *data, size_t len, bool verify,
                                        x_auth_answer_t *ans) {
    buf_t b = {const_cast<uint8_t *>(data), const_cast<uint8_t *>(data) + len,
               const_cast<uint8_t *>(data), const_cast<uint8_t *>(data) + len};
    bjson_val_type type;
    bjson_raw_object_ctx_t ctx{};
    if (!bjson_raw_current_type(&b, &type) || type != BJSON_OBJECT ||
        !bjson_raw_read_object(&b, &ctx))
        return x_answer_read::not_object;
    member_reader r = {&b, ans, verify};
    for (size_t m = 0; m < ctx.len; m++) {
        bjson_str_t k{};
        if (!bjson_raw_read_object_key(&b, &ctx, &k, false)) {
            if (verify)
                log_error("auth remote verify msg bjson decode failed\n");
            else
                log_error("auth remote auth msg bjson read key failed\n");
            return x_answer_read::partial;
        }
        if (!read_member(r, std::string_view(k.data, k.len))) return x_answer_read::partial;
    }
    // Bytes after the object belong to no member: the message is not what the service meant.
    if (b.pos != b.last) return x_answer_read::partial;
    ans->complete = true;
    return x_answer_read::complete;
}

void x_auth_answer_free(x_auth_answer_t *ans) {
    free_list(&ans->white_list);
    free_list(&ans->black_list);
}

uint64_t x_auth_remote_verify_interval(int64_t v, int64_t vu) {
    uint64_t ms = clamp_seconds(v) * (vu == 1 ? 1000 : 60000);
    return ms != 0 && ms < MIN_VERIFY_MS ? MIN_VERIFY_MS : ms;
}

// ---- requests and results ----

bool x_auth_remote_send_verify_request(x_auth_remote_t *auth, x_client_t *c, x_auth_user_t *) {
    if (auth->verify_conn_pool == nullptr && auth->send == pool_send) return false;
    const unsigned index = auth->base.index;
    const ngx_str_t &key = c->auth_result.user_key;
    req_step step = S_CALLOC;
    x_auth_request_t *req =
        request_new(auth, X_AUTH_REMOTE_VERIFY_REQ, &c->auth_result.token, c, &step);
    if (req != nullptr) {
        c->auth_request.request_id = req->request_id;
        if (!x_auth_remote_encode_verify_request(req->request_id, &req->auth_key,
                                                 &req->request_buf))
            step = S_ENCODE;
        else if (request_start(auth, req, auth->verify_conn_pool, &step))
            return true;
    }
    log_error("auth[%u] client [%.*s] %s\n", index, LOGKEY(key), VERIFY_STEP_LINE[step]);
    if (req != nullptr) request_destroy(req);
    c->auth_request.request_id = 0;
    return false;
}

void x_auth_remote_on_request_timeout(void *ctx, x_timer_event_t *) {
    auto *req = static_cast<x_auth_request_t *>(ctx);
    x_auth_remote_t *auth = req->auth;
    bool is_auth = req->type == X_AUTH_REMOTE_AUTH_REQ;
    uint32_t outcome;
    if (req->retry_count > LAST_RETRY) {
        log_error("auth[%u] client [%.*s] request timeout request_id:[%u] out of time\n",
                  auth->base.index, LOGKEY(req->auth_key), req->request_id);
        outcome = is_auth ? X_ERROR_AUTH_TIMEOUT : 0;
    } else {
        x_conn_pool_t *pool = is_auth ? auth->auth_conn_pool : auth->verify_conn_pool;
        if (send_on(auth, pool, &req->request_buf)) {
            req->retry_count++;
            x_timer_reg(&auth->request_timer, &req->timeout);
            return;
        }
        outcome = is_auth ? X_ERROR_AUTH_SEND : 0;
    }
    if (!is_auth) {
        auto *u = static_cast<x_auth_user_t *>(dictFetchValue(auth->user_cache, &req->auth_key));
        x_auth_on_verify_resp_all_request(req, u ? 0 : VERIFY_REFUSED, u);
        return;
    }
    x_auth_user_key_t *uk = nullptr;
    x_auth_user_t *u = user_of_key(auth, &req->auth_key, &uk);
    if (auth->conf->config.remote.is_priority && u != nullptr) {
        // The service is away: the last answer of this key is used again.
        uk->auth_time = u->auth_time = x_time_ms();
        x_auth_on_auth_resp_all_request(req, 0, u, uk);
        return;
    }
    x_auth_on_auth_resp_all_request(req, outcome, nullptr, nullptr);
}

uint32_t x_auth_fill_client_auth_result(x_auth_user_t *u, x_auth_user_key_t *uk, x_client_t *c) {
    x_auth_remote_t *auth = u->auth;
    x_client_auth_result_t &r = c->auth_result;
    const unsigned index = auth->base.index;
    if (u->conn_limit != 0 && u->ref_count >= u->conn_limit) {
        log_error("auth[%u] client [%.*s] conn %u limit %u\n", index, LOGKEY(uk->user_key),
                  u->ref_count, u->conn_limit);
        return X_ERROR_AUTH_CONN_LIMIT;
    }
    const char *fail = nullptr;
    if (!str_set(&r.token, &u->token))
        fail = "copy token";
    else if (!str_set(&r.user_key, &uk->user_key))
        fail = "copy user_key";
    else if (!str_set(&r.log_token, &uk->log_token))
        fail = "copy log_token";
    else if (!str_set(&r.flow_token, &uk->flow_token))
        fail = "copy flow_token";
    else if (uk->stats_token.len > 0 && !str_set(&r.stats_token, &uk->stats_token))
        fail = "copy stats_token";
    else if (uk->use_auth_forword &&
             !x_client_fill_forward(c, &uk->forward.host, uk->forward.port, uk->forward.proto,
                                    &uk->forward.username, &uk->forward.password))
        fail = "fill forward";
    else if (dictFind(uk->client_cache, id_key(c->session)) == nullptr &&
             dictAdd(uk->client_cache, id_key(c->session), nullptr) != DICT_OK)
        fail = "add client cache";
    if (fail != nullptr) {
        log_error("auth[%u] client [%.*s] fill auth result %s fail\n", index, LOGKEY(uk->user_key),
                  fail);
        // Without a user key the session is never verified nor released.
        ngx_str_free(&r.user_key);
        return X_ERROR_AUTH_SERVER;
    }
    u->ref_count++;
    r.holds_user = true;
    c->auth_request.request_id = 0;
    r.next_verify = u->next_verify;
    r.last_verify = x_time_ms();
    if (auth->conf->config.remote.use_virtual_ip) {
        r.virtual_ip = u->virtual_ips[u->user_level - 1].virtual_ip;
        r.bucket_up = r.bucket_down = nullptr;
    } else {
        r.virtual_ip = 0;
        r.bucket_up = u->bucket_up;
        r.bucket_down = auth->conf->config.remote.merge_rate_limit ? u->bucket_up : u->bucket_down;
    }
    return 0;
}

void x_auth_on_auth_resp_all_request(x_auth_request_t *req, uint32_t code, x_auth_user_t *u,
                                     x_auth_user_key_t *uk) {
    x_auth_remote_t *auth = req->auth;
    for_each_waiting(req, [&](x_client_t *c) {
        answer_auth(auth, c, code == 0 ? x_auth_fill_client_auth_result(u, uk, c) : code);
    });
    request_destroy(req);
}

void x_auth_on_verify_resp_all_request(x_auth_request_t *req, uint32_t code, x_auth_user_t *u) {
    x_auth_remote_t *auth = req->auth;
    for_each_waiting(req, [&](x_client_t *c) { verify_answer(auth, c, code, u); });
    request_destroy(req);
}

void x_auth_on_user_key_timeout(void *ctx, x_timer_event_t *ev) {
    auto *uk = static_cast<x_auth_user_key_t *>(ctx);
    if (uk->auth_time + uk->cache_expire_time <= x_time_ms() && dictSize(uk->client_cache) == 0) {
        user_key_destroy(uk);
        return;
    }
    x_timer_reg(&uk->auth->user_key_timer, ev);
}

void x_auth_remote_on_cache_timeout(void *ctx, x_timer_event_t *ev) {
    auto *u = static_cast<x_auth_user_t *>(ctx);
    if (u->auth_time + u->cache_expire_time <= x_time_ms() && u->ref_count == 0) {
        user_destroy(u);
        return;
    }
    x_timer_reg(&u->auth->cache_timer, ev);
}

void x_auth_on_error_timeout(void *ctx, x_timer_event_t *) {
    error_destroy(static_cast<x_user_error_t *>(ctx));
}
