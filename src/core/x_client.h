// The client session: one proxied connection from accept to the last byte relayed, its relay,
// its error line, and the deferred close-and-free sequence.
//
// A session is owned by one thread. Closing queues it on the owner's close list (a non-null
// `next` marks it closing, and every event for it is ignored from then on); at the end of the
// pass a close message carries it to the main thread, which frees it.
#pragma once

#include "auth/x_acl_match.h"
#include "auth/x_auth.h"
#include "core/buf.h"
#include "core/epoll.h"
#include "core/x_error.h"
#include "core/work_thread.h"
#include "core/x_timer.h"
#include "config/x_server_config.h"
#include "proto/http_ctx.h"
#include "proto/ngx_string.h"

#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

struct x_server_t;
struct work_thread_t;
struct x_dns_query_t;
struct token_bucket_t;
struct dict;

// Protocol numbers of listen_proto and of a forward's proto.
constexpr uint8_t X_PROTO_AUTO = 0;
constexpr uint8_t X_PROTO_HTTP = 1;
constexpr uint8_t X_PROTO_SOCKS5 = 2;
constexpr uint8_t X_PROTO_TOVASK = 3;
// Printable name of a protocol number; "unknown" for numbers outside the table.
const char *proto_name(unsigned proto);

// One relay direction: `up` moves client -> destination, `down` destination -> client.
struct x_client_relay_t {
    event_data_t *ev_data_in;  // registration of the socket read from
    event_data_t *ev_data_out; // registration of the socket written to
    buf_t buf;                 // bytes read and not yet written: no storage while empty
    uint32_t sum;              // bytes written since the last flow sample
    uint32_t mss;              // one segment of the output socket, at most 1500
    token_bucket_t *bucket;    // the user's bucket for this direction, null for none
    event_data_t timer_fd;     // pause timer descriptor's registration, fd 0 until needed
    bool streaming;            // the last read was large: the next one is spliced, not copied
};

struct x_client_t {
    x_client_t *next;         // null while live; closing: close/free list link (last: 1)
    x_server_t *server;       // back pointer
    work_thread_t *thread;    // owning thread (the main thread until hand-off)
    x_dns_query_t *dns_query; // outstanding resolver query
    uint32_t session;         // session identifier, 0 until hand-off
    x_client_auth_request_t auth_request; // credentials and continuations for the main thread
    x_client_auth_result_t auth_result;   // the main thread's answer
    struct sockaddr_in addr;              // the client's address as accepted
    event_data_t connect_ev_data;         // the client connection
    struct sockaddr_in localaddr;         // local address of the client connection (after NAT)
    struct sockaddr_in dst_addr;          // destination or upstream proxy address
    event_data_t tcp_dst_ev_data;         // the destination connection
    struct sockaddr_in udp_src_addr;      // UDP association: client side
    struct sockaddr_in udp_dst_addr;      // UDP association: destination side
    event_data_t udp_src_ev_data;         // UDP association sockets
    event_data_t udp_dst_ev_data;
    struct sockaddr_in peer_addr; // real local address of the client connection (before NAT)
    struct sockaddr_storage dst_addr_ipv6; // destination when IPv6
    struct sockaddr_in6 udp_dst_addr_ipv6; // IPv6 forms for the UDP association
    struct sockaddr_in6 peer_addr_ipv6;
    x_timer_event_t tcp_conn_timeout; // waiting for client data or handshake (conn_timer)
    x_timer_event_t tcp_dst_timeout;  // connecting outwards (dst_timer)
    x_timer_event_t flow_timeout;     // periodic flow samples (flow_timer)
    x_timer_event_t reply_timeout;    // idle check (reply_timer)
    x_timer_event_t verify_timeout;   // re-verification (verify_timer)
    uint64_t last_reply_time;         // monotonic ms of the last relay activity
    uint64_t conn_start_time;         // monotonic ms when the destination connect began
    x_client_relay_t up;              // client -> destination
    x_client_relay_t down;            // destination -> client
    http_ctx_t http_ctx;              // HTTP request parse state and its forwarded segments
                                      // (points into up.buf, owns no storage)
    http_ctx_t http_resp_ctx;         // HTTP upstream answer parse state (points into down.buf)
    x_acl_match_t acl_match;          // destination being requested
    uint16_t s5_udp_header_len;       // SOCKS5 UDP header length of the association
    int8_t s5_auth_state;             // SOCKS5 negotiation state
    bool is_showreport;               // an access line was sent: no close-reason line
    bool is_monitor;                  // accepted on a health port
    int8_t auth_index;                // authentication backend of the port, -1 for none
    uint8_t retry;                    // an upstream connect was retried once
    bool is_auth_forward;             // `forward` belongs to this session
    x_forward_t *forward;             // upstream to use, or null
    uint16_t needrecv;                // bytes the SOCKS5 parser still expects
    uint16_t error_code;              // last error code recorded
    bool is_ipv6;                     // the destination is IPv6
    bool tun_ready;                   // UDP-over-TCP tunnel readiness
    uint8_t listen_proto;             // protocol recognised (X_PROTO_*)
    bool is_ctrl_ready;               // agent-forwarding control readiness
    uint8_t code_key;                 // non-zero: relayed bytes are transformed with this key
    uint8_t model;                    // 1 TCP client, 2 client of a UDP association
    uint32_t idle_timeout;            // idle limit in ms
    bool dst_connecting;              // the destination connect is in progress: its errors go
                                      // to the connect handler, not to the generic close
};

