// Local user authentication: a fixed table of user names and passwords from the configuration,
// a pair of bandwidth buckets per user shared by all of that user's sessions, and a source-address
// white list that lets clients without credentials in. Main thread only.
#pragma once

#include "auth/x_auth.h"
#include "core/token_bucket.h"
#include "proto/ngx_string.h"

#include <cstdint>
#include <ctime>
#include <netinet/in.h>

struct dict;
struct x_server_t;
struct x_config_auth_t;

// Longest white-list entry taken (an IPv4 address needs at most 15).
constexpr size_t X_AUTH_LOCAL_WHITELIST_ENTRY_MAX = 31;

// One user with its buckets; sessions point at the buckets, which live as long as the backend.
struct x_auth_user_info_t {
    ngx_str_t uname;            // owned user name
    ngx_str_t passwd;           // owned password
    token_bucket_t bucket_up;   // client -> destination bytes
    token_bucket_t bucket_down; // destination -> client bytes
};

struct x_auth_local_t {
    x_auth_base_t base;                       // type X_AUTH_TYPE_LOCAL
    x_config_auth_t *conf;                    // the section (kept, not copied)
    dict *user_db;                            // user name (case-sensitive) -> x_auth_user_info_t
    dict *whitelist_cache;                    // IPv4 (network order, in the key) -> 1; null
                                              // until a white-list file was loaded
    x_auth_user_info_t whitelist_user;        // buckets of every white-listed client
    uint64_t last_whitelist_file_check_time;  // monotonic ms of the last look at the file
    time_t last_whitelist_file_modified_time; // its modification time at the last load
};

// A new backend with its callbacks and an empty user table; null on allocation failure.
x_auth_local_t *x_auth_local_create(x_server_t *server, uint32_t index);

// Backend callbacks.
bool x_auth_local_do_load_config(x_auth_base_t *auth, x_config_auth_t *conf);
void x_auth_local_do_auth(x_auth_base_t *auth, x_client_t *client);
void x_auth_local_do_acl(x_auth_base_t *auth, x_client_t *client);
void x_auth_local_do_check(x_auth_base_t *auth);
void x_auth_local_do_free(x_auth_base_t *auth);

// Replaces the white-list address table with the content of `file`: one dotted IPv4 address a
// line, blank lines skipped. Any malformed, overlong or repeated entry fails the load and keeps
// the previous table.
[[nodiscard]] bool x_auth_local_load_whitelist(x_auth_local_t *local, const char *file);
