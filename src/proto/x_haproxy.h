// PROXY protocol intake: a load balancer's version 1 (text) or version 2 (binary) header that
// names the real client and the address it connected to. Only TCP over IPv4 is taken. The
// header's addresses replace the session's `addr` and `localaddr`, then the connection goes on to
// SOCKS5 or the HTTP proxy with every byte read past the header. A connection whose first byte is
// 'P' without the word PROXY is an HTTP request (POST, PUT, ...). A header is believed only from
// a peer in the configuration's proxy_protocol_from; from anyone else it closes the session (607).
//
// The session's connection timer stays armed from the first byte of the header until a protocol
// handler arms its own, so a client that sends a header and then nothing is still closed.
#pragma once

#include "core/epoll.h"

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

struct x_server_t;
struct x_timer_event_t;

// Header sizes.
constexpr size_t HAPROXY_BUF_SIZE = 1500;
constexpr size_t HAPROXY_V1_MIN = 32; // "PROXY TCP4 " with the shortest addresses and ports
constexpr size_t HAPROXY_V1_MAX = 56; // the longest TCP4 line
constexpr size_t HAPROXY_V2_HEAD = 16;
constexpr uint16_t HAPROXY_V2_ADDR_MIN = 12; // IPv4 addresses and ports
constexpr uint16_t HAPROXY_V2_LEN_MAX = 240;
extern const uint8_t haproxy_v2_signature[12];

// Result of parsing a version 1 line; each failure has its own message.
enum haproxy_v1_result_t {
    HAPROXY_V1_OK = 0,
    HAPROXY_V1_SHORT,    // shorter than HAPROXY_V1_MIN
    HAPROXY_V1_PROTOCOL, // not TCP4
    HAPROXY_V1_ADDR,     // addresses or ports malformed
};
// Parses the complete line [line, line + len) (its CR LF included) into the source and
// destination socket addresses (network order).
haproxy_v1_result_t haproxy_parse_v1(const uint8_t *line, size_t len, struct sockaddr_in *src,
                                     struct sockaddr_in *dst);
// Message logged for a version 1 parse failure.
const char *haproxy_v1_error(haproxy_v1_result_t result);
// Checks the 16 fixed bytes of a version 2 header: null when they are accepted (length of what
// follows in *len), else the failure message.
const char *haproxy_check_v2(const uint8_t head[HAPROXY_V2_HEAD], uint16_t *len);
// The addresses of a version 2 address block (at least 12 bytes).
void haproxy_parse_v2_addrs(const uint8_t *block, struct sockaddr_in *src, struct sockaddr_in *dst);

// Entry from the intake with the first byte ('P' or 0x0D) and the handler for its version.
void haproxy_add_handler(x_server_t *server, event_data_t *ev, uint32_t events, uint8_t first_byte,
                         event_handler handler);
// Handlers of the client socket.
void on_client_haproxy_v1_first(x_server_t *server, event_data_t *ev, uint32_t events);
void on_client_haproxy_v1(x_server_t *server, event_data_t *ev, uint32_t events);
void on_client_haproxy_v2_first(x_server_t *server, event_data_t *ev, uint32_t events);
void on_client_haproxy_v2(x_server_t *server, event_data_t *ev, uint32_t events);
// Hands the connection, with the bytes held past pos, to the HTTP proxy.
void haproxy_v1_to_http(x_server_t *server, event_data_t *ev, uint32_t events);
// Timer callback while a header is read.
void haproxy_on_rcv_timeout(void *client, x_timer_event_t *ev);
