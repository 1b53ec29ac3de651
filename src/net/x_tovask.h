// Agent forwarding: upstreams of protocol 3 are agents that cannot be dialled. Each thread with
// an agent data port asks an agent over UDP (one binary JSON object per datagram) to connect
// back, and the TCP connection the agent opens on the thread's data port, once it has named the
// session in its 11-byte hello, becomes that session's destination connection.
//
// Requests are kept by session number and sent up to three times, tovask_retry_interval apart
// (checked on the thread's 500 ms agent timer). Answers are taken only from the address the
// request went to; a request whose session has ended is dropped with it. A data connection is
// attached only to a session that is waiting for one; anything else is refused (0x00 0x01) and
// closed, and the waiting session is not touched.
#pragma once

#include "core/buf.h"
#include "core/epoll.h"
#include "core/x_timer.h"

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

struct x_server_t;
struct x_client_t;
struct work_thread_t;
struct dict;

// Wire values.
constexpr uint16_t X_TOVASK_MAGIC = 31660;    // first two hello bytes, little-endian
constexpr size_t X_TOVASK_HELLO_LEN = 11;     // magic, key, session, idle timeout
constexpr size_t X_TOVASK_REQUEST_MAX = 1024; // a connect request never exceeds this
constexpr size_t X_TOVASK_ANSWER_MAX = 512;   // a control answer is read up to this
constexpr uint64_t X_TOVASK_SENDS = 3;        // a request is sent at most this often

// One thread's endpoint.
struct x_tovask_forward_t {
    work_thread_t *thread;                // owner
    dict *session_to_request;             // session number -> x_forward_ctrl_request_t *
    uint16_t link_port;                   // the agent data port
    event_data_t link_listen;             // TCP listener agents connect back to
    event_data_t ctrl_data;               // UDP socket requests leave from and answers arrive on
    uint8_t buf[X_TOVASK_ANSWER_MAX + 1]; // one answer (a longer one shows as truncated)
};

// One pending connect request.
struct x_forward_ctrl_request_t {
    x_tovask_forward_t *tovask_forward; // endpoint
    uint32_t session;                   // the waiting session
    uint32_t retry_count;               // sends so far
    uint64_t last_send_time;            // monotonic ms of the last send
    buf_t buf;                          // the encoded request
    struct sockaddr_in ctrl_addr;       // the agent's control address; answers come from it
    x_timer_event_t timeout;            // entry on the thread's agent timer
};

// An agent connection that has not named its session yet.
struct x_data_connect_s {
    x_tovask_forward_t *tovask_forward; // endpoint
    work_thread_t *thread;              // owner
    event_data_t connect_ev_data;       // the accepted connection
    x_timer_event_t tcp_conn_timeout;   // src_timeout for the hello
    uint8_t hello[X_TOVASK_HELLO_LEN];  // hello bytes read so far
    uint8_t have;                       // how many
};

// The hello, decoded.
struct x_tovask_hello_t {
    uint8_t code_key;      // stream transform key, 0 for none
    uint32_t session;      // the session the connection is for
    uint32_t idle_timeout; // the session's idle limit in ms, 0 to keep the configured one
};

// Results of x_tovask_read_hello.
constexpr int X_TOVASK_HELLO_MORE = 0;
constexpr int X_TOVASK_HELLO_OK = 1;
constexpr int X_TOVASK_HELLO_BAD = 2; // wrong magic

// Completion of a request: 0 once the agent's connection is the session's tcp_dst_ev_data, or
// an error code. Called at most once per request.
using x_tovask_callback = void (*)(x_client_t *client, uint16_t status);

// Starts the endpoint on link_port; false (after a diagnostic line) fails the thread's start.
[[nodiscard]] bool x_tovask_forward_init(x_tovask_forward_t *forward, work_thread_t *thread,
                                         uint16_t link_port);
// Closes both sockets and drops every pending request.
void x_tovask_forward_close(x_tovask_forward_t *forward);
// Asks the agent of the session's forward (control address in dst_addr) to connect back. The
// callback always comes later, or at once with 632 (missing credentials, or a target or
// credentials too long for one request), 633 (no memory), 634 (send failed) or 647 (this thread
// has no agent data port).
void x_tovask_forward_do_conn_req(x_client_t *client, x_tovask_callback callback);
// A resolver answer for the agent's host of a session: on an IPv4 address the address becomes the
// session's destination, the client's request timer stops, the dst_timeout timer starts with
// on_timeout and the connect request goes out with callback; 0. Otherwise nothing changes and the
// session's error code is returned.
uint16_t x_tovask_forward_resolved(x_client_t *client, int status, const sockaddr_storage *addr,
                                   x_timer_callback on_timeout, x_tovask_callback callback);
// The session ends: its request, if any, goes at once.
void x_tovask_forward_cancel(x_client_t *client);
// Encodes the connect request of a session into out; false when it would not fit in
// X_TOVASK_REQUEST_MAX bytes or memory runs out.
[[nodiscard]] bool x_tovask_encode_request(const x_client_t *client, uint16_t link_port,
                                           buf_t *out);
// Decodes a control answer: false when it is not an object with integer "c" and "s".
[[nodiscard]] bool x_tovask_decode_answer(const uint8_t *data, size_t len, int64_t *code,
                                          uint32_t *session);
// Reads the hello from the first len bytes of a connection.
int x_tovask_read_hello(const uint8_t *data, size_t len, x_tovask_hello_t *out);
// The stream transform: every byte XORed with key. Its own inverse.
void xor_encrypt_data(uint8_t *data, size_t length, uint8_t key);

// Handlers.
void x_tovask_forward_recv_ctr_message(x_server_t *server, event_data_t *ev, uint32_t events);
void on_agent_data_connect(x_server_t *server, event_data_t *ev, uint32_t events);
void on_agent_data_recv_data(x_server_t *server, event_data_t *ev, uint32_t events);
void on_agent_data_connect_timeout(void *ctx, x_timer_event_t *ev);
void on_forward_ctrl_request_timeout(void *ctx, x_timer_event_t *ev);
// Completes the session's pending request with code (and its data connection when fd > 0).
void do_agent_conn_resp(work_thread_t *thread, uint16_t code, uint32_t session, int fd,
                        uint8_t code_key, uint32_t idle_timeout);
