// SOCKS5 UDP ASSOCIATE: a client-facing UDP socket announced in the reply, the destination
// taken from the client's first datagram and checked by the access lists, and a relay of
// datagrams between that socket and one towards the destination (or towards the relay address
// of a SOCKS5 upstream, which then receives the datagrams with their headers).
//
// An association serves the one destination its first datagram named. Datagrams are taken only
// from the TCP client's IP address and only when they name that destination again; answers only
// from the destination (or the upstream's relay). Everything else is dropped without disturbing
// the association.
#pragma once

#include "auth/x_acl_match.h"

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

struct x_server_t;
struct x_client_t;
struct event_data_t;
struct x_timer_event_t;

// Size of each relay buffer: one whole datagram.
constexpr size_t S5_UDP_BUF_SIZE = 65536;

// A datagram header (RFC 1928 section 7) as parsed in place.
struct s5_udp_header_t {
    uint16_t len;        // header bytes: 10 for IPv4, 7 + the name's length for a name
    uint8_t atyp;        // S5_ATYP_IPV4 or S5_ATYP_DOMAIN
    const uint8_t *addr; // the four address bytes or the name, inside the datagram
    uint8_t addr_len;    // 4, or the name's length
    uint16_t port;       // destination port, host order
};

// Results of s5_udp_parse_header.
constexpr int S5_UDP_HEADER_OK = 0;
constexpr int S5_UDP_HEADER_SHORT = 1; // shorter than 4 bytes or than its own header, empty name
constexpr int S5_UDP_HEADER_FRAG = 2;  // a fragment (frag not 0): not reassembled
constexpr int S5_UDP_HEADER_IPV6 = 3;  // an IPv6 destination: not served
constexpr int S5_UDP_HEADER_ATYP = 4;  // an unknown address type

// Parses the header of a datagram of len bytes; only S5_UDP_HEADER_OK fills `out`.
int s5_udp_parse_header(const uint8_t *data, size_t len, s5_udp_header_t *out);
// The header's destination as text: dotted IPv4, or the name less one trailing dot. Returns its
// length (out is NUL-terminated; room for 256 bytes), or -1 when nothing remains of the name.
int s5_udp_header_target(const s5_udp_header_t *header, char out[256]);
// Whether the header names the destination that was checked (its canonical host, without regard
// to case, and its port).
bool s5_udp_same_destination(const s5_udp_header_t *header, const x_acl_match_t *checked);

// Opens a UDP association's client-facing socket on the address the client reached
// (`peer_addr`) into `udp_src_ev_data`, which the session's close releases. On failure answers
// the client, closes the session with `create_msg` or `bind_msg`, and returns false.
[[nodiscard]] bool s5_udp_open_client_socket(x_client_t *client, const char *create_msg,
                                             const char *bind_msg);

// Command 0x03 from the negotiation, the request still in the buffer.
void s5_on_cmd_udp(x_server_t *server, event_data_t *ev);
// Creates the client-facing socket, arms the session timers and sends the success reply.
void s5_udp_connect_dst(event_data_t *ev);
// Handler of both UDP sockets.
void s5_on_udp_relay(x_server_t *server, event_data_t *ev, uint32_t events);
// Continuations of the access check and of the destination's name query.
void s5_udp_on_auth_acl_resp(x_client_t *client, uint32_t result);
void s5_udp_on_dns_resp(void *client, int status, struct sockaddr_storage *addr);
// Handler of a relay's pause timer: sends the held datagram and reads again.
void udp_relay_bucket_acquire(x_server_t *server, event_data_t *ev, uint32_t events);

// Through a SOCKS5 upstream: its address, the TCP handshake asking for an association, and the
// relay address it announces (a name is resolved).
void s5_udp_on_forward_dns_resp(void *client, int status, struct sockaddr_storage *addr);
void s5_s5_udp_on_connect_forward(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_s5_udp_on_method_resp(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_s5_udp_on_auth_resp(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_s5_udp_send_connect(x_client_t *client);
void s5_s5_udp_on_connect_resp(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_s5_udp_on_forward_udp_dns_resp(void *client, int status, struct sockaddr_storage *addr);
void s5_on_connect_forward_timeout(void *ctx, x_timer_event_t *ev);
