// Upstream handshakes shared by every client protocol: the requests sent to a SOCKS5 or HTTP
// upstream proxy and the readers of its answers.
//
// The readers take the upstream socket and a buffer that keeps what arrived between readable
// events (the buffer is emptied by the caller once an answer is consumed). None of them reads
// past the end of the answer: a SOCKS5 reply is read by its address type, an HTTP answer up to
// its empty line (the socket is peeked first). Whatever the upstream sends after its answer
// therefore stays in the socket and reaches the client through the relay, after the client's
// own success reply.
#pragma once

#include "config/x_server_config.h"
#include "core/buf.h"
#include "proto/ngx_string.h"

#include <cstddef>
#include <cstdint>

// Results of the readers.
constexpr int X_FORWARD_AGAIN = 0;     // incomplete: call again on the next readable event
constexpr int X_FORWARD_DONE = 1;      // complete: the answer starts at buf->pos
constexpr int X_FORWARD_CLOSED = -1;   // the upstream closed, or the read failed
constexpr int X_FORWARD_BAD = -2;      // not a valid answer (unknown address type, no status line)
constexpr int X_FORWARD_TOO_LONG = -3; // the HTTP answer's header does not fit the buffer

// Size of the handshake buffer of a TCP session.
constexpr size_t X_FORWARD_BUF_SIZE = 1500;
// Longest SOCKS5 request: 4 header bytes, a 255-byte name with its length byte, the port.
constexpr size_t X_FORWARD_S5_REQUEST_MAX = 262;
// Longest name a SOCKS5 request can carry in its length byte.
constexpr size_t X_FORWARD_S5_NAME_MAX = 255;
// The 2-byte replies of a SOCKS5 upstream (method choice, RFC 1929 status).
constexpr size_t X_FORWARD_S5_SHORT_REPLY = 2;

// A parsed SOCKS5 command reply.
struct x_forward_s5_reply_t {
    uint8_t rep;      // the upstream's reply code
    uint8_t atyp;     // address type of the bound address (1, 3 or 4)
    uint8_t addr[16]; // bound address: 4 bytes (IPv4) or 16 (IPv6), network order
    char name[256];   // bound name (atyp 3), NUL-terminated
    size_t name_len;  // bytes of name
    uint16_t port;    // bound port, host order
};

// Greeting for the upstream: 05 02 00 02 with credentials, else 05 01 00. Returns its length.
size_t x_forward_s5_greeting(const x_forward_t *forward, uint8_t out[4]);
// CONNECT (cmd 1) request naming host:port (host order): atyp 1 with four address bytes for a
// dotted IPv4 host, else atyp 3 with the name. Returns its length, or 0 when the name is empty or
// longer than X_FORWARD_S5_NAME_MAX.
size_t x_forward_s5_connect_request(const ngx_str_t *host, uint16_t port,
                                    uint8_t out[X_FORWARD_S5_REQUEST_MAX]);
// Whether a destination host of this length can be named to the upstream: a SOCKS5 upstream takes
// at most X_FORWARD_S5_NAME_MAX bytes; other kinds have no limit of their own.
bool x_forward_target_fits(const x_forward_t *forward, size_t host_len);
// HTTP CONNECT request for host:port, with "Proxy-Agent: quoxel-kni/3.1.3" when proxy_agent is
// set (HTTP clients), the forward's Proxy-Authorization line when it has credentials, and the
// empty line. Returns its length, or -1 when it does not fit in cap bytes or the host holds a
// byte that cannot appear in a request target (control bytes, space, DEL): such a host could
// otherwise add lines to the request.
int x_forward_http_connect_request(const x_forward_t *forward, const ngx_str_t *host, uint16_t port,
                                   bool proxy_agent, char *out, size_t cap);

// Bytes of a SOCKS5 command reply, judged from the `held` bytes at data: 5 while fewer are held
// (the type and a name's length byte are not known yet), then 10 (IPv4), 22 (IPv6) or 7 + the
// name's length; -1 for an unknown address type.
int x_forward_s5_reply_len(const uint8_t *data, size_t held);
// Parses a complete reply of len bytes; false when it is not exactly one whole reply.
[[nodiscard]] bool x_forward_s5_parse_reply(const uint8_t *data, size_t len,
                                            x_forward_s5_reply_t *out);
// Finds the end of an HTTP answer's header in len bytes: X_FORWARD_DONE with *end just after
// its empty line ("\r\n" or "\n") and *status the status code; X_FORWARD_AGAIN while the empty
// line has not arrived and what is held can still begin a valid answer; X_FORWARD_BAD when the
// status line is malformed.
int x_forward_http_resp_end(const uint8_t *data, size_t len, size_t *end, unsigned *status);

// Reads until `total` bytes are held (the 2-byte SOCKS5 replies).
int x_forward_recv_fixed(buf_t *buf, int fd, size_t total);
// Reads a SOCKS5 command reply by its address type; X_FORWARD_BAD for an unknown type.
int x_forward_recv_s5_reply(buf_t *buf, int fd);
// Reads an HTTP answer up to its empty line; on X_FORWARD_DONE *status holds its code.
// X_FORWARD_TOO_LONG once the buffer is full without the empty line.
int x_forward_recv_http_resp(buf_t *buf, int fd, unsigned *status);
