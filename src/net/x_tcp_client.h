// Reconnecting clients towards the proxy's own back-end services, and the TCP one of them.
//
// The three transports (WebSocket, UDP, TCP) share one base record, x_trans_client_t, whose
// operation table lets the connection pool drive them alike. Each client belongs to the thread
// that created it: it registers its socket in that thread's epoll instance, resolves through that
// thread's resolver, and calls its owner's handlers on that thread only.
//
// The TCP client frames every message with a plain unsigned LEB128 length in both directions,
// reconnects `reconn_inval` ms after a close, closes a server that stays silent for
// `heartbeat_timeout` ms, and tells its owner after `reconn_cnt` consecutive closes.
//
// Incoming bytes are hostile: a message longer than X_TRANS_MAX_MSG closes the connection, the
// receive buffer never grows past that message plus its header, and a close empties both
// buffers, so nothing half-received or half-sent survives into the next connection.
//
// Handlers may send on any client of their owner (this one included), but must not free a client
// or its pool from inside a handler: a client is freed only from outside its own callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

#include "core/buf.h"
#include "core/epoll.h"

struct work_thread_t;
struct x_dns_query_t;

// Transport numbers (the pool's `trans_type`).
constexpr uint16_t X_TRANS_WS = 0;
constexpr uint16_t X_TRANS_UDP = 1;
constexpr uint16_t X_TRANS_TCP = 2;

// Connection states (`status`). 3 is used by the WebSocket client only.
constexpr uint16_t X_TRANS_DISCONNECTED = 0;
constexpr uint16_t X_TRANS_RESOLVING = 1;
constexpr uint16_t X_TRANS_CONNECTING = 2;
constexpr uint16_t X_TRANS_HANDSHAKING = 3;
constexpr uint16_t X_TRANS_CONNECTED = 4;

constexpr size_t X_TRANS_MAX_MSG = 16u << 20;       // longest message taken from a server
constexpr size_t X_TRANS_SEND_MAX = 10485760;       // backlog above which sends are dropped
constexpr size_t X_TRANS_BUF_INIT = 1500;           // first size of the stream buffers
constexpr uint64_t X_TRANS_CONNECT_TIMEOUT = 10000; // ms allowed to resolve, connect, handshake
constexpr size_t X_TRANS_HOST_MAX = 261;            // longest server host text
constexpr size_t X_TRANS_PATH_MAX = 255;            // longest server path
constexpr size_t X_TRANS_IF_NAME_MAX = 63;          // longest device name

// Owner handlers. `original` is the owner context given to init.
// One complete message; false makes the client close.
using data_handler = bool (*)(void *original, const uint8_t *data, size_t len);
// The connection is ready for messages; false makes the client close.
using init_handler = bool (*)(void *original);
// `reconn_cnt` consecutive closes happened (the count starts again).
using close_handler = void (*)(void *original);

struct x_trans_client_t;

// The operation table, in this order in the record.
// Stores the server and handlers and starts connecting; false (logged) on a bad argument or an
// allocation failure. `port` is in host order; `server_path` may be null.
using x_trans_init_fn = bool (*)(x_trans_client_t *client, const char *host, uint16_t port,
                                 const char *server_path, uint32_t reconn_inval,
                                 uint32_t reconn_cnt, uint32_t heartbeat_timeout, void *original,
                                 data_handler data_func, init_handler init_func,
                                 close_handler close_func);
// Time-driven work (reconnection, connect and silence time-outs); once per loop pass.
using x_trans_check_fn = void (*)(x_trans_client_t *client);
// Releases the socket, the resolution, the buffers and the record itself.
using x_trans_free_fn = void (*)(x_trans_client_t *client);
// Queues or sends one message; see each transport for the meaning of the result.
using x_trans_send_fn = bool (*)(x_trans_client_t *client, const uint8_t *buf, size_t len);

struct x_server_info_t {
    char host[X_TRANS_HOST_MAX + 1]; // NUL-terminated name or address
    uint16_t port;                   // network order
};

