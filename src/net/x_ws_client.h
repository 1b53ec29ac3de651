// The WebSocket transport client (RFC 6455), and the handshake and framing pieces that every
// WebSocket user of the proxy shares (the flow-report connection to collectors as well).
//
// After the TCP connection the client sends an opening handshake with a fresh random key and
// accepts the answer only when its status line is "HTTP/1.1 101" and its Sec-WebSocket-Accept
// is the one the key calls for. Each message then travels as one masked binary frame. From the
// server it takes binary messages (fragmented or not), answers pings, takes pongs as signs of
// life, and closes on a close frame, a text frame, a masked or malformed frame, or a message
// longer than X_TRANS_MAX_MSG. A client belongs to its creating thread.
#pragma once

#include "net/x_tcp_client.h"

constexpr size_t X_WS_KEY_LEN = 24;        // Base64 of 16 random bytes
constexpr size_t X_WS_ACCEPT_LEN = 28;     // Base64 of a SHA-1 digest
constexpr size_t X_WS_REQUEST_MAX = 1024;  // the handshake request
constexpr size_t X_WS_RESPONSE_MAX = 8192; // handshake answer headers taken at most
constexpr size_t X_WS_FRAME_HDR_MAX = 14;  // client frame header: 2 + 8 + 4 bytes
constexpr size_t X_WS_CONTROL_MAX = 125;   // payload limit of control frames

// Frame opcodes.
constexpr uint8_t X_WS_OP_CONT = 0x0;
constexpr uint8_t X_WS_OP_TEXT = 0x1;
constexpr uint8_t X_WS_OP_BINARY = 0x2;
constexpr uint8_t X_WS_OP_CLOSE = 0x8;
constexpr uint8_t X_WS_OP_PING = 0x9;
constexpr uint8_t X_WS_OP_PONG = 0xA;

// One opening handshake: the key sent and the accept value the answer must carry.
struct x_ws_handshake_t {
    char key[X_WS_KEY_LEN + 1];       // Sec-WebSocket-Key, NUL-terminated
    char accept[X_WS_ACCEPT_LEN + 1]; // expected Sec-WebSocket-Accept, NUL-terminated
};

// A fresh key from getrandom and its accept value; false when no random bytes could be had.
[[nodiscard]] bool x_ws_handshake_new(x_ws_handshake_t *hs);
// The accept value for a key: Base64(SHA-1(key + the RFC 6455 GUID)), NUL-terminated.
void x_ws_accept_for_key(const char *key, size_t key_len, char out[X_WS_ACCEPT_LEN + 1]);
// Formats "GET /<path> HTTP/1.1" with Host, Upgrade, Connection, the key and version 13 into out;
// the length, or 0 when it does not fit in cap or path or host hold spaces or control bytes.
size_t x_ws_handshake_request(char *out, size_t cap, const char *path, const char *host,
                              const x_ws_handshake_t *hs);

// Results of reading a handshake answer.
enum x_ws_hs_result_t {
    X_WS_HS_INCOMPLETE = 0, // the header block has not ended yet
    X_WS_HS_OK,             // switched: *hdr_len bytes are the answer, frames may follow them
    X_WS_HS_REFUSED,        // not "HTTP/1.1 101" or no matching Sec-WebSocket-Accept
    X_WS_HS_TOO_LONG,       // no end of headers within X_WS_RESPONSE_MAX bytes
};
// Examines the first len bytes received after the request (any bytes, NULs included).
x_ws_hs_result_t x_ws_handshake_response(const uint8_t *data, size_t len,
                                         const x_ws_handshake_t *hs, size_t *hdr_len);

// A frame header from the server.
struct x_ws_frame_t {
    bool fin;             // last frame of its message
    uint8_t opcode;       // X_WS_OP_*
    size_t hdr_len;       // bytes before the payload
    uint64_t payload_len; // payload bytes, all present on X_FRAME_OK
};
// Reads one server frame at data (avail bytes). X_FRAME_OK when header and whole payload are
// present; X_FRAME_TOO_BIG for a payload above max_len; X_FRAME_BAD for a masked frame, set
// reserved bits, an unknown opcode, or a control frame that is fragmented or over 125 bytes.
x_frame_parse_t x_ws_frame_parse(const uint8_t *data, size_t avail, size_t max_len,
                                 x_ws_frame_t *out);
// Writes a client frame header (first byte `first`, e.g. 0x82 binary or 0x8A pong; mask bit set;
// 7-bit, 16-bit or 64-bit length; the key's bytes in memory order) into hdr, which holds at
// least X_WS_FRAME_HDR_MAX bytes; *hdr_len gets 6, 8 or 14.
void x_ws_fill_frame_header(uint8_t *hdr, uint8_t first, uint64_t len, uint32_t mask,
                            size_t *hdr_len);
// The binary-data header (first byte 0x82). Always true.
bool x_ws_client_fill_header(uint8_t *hdr, uint64_t len, uint32_t mask, size_t *hdr_len);
// XORs len bytes with the key bytes (in memory order), the first byte using key byte 0.
void x_ws_mask(uint8_t *data, size_t len, uint32_t mask);

struct x_ws_client_t {
    x_trans_client_t base;     // type X_TRANS_WS
    event_data_t ev_data;      // the socket's registration (other_ctx = this client)
    x_dns_query_t *dns_query;  // outstanding resolution, null when none
    bool enable_send;          // open and not waiting for writability
    uint32_t reconn_ref;       // consecutive closes counted toward reconn_cnt
    buf_t send_buf;            // framed, masked outgoing bytes not yet written
    buf_t recv_buf;            // incoming bytes not yet consumed
    buf_t msg_buf;             // payload of a fragmented message being assembled
    bool in_message;           // a fragmented binary message is being assembled
    x_ws_handshake_t hs;       // the key of the current connection's handshake
    uint64_t mask_state;       // masking-key generator, seeded from getrandom
    uint64_t wait_conned_time; // ms when the current connection attempt began
    uint64_t last_reconn_time; // ms of the last close or reconnection attempt
    uint64_t last_active_time; // ms when bytes last arrived from the server
    uint32_t generation;       // bumped by every close
};

// A zeroed client of thread with its operation table; null on allocation failure.
x_ws_client_t *x_ws_client_create(work_thread_t *thread, const char *if_name, uint32_t bind_addr);
[[nodiscard]] bool x_ws_client_init(x_trans_client_t *client, const char *host, uint16_t port,
                                    const char *server_path, uint32_t reconn_inval,
                                    uint32_t reconn_cnt, uint32_t heartbeat_timeout, void *original,
                                    data_handler data_func, init_handler init_func,
                                    close_handler close_func);
// Queues one message as a masked binary frame and writes at once when open. A backlog that
// would pass 10 MiB drops the message (logged) and gives true; a failed write closes the client
// and gives true; false only when the buffer cannot grow.
[[nodiscard]] bool x_ws_client_send(x_trans_client_t *client, const uint8_t *buf, size_t len);
// Writes pending bytes; false when the socket failed.
[[nodiscard]] bool x_ws_client_tcp_send(x_ws_client_t *ws_client);
void x_ws_client_check(x_trans_client_t *client);
void x_ws_client_close(x_ws_client_t *ws_client);
void x_ws_client_free(x_trans_client_t *client);
// Takes over a socket already connected to the server: handshaking with a fresh key (the answer
// must match it), or already open when `open` is set (tests and fuzzing).
[[nodiscard]] bool x_ws_client_adopt(x_ws_client_t *ws_client, int fd, bool open);
