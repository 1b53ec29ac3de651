// The UDP-over-TCP tunnel (SOCKS5 command 0xF3): after the success reply the client's TCP
// connection carries framed datagrams both ways. The first frame names the destination, which
// the access lists check; from then on every frame for that destination leaves as one UDP
// datagram from the session's socket, frames naming any other destination are dropped and
// counted, and answers from the destination come back framed with their source.
//
// Frame, integers big-endian: payload length (2), frag (1, must be 0), address type (1: 0x01
// IPv4, 0x03 name), the address (4 bytes, or a length byte and the name), port (2), payload.
// Frames towards the client always carry type 0x01 and the answering address.
//
// Every complete frame a read brings is handled before the next read; while the destination is
// being checked or the bucket pauses the direction, reading stops, and so it does when the
// buffer is full, so the stream is never mistaken for closed.
#pragma once

#include "proto/socks5_udp.h"

#include <cstddef>
#include <cstdint>

struct x_server_t;
struct x_client_t;
struct event_data_t;

// The largest frame, header included: one relay buffer.
constexpr size_t S5_UDP_TUN_FRAME_MAX = 65536;
// Header of the frames the proxy sends: length, frag, type 0x01, address, port.
constexpr size_t S5_UDP_TUN_DOWN_HEADER = 10;

// Results of s5_udp_tun_read_frame.
constexpr int S5_UDP_TUN_MORE = 0;     // the frame at the front is not complete yet
constexpr int S5_UDP_TUN_FRAME = 1;    // a frame to send: `header` and `len` filled
constexpr int S5_UDP_TUN_DROP = 2;     // a complete fragment or IPv6 frame: skip `len` bytes
constexpr int S5_UDP_TUN_TOO_LONG = 3; // header and payload exceed S5_UDP_TUN_FRAME_MAX
constexpr int S5_UDP_TUN_SHORT = 4;    // a name of length 0: the header cannot be read
constexpr int S5_UDP_TUN_ATYP = 5;     // an unknown address type

struct s5_udp_tun_frame_t {
    size_t len;             // the whole frame, header and payload
    s5_udp_header_t header; // destination; header.len is where the payload begins
};

// Reads the frame at the front of `len` bytes. Needs at most 5 bytes to reject a frame.
int s5_udp_tun_read_frame(const uint8_t *data, size_t len, s5_udp_tun_frame_t *out);
// Writes the 10-byte header of a frame towards the client (addr and port in network order).
void s5_udp_tun_write_header(uint8_t out[S5_UDP_TUN_DOWN_HEADER], uint16_t payload_len,
                             uint32_t addr, uint16_t port);

// Command 0xF3 from the negotiation, the request consumed (bytes behind it stay in up.buf).
// Through a SOCKS5 upstream the association is obtained as for UDP ASSOCIATE, and the frames
// travel to its relay address as whole SOCKS5 UDP datagrams (reserved bytes zero).
void s5_on_cmd_udp_tun(x_server_t *server, event_data_t *ev);
// The destination side is known (directly, or the upstream's relay address in udp_dst_addr): the
// UDP socket, the relay and the success reply.
void s5_udp_tun_upstream_ready(x_client_t *client);
// Handler of the client's TCP connection and of the tunnel's UDP socket.
void s5_on_tcp_for_udp_relay(x_server_t *server, event_data_t *ev, uint32_t events);
// Continuations of the access check and of the destination's name query.
void s5_udp_tun_on_auth_acl_resp(x_client_t *client, uint32_t result);
void s5_udp_tun_udp_on_dns_resp(void *client, int status, struct sockaddr_storage *addr);
// Pause timers: frames from the client (up) and datagrams from the destination (down).
void s5_udp_tun_relay_bucket_acquire(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_udp_tun_udp_relay_bucket_acquire(x_server_t *server, event_data_t *ev, uint32_t events);

// A UDP association whose upstream is an agent: the client speaks SOCKS5 UDP to the session's
// socket, and every datagram travels whole over the agent's connection with its first two bytes
// holding its length (little-endian), transformed with the session's key; frames coming back are
// unframed (length bytes set to 0) and sent to the client. Only datagrams for the destination the
// first one named, and that the access lists allowed, are passed to the agent.
//
// Completion of the connect-back request: the client socket, the relay and the success reply.
void s5_udp_conn_agent_resp(x_client_t *client, uint16_t status);
// Handler of the client's UDP socket and of the agent connection.
void s5_on_udp_to_tcp_relay(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_udp_to_tcp_on_auth_acl_resp(x_client_t *client, uint32_t result);
void relay_bucket_acquire_udp_to_tcp(x_server_t *server, event_data_t *ev, uint32_t events);
void relay_bucket_acquire_tcp_to_udp(x_server_t *server, event_data_t *ev, uint32_t events);

// The tunnel whose upstream is an agent: the agent's connection carries the frames, each with
// its first two bytes rewritten to the agent form and transformed with the session's key; frames
// for other destinations than the checked one are dropped and counted.
void s5_udp_tun_on_agent_dns_resp(void *client, int status, struct sockaddr_storage *addr);
void s5_udp_tun_conn_agent_resp(x_client_t *client, uint16_t status);
// Handler of the client's and the agent's connections.
void s5_on_tcp_for_agent_tun(x_server_t *server, event_data_t *ev, uint32_t events);