// Base of every transport client; the transport records begin with it.
struct x_trans_client_t {
    work_thread_t *thread;                  // owning thread (its epoll and resolver are used)
    char if_name[X_TRANS_IF_NAME_MAX + 1];  // device outgoing sockets bind to; empty for none
    uint32_t bind_addr;                     // local IPv4 address to bind (network order); 0 none
    uint16_t type;                          // X_TRANS_WS, X_TRANS_UDP or X_TRANS_TCP
    uint16_t status;                        // X_TRANS_DISCONNECTED ... X_TRANS_CONNECTED
    x_server_info_t server_info;            // the server as configured
    char server_path[X_TRANS_PATH_MAX + 1]; // request path (WebSocket only), after "GET /"
    struct sockaddr_in server_addr;         // resolved server address and port
    uint32_t reconn_inval;                  // ms to wait after a close before reconnecting
    uint32_t reconn_cnt;                    // consecutive closes before the owner is told; 0 never
    uint32_t heartbeat_timeout;             // ms of server silence that closes it; 0 never
    void *original;                         // owner context passed to the handlers
    data_handler handler_data;              // each complete message
    init_handler handler_init;              // once per connection, when ready
    close_handler handler_close;            // after reconn_cnt consecutive closes
    x_trans_init_fn do_init;                // the transport's operations
    x_trans_check_fn do_check;
    x_trans_free_fn do_free;
    x_trans_send_fn do_send;
};

struct x_tcp_client_t {
    x_trans_client_t base;     // type X_TRANS_TCP
    event_data_t ev_data;      // the socket's registration (other_ctx = this client)
    x_dns_query_t *dns_query;  // outstanding resolution, null when none
    bool enable_send;          // connected and not waiting for writability
    uint32_t reconn_ref;       // consecutive closes counted toward reconn_cnt
    buf_t send_buf;            // framed outgoing bytes not yet written
    buf_t recv_buf;            // incoming bytes not yet consumed
    uint64_t wait_conned_time; // ms when the current connection attempt began
    uint64_t last_reconn_time; // ms of the last close or reconnection attempt
    uint64_t last_active_time; // ms when bytes last arrived from the server
    uint32_t generation;       // bumped by every close: handlers' re-entry is detected by it
};

// A zeroed client of thread with its operation table; null on allocation failure. if_name may be
// null or empty (longer names are cut to 63 characters); bind_addr in network order.
x_tcp_client_t *x_tcp_client_create(work_thread_t *thread, const char *if_name, uint32_t bind_addr);
[[nodiscard]] bool x_tcp_client_init(x_trans_client_t *client, const char *host, uint16_t port,
                                     const char *server_path, uint32_t reconn_inval,
                                     uint32_t reconn_cnt, uint32_t heartbeat_timeout,
                                     void *original, data_handler data_func, init_handler init_func,
                                     close_handler close_func);
// Queues one framed message and writes at once when possible. A backlog that would pass 10 MiB
// drops the message (logged) and still gives true; false when the buffer cannot grow or the
// write fails (the client is then closed).
[[nodiscard]] bool x_tcp_client_send(x_trans_client_t *client, const uint8_t *buf, size_t len);
void x_tcp_client_check(x_trans_client_t *client);
// Drops the connection and both buffers; the next check reconnects after reconn_inval.
void x_tcp_client_close(x_tcp_client_t *tcp_client);
void x_tcp_client_free(x_trans_client_t *client);
// Takes over a socket that is already connected to the server, as if a connection attempt had
// just completed (tests and fuzzing drive the receive path over a socket pair this way).
[[nodiscard]] bool x_tcp_client_adopt(x_tcp_client_t *tcp_client, int fd);

