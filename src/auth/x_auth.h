// Authentication framework: the backend head every backend begins with, the records a session
// carries to and from its backend, and the exchange of questions between a session's owning
// thread and the main thread, where every backend and its caches live.
//
// Three questions travel as session ids over the message rings: auth (may this client use the
// proxy), ACL (may it reach this destination) and verify (is its authorisation still valid). The
// owner fills auth_request and leaves the authentication fields alone until the answer; the main
// thread reads the request and writes auth_result only between receiving the request and
// sending the answer.
#pragma once

#include "auth/x_acl_match.h"
#include "proto/ngx_string.h"

#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>

struct x_client_t;
struct x_server_t;
struct work_thread_t;
struct token_bucket_t;
struct x_config_auth_t;
struct x_config_server_t;

// Filled by the owning thread before a question; read by the main thread.
struct x_client_auth_request_t {
    uint32_t port_id;       // port_id of the listening port the client came in on
    ngx_str_t username;     // owned: user name offered, empty when none
    ngx_str_t password;     // owned: password offered, empty when none
    uint32_t white_version; // white-list version the next remote request reports
    uint32_t black_version; // black-list version likewise
    uint32_t request_id;    // remote request this client waits on, 0 when none
    uint32_t from_ipc_id;   // index of the asking thread: the answer goes back there
    void (*auth_callback)(x_client_t *client);               // continuation after an auth answer
    void (*acl_callback)(x_client_t *client, uint32_t code); // continuation after an ACL answer
    bool verify_pending;   // owner only: a verify request is out, no second one is sent
    bool question_pending; // owner only: an auth or ACL question is out
};

// While a question is out the main thread may be writing auth_result: the owner must not read it.
inline bool x_auth_question_out(const x_client_auth_request_t &r) {
    return r.question_pending || r.verify_pending;
}

// Written by the main thread while answering; read by the owner after the answer arrives.
struct x_client_auth_result_t {
    uint32_t code;               // 0 success, else the failure code; ACL: 0 allowed, 1 blocked
    in_addr_t virtual_ip;        // egress source address (network order), 0 when none
    uint64_t last_verify;        // monotonic ms: when the authorisation was last confirmed
    uint64_t next_verify;        // ms after last_verify when to verify again, 0 never
    ngx_str_t token;             // owned: the user's token
    ngx_str_t user_key;          // owned: the backend's key of the user record
    ngx_str_t log_token;         // owned: name in access reports
    ngx_str_t flow_token;        // owned: name in charged flows
    ngx_str_t stats_token;       // owned: name in statistics flows
    token_bucket_t *bucket_up;   // client -> destination bucket (backend's), null for none
    token_bucket_t *bucket_down; // destination -> client bucket (may equal bucket_up)
    bool holds_user;             // main thread only: the session counts in its remote user's
                                 // ref_count and must give that reference back once
};

// Failure code of the credential and source-address checks.
constexpr uint32_t X_AUTH_CODE_REFUSED = 407;
// ACL answers.
constexpr uint32_t X_ACL_ALLOW = 0;
constexpr uint32_t X_ACL_BLOCK = 1;
// How often the white-list and black-list files are examined.
constexpr uint64_t X_AUTH_ACL_FILE_CHECK_MS = 60000;

// The common head of every backend; a backend record begins with it as its member `base`.
struct x_auth_base_t {
    x_server_t *server;                   // the owning server
    uint32_t index;                       // section index, the auth_index that selects it
    uint16_t type;                        // X_AUTH_TYPE_* of the configuration
    bool need_start;                      // some port uses it: init, check and auth happen
    x_acl_cache_t white_cache;            // destinations always allowed (white_list_file)
    uint64_t last_white_file_check_time;  // monotonic ms of the last look at the file, 0 never
    time_t last_white_file_modified_time; // its modification time at the last load
    x_acl_cache_t black_cache;            // destinations blocked (black_list_file)
    uint64_t last_black_file_check_time;  // as above, for the black-list file
    time_t last_black_file_modified_time; // as above
    bool (*do_load_config)(x_auth_base_t *auth, x_config_auth_t *conf); // reads the section
    bool (*do_init)(x_auth_base_t *auth);  // starts connections once the channel exists
    void (*do_check)(x_auth_base_t *auth); // every pass of the main loop
    void (*do_free)(x_auth_base_t *auth);  // releases the backend and the record
    void (*do_auth)(x_auth_base_t *auth, x_client_t *client);         // answers an auth request
    void (*do_acl)(x_auth_base_t *auth, x_client_t *client);          // answers an ACL request
    void (*do_verify)(x_auth_base_t *auth, x_client_t *client);       // answers a verify request
    void (*do_client_close)(x_auth_base_t *auth, x_client_t *client); // a session of it closed
};