// TCP relay. Each read takes up to relay_buffer bytes (less when the user's bucket allows less)
// and writes them out at once, spliced through the owning thread's pipe (no copy) while the
// direction streams, or copied through its scratch buffer after a small read, when reads are one
// segment, when the stream is transformed or when no pipe can be made. The pipe is empty again when
// the write returns: only what the output does not take stays with the direction, in a buffer made
// for it and freed once written, so a session that moves nothing holds no buffer and no descriptor
// beyond its two sockets.
//
// Prepares both directions once the destination is connected: segment sizes, the user's buckets,
// handshake buffers given back unless they hold early data. The caller then registers both
// sockets for reading with on_tcp_relay.
void x_client_relay_prepare(x_client_t *client);
// Moves bytes the buffers already hold (early data read along with a request) once both sockets
// are registered; false when the session must close.
[[nodiscard]] bool x_client_relay_kick(x_client_t *client);
// Event handler of both relayed sockets.
void on_tcp_relay(x_server_t *server, event_data_t *ev, uint32_t events);
// Moves bytes of one direction; false means the session must close.
[[nodiscard]] bool tcp_relay(x_client_t *client, x_client_relay_t *relay);
// Results of tcp_relay_out.
constexpr int RELAY_OUT_DONE = 1;  // everything buffered was written
constexpr int RELAY_OUT_WAIT = 2;  // bytes remain; waiting for writability
constexpr int RELAY_OUT_ERROR = 3; // the session must close
int tcp_relay_out(x_client_t *client, x_client_relay_t *relay);
// Handler of a direction's pause timer.
void relay_bucket_acquire(x_server_t *server, event_data_t *ev, uint32_t events);
// Parks the client registration while the session waits (authentication, ACL, resolution,
// connect): no read interest, so bytes the client already sent stay in the socket for the next
// step; a hang-up still ends the session through stop_relay_cb. A failure closes the session.
void x_client_park(x_client_t *client);
// Handler parked on a client registration that must not be readable now: closes with 615.
void stop_relay_cb(x_server_t *server, event_data_t *ev, uint32_t events);

// The "closing" mark: a session whose `next` is set is queued for freeing.
inline bool x_client_is_closing(const x_client_t *c) {
    return c->next != nullptr;
}

x_client_t *x_client_new(x_server_t *server);
// A fresh identifier for thread `index` that `table` does not hold (and is not 0); 0 after
// five collisions.
uint32_t x_client_get_session(dict *table, uint32_t index);
inline uint32_t x_client_get_index_by_session(uint32_t session) {
    return session >> 28;
}

// Records `code` and writes the session's error line.
void x_client_log_error(x_client_t *client, uint16_t code, const char *msg);
// Installs a forward owned by the session; false (session unchanged) on failure.
[[nodiscard]] bool x_client_fill_forward(x_client_t *client, const ngx_str_t *host, uint16_t port,
                                         uint8_t proto, const ngx_str_t *username,
                                         const ngx_str_t *password);
// Frees the session's owned authentication strings and its own forward.
void x_client_reset_auth(x_client_t *client);

// Timer callbacks armed once the relay runs.
void x_client_flow_timeout(void *ctx, x_timer_event_t *ev);
void x_client_replay_timeout(void *ctx, x_timer_event_t *ev);
void x_client_verify_timeout(void *ctx, x_timer_event_t *ev);
// Arms the flow, idle and (when the result asks for it) verify timers on the owner's lists.
void x_client_start_session_timers(x_client_t *client);

// Owner only: stops timers, closes descriptors, queues the session. A second call does nothing.
void x_client_close(x_client_t *client);
// End of pass: hands every closed session to the main thread; unsent ones stay for the next pass.
void x_client_check_to_close(x_client_list_t *list);
// Main thread, end of pass: frees every queued session.
void x_client_check_to_free(x_client_list_t *list);
void x_client_free(x_client_t *client);
// Appends a closing session to a list (its `next` becomes the list link).
void x_client_list_append(x_client_list_t *list, x_client_t *client);