// Results of reading a length prefix.
enum x_frame_parse_t {
    X_FRAME_INCOMPLETE = 0, // more bytes are needed
    X_FRAME_OK,             // a whole message is present
    X_FRAME_TOO_BIG,        // the announced length is above the limit
    X_FRAME_BAD,            // the bytes can never form a valid frame
};
// Reads the LEB128 length prefix at data (avail bytes). On X_FRAME_OK *hdr_len is the prefix
// length and *msg_len the body length, the whole body being present; a prefix announcing more
// than max_len bytes is X_FRAME_TOO_BIG as soon as that is certain.
x_frame_parse_t x_tcp_frame_parse(const uint8_t *data, size_t avail, size_t max_len,
                                  size_t *hdr_len, size_t *msg_len);

// Pieces the three transports share.
//
// Stores server, path, timings and handlers in the base record. False (logged) for an empty or
// too long host, a too long path, or a path or host holding spaces or control bytes.
[[nodiscard]] bool x_trans_client_store(x_trans_client_t *client, const char *host, uint16_t port,
                                        const char *server_path, uint32_t reconn_inval,
                                        uint32_t reconn_cnt, uint32_t heartbeat_timeout,
                                        void *original, data_handler data_func,
                                        init_handler init_func, close_handler close_func);
// Copies if_name (cut to 63 characters) and bind_addr into a new client's base.
void x_trans_client_set_local(x_trans_client_t *client, const char *if_name, uint32_t bind_addr);
// Counts a close toward reconn_cnt and calls handler_close when the count is reached.
void x_trans_client_count_close(x_trans_client_t *client, uint32_t *reconn_ref);
// What a stream client's check must do now: reconnect (reconn_inval after the last close; the
// time is stamped), close (connect or handshake over 10 s, or server silence over the heartbeat,
// both logged), or nothing.
enum x_trans_due_t { X_TRANS_DUE_NOTHING = 0, X_TRANS_DUE_CONNECT, X_TRANS_DUE_CLOSE };
x_trans_due_t x_trans_stream_due(x_trans_client_t *client, uint64_t *last_reconn_time,
                                 uint64_t wait_conned_time, uint64_t last_active_time);
// Takes a resolver answer: server_addr gets the IPv4 address with the configured port. False
// (logged) for a failed resolution.
[[nodiscard]] bool x_trans_take_address(x_trans_client_t *client, int status,
                                        const struct sockaddr_storage *addr);
// Opens a non-blocking TCP socket bound to the client's device and address and starts connecting
// to server_addr. Returns the descriptor (never 0), or -1 after logging the failed step, the
// lines naming the transport by `word` ("tcp" or "ws").
int x_trans_stream_open(x_trans_client_t *client, const char *word);
// Writes the pending bytes of send_buf once; registers for writability while bytes remain and
// keeps *enable_send in step. False when the socket failed.
[[nodiscard]] bool x_trans_stream_flush(int epfd, event_data_t *ev, buf_t *send_buf,
                                        bool *enable_send);
// The common part of a stream client's socket event: an error or hang-up, pending writes on
// writability, then one read into recv_buf (at most `limit` bytes of capacity). Logs what fails;
// the caller closes on X_TRANS_EVENT_CLOSE and takes the new bytes on X_TRANS_EVENT_DATA.
enum x_trans_event_t { X_TRANS_EVENT_NONE = 0, X_TRANS_EVENT_DATA, X_TRANS_EVENT_CLOSE };
[[nodiscard]] x_trans_event_t x_trans_stream_event(x_trans_client_t *client, event_data_t *ev,
                                                   uint32_t events, buf_t *send_buf,
                                                   bool *enable_send, buf_t *recv_buf,
                                                   size_t limit);
// Room for `need` more bytes in a send buffer (doubling); false when it cannot grow.
[[nodiscard]] bool x_trans_send_room(buf_t *buf, size_t need);
// Gives back the memory of an empty buffer that grew past 64 KiB (back to X_TRANS_BUF_INIT).
void x_trans_buf_shrink(buf_t *buf);
// Unregisters and closes the socket of ev (its handler cleared first); nothing when none.
void x_trans_close_socket(int epfd, event_data_t *ev);