// ---- Owner side (the thread that owns the session) ----

// Asks the main thread to authenticate the session; nothing happens for a port without
// authentication (auth_index -1): handlers skip the question themselves. A message that cannot
// be queued closes the session.
void x_auth_start_auth(x_server_t *server, x_client_t *client, void (*callback)(x_client_t *));
// Asks whether the session's destination (its acl_match) is allowed; callback(client, 0) allows,
// 1 blocks. The target is first brought to canonical form (a malformed one is blocked at once);
// a port without authentication allows at once; otherwise an address literal in the proxy
// host's own networks is blocked unless allow_local_ip is set (the backend is still asked when
// it is), and a private IPv4 address is decided by allow_internal_ip without asking.
void x_auth_start_acl(x_server_t *server, x_client_t *client,
                      void (*callback)(x_client_t *, uint32_t));
// Whether the session may connect to the address its target resolved to, checked right before
// the connect: on a port with authentication the host's own networks need allow_local_ip and
// private IPv4 ranges need allow_internal_ip, as the same address written as a literal would.
// Ports without authentication reach everything. Not for an upstream's own address.
[[nodiscard]] bool x_auth_resolved_allowed(const x_client_t *client,
                                           const struct sockaddr_storage *addr);
// Asks the backend to confirm the session again; only for sessions with a user_key, and never
// while an earlier verify is unanswered.
void x_auth_start_verify(x_server_t *server, x_client_t *client);
// The verify tick: starts a verify when next_verify has passed since last_verify (now in
// monotonic ms) and none is outstanding.
void x_auth_verify_tick(x_client_t *client, uint64_t now);

// ---- Owner side, on receipt of an answer (message dispatcher) ----

void x_auth_on_ipc_auth_resp(work_thread_t *thread, uint32_t client_session);
void x_auth_on_ipc_acl_resp(work_thread_t *thread, uint32_t client_session);
void x_auth_on_ipc_verify_resp(work_thread_t *thread, uint32_t client_session);

// ---- Main thread ----

// Answers: send the session id back to the asking thread (only logged when that fails).
void x_auth_finish_auth(x_server_t *server, uint32_t to_ipc_id, uint32_t client_session);
void x_auth_finish_acl(x_server_t *server, uint32_t to_ipc_id, uint32_t client_session);
void x_auth_finish_verify(x_server_t *server, uint32_t to_ipc_id, uint32_t client_session);
// Routes a request message (X_IPC_AUTH_REQ, X_IPC_ACL_REQ, X_IPC_VERIFY_REQ) to the backend of
// the session's port.
void x_auth_on_ipc_request(work_thread_t *main_thread, uint32_t type, uint32_t client_session);
// A session closed: tells the backend that authenticated it.
void x_auth_on_client_close(x_server_t *server, x_client_t *client);

// The shared ACL rule: blocked (1) only when the destination is not in the white list and is in
// the black list.
uint32_t x_auth_acl_code(const x_auth_base_t *auth, const x_acl_match_t *match);
// do_acl of the backends that use only the shared rule: fills the code and answers.
void x_auth_do_acl_common(x_auth_base_t *auth, x_client_t *client);
// Reloads the white-list and black-list caches when their files changed (looked at once a
// minute); the shared part of every backend's do_check.
void x_auth_acl_file_check(x_auth_base_t *auth);
// Loads the configured white and black list files once into scratch caches and releases them:
// the configuration check of the command line. False, with the line, when one does not load.
[[nodiscard]] bool x_auth_check_list_files(const x_config_server_t *config);
// The same for the files the created backends read later on their own (forward resources).
[[nodiscard]] bool x_auth_check_backend_files(x_server_t *server);
// Fills the head of a new backend.
void x_auth_base_init(x_auth_base_t *auth, x_server_t *server, uint32_t index, uint16_t type);
// Releases the head's caches (not the record).
void x_auth_base_free(x_auth_base_t *auth);

// Start and stop, called by the server: one backend per configured section (an unknown type or
// a failed do_load_config fails), do_init of the started ones once the channel exists, do_check
// every main-loop pass, do_free at the end.
[[nodiscard]] bool x_auth_create_backends(x_server_t *server);
[[nodiscard]] bool x_auth_init_backends(x_server_t *server);
void x_auth_check_backends(x_server_t *server);
void x_auth_free_backends(x_server_t *server);
