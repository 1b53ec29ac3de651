// Forward authentication: resellers' customers whose credentials name the upstream proxy their
// traffic must leave through. Each session gets a forward record of its own.
//
// Three schemes, chosen by the section's `resource`:
//   1 kestrum:   the password is the signature of an upstream host listed in the resource file
//                (one forward URL a line); the user name is forward-user_upstream-user.
//   0 zembo:     the user name is account_country_region_city_tail; the resource file's region
//                tree rewrites the place names into the user name sent to the account's upstream.
//   2 user name: account_host_port names the upstream itself (the port's forward gives its kind).
// Before any scheme, a client whose address the country database places in a denied country is
// refused. The resource file is re-read when it changes (looked at once a minute). Main thread.
#pragma once

#include "auth/x_auth.h"
#include "config/x_server_config.h"
#include "core/token_bucket.h"
#include "proto/ngx_string.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

struct dict;
struct x_server_t;
struct ip2location_t;

// Resource schemes (x_config_auth_forward_t.resource).
constexpr uint32_t X_RESOURCE_ZEMBO = 0;
constexpr uint32_t X_RESOURCE_KESTRUM = 1;
constexpr uint32_t X_RESOURCE_USERNAME = 2;

// A signature: MD5 as upper-case hexadecimal digits.
constexpr size_t X_AUTH_SIGN_LEN = 32;
// The signing buffer: salt and text together must leave room for a terminating NUL in it.
constexpr size_t X_AUTH_SIGN_BUF = 1024;
// Longest line of a resource file.
constexpr size_t X_RESOURCE_LINE_MAX = 1023;
// Longest name or replacement of a zembo rule.
constexpr size_t X_REGION_NAME_MAX = 261;
// Longest upstream user name a zembo session may send (one RFC 1929 length byte).
constexpr size_t X_ZEMBO_UPSTREAM_USER_MAX = 255;
// Most denied countries.
constexpr size_t X_DENY_COUNTRY_MAX = 64;
// How often the resource file is examined.
constexpr uint64_t X_RESOURCE_FILE_CHECK_MS = 60000;

// One configured forward user.
struct x_auth_forward_user_t {
    ngx_str_t username;         // owned: the account name
    ngx_str_t password;         // owned: its password (zembo checks it)
    x_forward_t *forward;       // its upstream (the configuration's)
    uint32_t rate_limit;        // bytes/s of each bucket, 0 unlimited
    dict *client_cache;         // session ids admitted and not yet closed
    uint32_t conn_limit;        // most sessions at once; 0 admits none
    token_bucket_t bucket_up;   // client -> destination bytes of all its sessions
    token_bucket_t bucket_down; // destination -> client bytes
};

// One line of a kestrum resource file.
struct x_forward_sign_t {
    ngx_str_t sign;  // owned: signature of the upstream host (the table key)
    x_forward_t xfw; // the upstream parsed from the line (owned strings)
};

// One node of the zembo region tree.
struct x_region_t {
    ngx_str_t match;   // owned: the name looked for (the table key)
    ngx_str_t replace; // owned: the name put in its place
    dict *cache;       // the next level: name -> x_region_t
};

struct x_auth_forward_t {
    x_auth_base_t base;                      // type X_AUTH_TYPE_FORWARD
    x_config_auth_t *conf;                   // the section (kept, not copied)
    ip2location_t *IP2LocationObj;           // country database, null when none
    dict *user_db;                           // account name -> x_auth_forward_user_t (owned)
    dict *resource_cache;                    // signatures or region tree; null until loaded
    uint64_t last_resource_file_check_time;  // monotonic ms of the last look at the file
    time_t last_resource_file_modified_time; // its modification time at the last load
    char deny[X_DENY_COUNTRY_MAX][2];        // denied country codes
    size_t deny_num;                         // entries of deny
};

// A new backend with its callbacks and an empty user table; null on allocation failure.
x_auth_forward_t *x_auth_forward_create(x_server_t *server, uint32_t index);

// Backend callbacks.
bool x_auth_forward_do_load_config(x_auth_base_t *auth, x_config_auth_t *conf);
void x_auth_forward_do_auth(x_auth_base_t *auth, x_client_t *client);
void x_auth_forward_do_acl(x_auth_base_t *auth, x_client_t *client);
void x_auth_forward_do_check(x_auth_base_t *auth);
void x_auth_forward_do_client_close(x_auth_base_t *auth, x_client_t *client);
void x_auth_forward_do_free(x_auth_base_t *auth);

// Replaces the resource table with the content of the section's resource file, by scheme. Any
// failure keeps the previous table.
[[nodiscard]] bool x_auth_forward_load_resource_kestrum(x_auth_forward_t *fwd);
[[nodiscard]] bool x_auth_forward_load_resource_zembo(x_auth_forward_t *fwd);
// The configuration check: loads the section's resource file once (when its scheme reads one);
// false, with the line, when it does not load.
[[nodiscard]] bool x_auth_forward_check_resource(x_auth_base_t *auth);

// `dst` (pointing into src) becomes src up to its first "_", or all of src without one.
void x_auth_forward_get_section(const uint8_t *src, size_t src_len, ngx_str_t *dst);

// The parts of the user names of each scheme; every part points into the user name.
struct x_kestrum_name_t {
    ngx_str_t user;          // the forward user: before the last "_" (empty without one)
    ngx_str_t upstream_user; // after the last "_" (empty without one)
};
struct x_zembo_name_t {
    ngx_str_t account; // up to the first "_"
    ngx_str_t country; // the next three sections
    ngx_str_t region;
    ngx_str_t city;
    ngx_str_t tail; // the rest after the city's "_"
};
struct x_forward_name_t {
    ngx_str_t account; // before the second "_" from the end (may hold "_" itself)
    ngx_str_t host;    // between the last two "_"
    uint16_t port;     // after the last "_"
};
// kestrum: false for a name ending in "_".
[[nodiscard]] bool x_auth_parse_kestrum_name(const ngx_str_t *name, x_kestrum_name_t *out);
// zembo: false unless the name holds more than five "_".
[[nodiscard]] bool x_auth_parse_zembo_name(const ngx_str_t *name, x_zembo_name_t *out);
// The user-name scheme: false unless the name ends in two non-empty "_"-led sections, the last
// a port number.
[[nodiscard]] bool x_auth_parse_forward_name(const ngx_str_t *name, x_forward_name_t *out);
// A port section: decimal digits only, 1 to 65535.
[[nodiscard]] bool x_auth_parse_port(const ngx_str_t *text, uint16_t *port);

// The signature of `text` under `salt`: MD5 of salt followed by text, as X_AUTH_SIGN_LEN
// upper-case hexadecimal digits and a NUL. False when both together do not fit the signing
// buffer (never cut and signed) or the digest fails.
[[nodiscard]] bool x_auth_sign(const ngx_str_t *salt, const uint8_t *text, size_t len,
                               char out[X_AUTH_SIGN_LEN + 1]);
// Equality of a presented password with a signature, in time independent of where they differ.
bool x_auth_sign_equals(const char sign[X_AUTH_SIGN_LEN], const ngx_str_t *password);
// A user name that may appear in logs and flows: no byte below 0x20 and no 0x7F.
bool x_auth_name_printable(const ngx_str_t *name);
