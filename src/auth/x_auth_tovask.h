// Signed-token authentication: the user name carries the upstream itself (agent user, agent
// password, host and port, joined by "-") and the password is its signature under the section's
// salt. Admitted sessions leave through the agent channel to that host and port. The backend
// keeps no users, counters or buckets: only the shared white and black lists. Main thread.
#pragma once

#include "auth/x_auth.h"
#include "proto/ngx_string.h"

#include <cstdint>

struct x_server_t;
struct x_config_auth_t;

// Shortest user name looked at ("u-p-h-1" has seven characters).
constexpr size_t X_TOVASK_NAME_MIN = 7;

struct x_auth_tovask_t {
    x_auth_base_t base;    // type X_AUTH_TYPE_TOVASK
    x_config_auth_t *conf; // the section: its signing salt
};

// The parts of a token user name, split from its end at "-"; each points into the name.
struct x_tovask_name_t {
    ngx_str_t user;     // everything before the third "-" from the end (may hold "-")
    ngx_str_t password; // between the third and second "-" from the end
    ngx_str_t host;     // between the last two "-"
    uint16_t port;      // after the last "-"
};

// A new backend with its callbacks; null on allocation failure.
x_auth_tovask_t *x_auth_tovask_create(x_server_t *server, uint32_t index);

// Backend callbacks.
bool x_auth_tovask_do_load_config(x_auth_base_t *auth, x_config_auth_t *conf);
void x_auth_tovask_do_auth(x_auth_base_t *auth, x_client_t *client);
void x_auth_tovask_do_acl(x_auth_base_t *auth, x_client_t *client);
void x_auth_tovask_do_check(x_auth_base_t *auth);
void x_auth_tovask_do_free(x_auth_base_t *auth);

// Splits a token user name; false unless all four parts are non-empty and the port is a number
// from 1 to 65535. An empty part would leave a forward without host or credentials.
[[nodiscard]] bool x_auth_tovask_parse_name(const ngx_str_t *name, x_tovask_name_t *out);
