// Authentication framework: what a session carries to and from its backend.
#pragma once

#include "proto/ngx_string.h"

#include <cstdint>
#include <netinet/in.h>

struct x_client_t;
struct token_bucket_t;

// Filled by the owning thread before a question; read by the main thread.
struct x_client_auth_request_t {
    uint32_t port_id;                // port_id of the listening port the client came in on
    ngx_str_t username;              // owned: user name offered, empty when none
    ngx_str_t password;              // owned: password offered, empty when none
    uint32_t white_version;          // white-list version the next remote request reports
    uint32_t black_version;          // black-list version likewise
    uint32_t request_id;             // remote request this client waits on, 0 when none
    uint32_t from_ipc_id;            // index of the asking thread: the answer goes back there
    void (*auth_callback)(x_client_t *client);                 // continuation after an auth answer
    void (*acl_callback)(x_client_t *client, uint32_t code);  // continuation after an ACL answer
};

// Written by the main thread while answering; read by the owner after the answer arrives.
struct x_client_auth_result_t {
    uint32_t code;               // 0 success, else the failure code; ACL: 0 allowed, 1 blocked
    in_addr_t virtual_ip;        // egress source address (network order), 0 when none
    uint64_t last_verify;        // ms: when the authorisation was last confirmed
    uint64_t next_verify;        // ms after last_verify when to verify again, 0 never
    ngx_str_t token;             // owned: the user's token
    ngx_str_t user_key;          // owned: the backend's key of the user record
    ngx_str_t log_token;         // owned: name in access reports
    ngx_str_t flow_token;        // owned: name in charged flows
    ngx_str_t stats_token;       // owned: name in statistics flows
    token_bucket_t *bucket_up;   // client -> destination bucket (backend's), null for none
    token_bucket_t *bucket_down; // destination -> client bucket (may equal bucket_up)
};

struct x_server_t;

// Owner side. Asks the main thread to authenticate the session; nothing happens for a port
// without authentication (auth_index -1): handlers skip the question themselves.
void x_auth_start_auth(x_server_t *server, x_client_t *client, void (*callback)(x_client_t *));
// Asks whether the session's destination (its acl_match) is allowed; callback(client, 0) allows,
// 1 blocks. A port without authentication allows at once.
void x_auth_start_acl(x_server_t *server, x_client_t *client,
                      void (*callback)(x_client_t *, uint32_t));
