// Remote authentication: a central service answers whether a client may use the proxy and,
// later, whether an authorised user is still valid. Main thread only.
//
// Questions are filed under an auth key built from the session (credentials and addresses);
// identical questions in flight share one request, answers are kept per key (user keys) and per
// token (users) for their cache time, refusals per key for error_timeout. Two connection pools
// carry the binary JSON messages: one for auth questions, one for verify questions.
//
// Sessions waiting on a request are kept by id only: an answer looks each one up in the main
// thread's session table, so a session that left meanwhile is skipped, never touched.
#pragma once

#include "auth/x_acl_match.h"
#include "auth/x_auth.h"
#include "config/x_server_config.h"
#include "core/buf.h"
#include "core/token_bucket.h"
#include "core/x_timer.h"
#include "proto/ngx_string.h"

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

struct dict;
struct x_conn_pool_t;
struct x_server_t;
struct x_client_t;

// Actions ("a") of the four messages.
constexpr int64_t X_AUTH_REMOTE_AUTH_REQ = 1;
constexpr int64_t X_AUTH_REMOTE_AUTH_RESP = 2;
constexpr int64_t X_AUTH_REMOTE_VERIFY_REQ = 3;
constexpr int64_t X_AUTH_REMOTE_VERIFY_RESP = 4;
// Request ids run from 1 to this value and then start again at 1.
constexpr uint32_t X_AUTH_REMOTE_REQUEST_ID_MAX = 2147483646;
// User levels 1 to 10; an answer naming a higher level is refused.
constexpr uint32_t X_AUTH_REMOTE_LEVELS = 10;
// Bounds on what one answer may carry: the service is a peer on the network.
constexpr size_t X_AUTH_REMOTE_TOKEN_MAX = 1024;       // "t", "lt", "ft", "st"
constexpr size_t X_AUTH_REMOTE_LIST_ITEMS_MAX = 65536; // items of "wl" or "bl"
// Expiry checks of user keys and users run this often.
constexpr uint64_t X_AUTH_REMOTE_CACHE_CHECK_MS = 10000;
// A cached answer expires this long after its own cache time plus cache_timeout.
constexpr uint64_t X_AUTH_REMOTE_EXPIRE_GRACE_MS = 20000;
// Past the cache time by less than this, a new question reports the list versions known.
constexpr uint64_t X_AUTH_REMOTE_VERSION_WINDOW_MS = 9999;

// Bandwidth per user level 0 to 10 in bytes per second (level 10: unlimited).
extern const uint32_t rate_limit_levels[X_AUTH_REMOTE_LEVELS + 1];

struct x_auth_remote_t;

// One question in flight (an auth or a verify request).
struct x_auth_request_t {
    x_auth_remote_t *auth;   // owner
    uint32_t type;           // 1 auth, 3 verify
    uint32_t port_id;        // listening port of the first session (its egress pool)
    dict *client_cache;      // session ids (in the keys) waiting for the answer
    ngx_str_t auth_key;      // owned: auth key (auth) or user token (verify)
    buf_t request_buf;       // the encoded message, kept for resending
    uint32_t request_id;     // its id
    uint32_t retry_count;    // sends so far, counted from 1 (UDP) or 3 (other transports)
    x_timer_event_t timeout; // entry in request_timer
    uint64_t start_time;     // monotonic ms of its creation
};

// Egress address a user holds at one level.
struct x_auth_virtual_addr_t {
    x_config_port_t *xport; // the port whose pool gave the address
    in_addr_t virtual_ip;   // network order, 0 when none
};

// One auth key that received a grant.
struct x_auth_user_key_t {
    x_auth_remote_t *auth;      // owner
    ngx_str_t user_key;         // owned: the auth key (also the table key)
    ngx_str_t token;            // owned: the user ("t") of the last answer
    ngx_str_t log_token;        // owned: "lt", else the flow token
    ngx_str_t flow_token;       // owned: "ft", else the token
    ngx_str_t stats_token;      // owned: "st", empty when never sent
    bool use_auth_forword;      // sessions of this key leave through `forward`
    x_forward_t forward;        // upstream from "f" (owned strings)
    dict *client_cache;         // session ids (in the keys) admitted through this key
    uint64_t auth_time;         // monotonic ms of the last answer for this key
    uint64_t cache_time;        // ms the answer is reused without asking ("ct" × 1000)
    uint64_t cache_expire_time; // ms after auth_time when the unused record goes
    x_timer_event_t timeout;    // entry in user_key_timer
};

// One user (token) with what all its sessions share.
struct x_auth_user_t {
    x_auth_remote_t *auth;                                   // owner
    x_auth_virtual_addr_t virtual_ips[X_AUTH_REMOTE_LEVELS]; // egress address per level - 1
    ngx_str_t token;                                         // owned: the table key
    uint32_t code;                                           // 0 after a grant
    uint32_t conn_limit;                                     // most sessions at once, 0 unlimited
    uint32_t user_level;                                     // 1 to 10
    uint32_t rate;               // the last "ra" applied (KiB/s), 0 when the level's rate
    token_bucket_t *bucket_up;   // owned: client -> destination, shared by the sessions
    token_bucket_t *bucket_down; // owned: destination -> client
    uint64_t next_verify;        // ms between verifies, 0 never
    uint32_t ref_count;          // sessions holding a reference
    uint32_t white_version;      // version of white_cache
    bool allow_all;              // everything not black-listed is allowed
    x_acl_cache_t *white_cache;  // owned or null: the user's white list
    uint32_t black_version;      // version of black_cache
    x_acl_cache_t *black_cache;  // owned or null: the user's black list
    uint64_t auth_time;          // monotonic ms of the last grant
    uint64_t verify_time;        // monotonic ms of the last confirmation
    uint64_t cache_time;         // ms ("ct" × 1000)
    uint64_t cache_expire_time;  // ms after auth_time when the unused record goes
    x_timer_event_t timeout;     // entry in cache_timer
};

// A remembered refusal of one auth key.
struct x_user_error_t {
    x_auth_remote_t *auth;   // owner
    ngx_str_t user_key;      // owned: the auth key (also the table key)
    uint32_t code;           // the service's refusal code
    x_timer_event_t timeout; // entry in error_timer
};

// Sends one encoded message on a pool; the test seam replaces x_conn_pool_send.
using x_auth_remote_send_fn = bool (*)(x_auth_remote_t *auth, x_conn_pool_t *pool,
                                       const uint8_t *data, size_t len);

struct x_auth_remote_t {
    x_auth_base_t base;              // type X_AUTH_TYPE_REMOTE
    x_config_auth_t *conf;           // the section
    x_conn_pool_t *auth_conn_pool;   // connections for auth questions
    x_conn_pool_t *verify_conn_pool; // connections for verify questions
    uint32_t request_id;             // the last id handed out
    dict *key_auth_request_cache;    // auth key -> id of the auth request in flight
    dict *key_verify_request_cache;  // token -> id of the verify request in flight
    dict *request_cache;             // id (in the key) -> x_auth_request_t (owned)
    dict *user_key_cache;            // auth key -> x_auth_user_key_t (owned)
    dict *user_cache;                // token -> x_auth_user_t (owned)
    dict *error_cache;               // auth key -> x_user_error_t (owned)
    x_timer_t request_timer;         // time-outs of requests in flight
    x_timer_t cache_timer;           // expiry checks of users
    x_timer_t error_timer;           // expiry of refusals
    x_timer_t user_key_timer;        // expiry checks of user keys
    uint64_t last_show_cache_time;   // monotonic ms of the last table-size line
    x_auth_remote_send_fn send;      // x_conn_pool_send unless a test replaced it
};

// ---- Backend ----

// A new backend with its callbacks; null on allocation failure.
x_auth_remote_t *x_auth_remote_create(x_server_t *server, uint32_t index);
bool x_auth_remote_do_load_config(x_auth_base_t *auth, x_config_auth_t *conf);
// Creates both pools, the tables and the timers; false stops the start.
bool x_auth_remote_do_init(x_auth_base_t *auth);
void x_auth_remote_do_check(x_auth_base_t *auth);
void x_auth_remote_do_free(x_auth_base_t *auth);
void x_auth_remote_do_auth(x_auth_base_t *auth, x_client_t *client);
void x_auth_remote_do_acl(x_auth_base_t *auth, x_client_t *client);
void x_auth_remote_do_verify(x_auth_base_t *auth, x_client_t *client);
void x_auth_remote_do_client_close(x_auth_base_t *auth, x_client_t *client);

// Pool data callbacks: one whole message each (an empty one is a keep-alive). False only when
// the message is not a binary JSON object at all, which makes the pool drop that connection.
bool x_auth_remote_do_recv_auth_msg(void *auth, const uint8_t *data, size_t len);
bool x_auth_remote_do_recv_verify_msg(void *auth, const uint8_t *data, size_t len);

// ---- The auth key ----

// Outcome of building a session's key.
enum class x_auth_key_result { key, refuse, fail };
// Builds the key the session's question is filed under (owned, into `key`): refuse means no
// key may be built (answer 407), fail an allocation failure.
x_auth_key_result x_auth_remote_build_key(const x_auth_remote_t *auth, const x_client_t *client,
                                          ngx_str_t *key);

// ---- Messages ----

// Appends the auth request of `client` with the given id to `buf`; false (after its line) when
// memory runs out.
[[nodiscard]] bool x_auth_remote_encode_auth_request(const x_auth_remote_t *auth,
                                                     const x_client_t *client, uint32_t id,
                                                     buf_t *buf);
// Appends a verify request for `token`.
[[nodiscard]] bool x_auth_remote_encode_verify_request(uint32_t id, const ngx_str_t *token,
                                                       buf_t *buf);

// Keys of an auth answer that were read (bits of x_auth_answer_t.present).
enum : uint32_t {
    X_ANS_I = 1u << 0,
    X_ANS_A = 1u << 1,
    X_ANS_C = 1u << 2,
    X_ANS_T = 1u << 3,
    X_ANS_LT = 1u << 4,
    X_ANS_FT = 1u << 5,
    X_ANS_ST = 1u << 6,
    X_ANS_R = 1u << 7,
    X_ANS_RA = 1u << 8,
    X_ANS_CL = 1u << 9,
    X_ANS_CT = 1u << 10,
    X_ANS_F = 1u << 11,
    X_ANS_W = 1u << 12,
    X_ANS_AL = 1u << 13,
    X_ANS_WL = 1u << 14,
    X_ANS_B = 1u << 15,
    X_ANS_BL = 1u << 16,
    X_ANS_V = 1u << 17,
    X_ANS_VU = 1u << 18,
};

// Upstream named by "f"; strings point into the message.
struct x_auth_answer_forward_t {
    ngx_str_t host;     // "h"
    int64_t port;       // "dp"
    ngx_str_t username; // "u"
    ngx_str_t password; // "p"
    int64_t proto;      // "o"
};

// One auth or verify answer as read; strings point into the message, lists are owned.
struct x_auth_answer_t {
    uint32_t present; // X_ANS_* of the keys read
    bool complete;    // every member was read: false means the reader stopped early
    int64_t i, a, c, r, ra, cl, ct, w, b, v, vu; // integer members
    bool al;                                     // "al"
    ngx_str_t t, lt, ft, st;                     // string members
    x_auth_answer_forward_t f;                   // "f"
    x_acl_cache_t *white_list;                   // "wl" items, null when absent
    x_acl_cache_t *black_list;                   // "bl" items, null when absent
};

// Outcome of reading a message.
enum class x_answer_read { not_object, partial, complete };
// Reads an auth answer (verify false) or a verify answer (verify true) into a zeroed `ans`.
// not_object: the message is no binary JSON object; partial: the reader stopped early on a
// member (what was read before stays in `ans`). Release with x_auth_answer_free in every case.
x_answer_read x_auth_remote_read_answer(const uint8_t *data, size_t len, bool verify,
                                        x_auth_answer_t *ans);
void x_auth_answer_free(x_auth_answer_t *ans);

// The verify interval of "v" and "vu" in ms: seconds when "vu" is 1, else minutes; a non-zero
// interval below 10000 ms becomes 10000; a negative "v" counts as 0.
uint64_t x_auth_remote_verify_interval(int64_t v, int64_t vu);

// ---- Requests and results ----

// Sends a verify request for the session; false when none could be sent.
bool x_auth_remote_send_verify_request(x_auth_remote_t *auth, x_client_t *client,
                                       x_auth_user_t *user);
// Time-out callback of a request (resend, or answer with the outcome).
void x_auth_remote_on_request_timeout(void *request, x_timer_event_t *ev);
// Fills one session from the records: 0, 644 (connection limit) or 640. A session filled with
// 0 holds a reference on the user and is listed in the key's client_cache.
uint32_t x_auth_fill_client_auth_result(x_auth_user_t *user, x_auth_user_key_t *user_key,
                                        x_client_t *client);
// Answers every session waiting on an auth request (user and user_key set on success) and
// destroys the request.
void x_auth_on_auth_resp_all_request(x_auth_request_t *request, uint32_t code, x_auth_user_t *user,
                                     x_auth_user_key_t *user_key);
// Answers every session waiting on a verify request and destroys the request.
void x_auth_on_verify_resp_all_request(x_auth_request_t *request, uint32_t code,
                                       x_auth_user_t *user);

// Timer callbacks.
void x_auth_on_user_key_timeout(void *user_key, x_timer_event_t *ev);
void x_auth_remote_on_cache_timeout(void *user, x_timer_event_t *ev);
void x_auth_on_error_timeout(void *error, x_timer_event_t *ev);
