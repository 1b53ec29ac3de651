// SOCKS5 negotiation (RFC 1928 with RFC 1929 username/password): greeting, sub-negotiation,
// the wait for authentication, and the request, which goes on to CONNECT.
//
// Each read asks only for the bytes the current message still needs (`needrecv`), so a client
// may send greeting, credentials and request in one segment: what follows a message stays in the
// socket until the next step reads it.
#pragma once

#include "proto/ngx_string.h"

#include <cstdint>

struct x_server_t;
struct x_client_t;
struct event_data_t;
struct x_timer_event_t;
struct buf_t;

// Wire values.
constexpr uint8_t S5_VERSION = 0x05;
constexpr uint8_t S5_AUTH_VERSION = 0x01;
constexpr uint8_t S5_METHOD_NONE = 0x00;
constexpr uint8_t S5_METHOD_USERPASS = 0x02;
constexpr uint8_t S5_METHOD_REFUSED = 0xFF;
constexpr uint8_t S5_CMD_CONNECT = 0x01;
constexpr uint8_t S5_CMD_UDP = 0x03;
constexpr uint8_t S5_CMD_UDP_TUN = 0xF3;
constexpr uint8_t S5_ATYP_IPV4 = 0x01;
constexpr uint8_t S5_ATYP_DOMAIN = 0x03;
constexpr uint8_t S5_ATYP_IPV6 = 0x04;
// Reply codes.
constexpr uint8_t S5_REP_SUCCESS = 0x00;
constexpr uint8_t S5_REP_FAILURE = 0x01;
constexpr uint8_t S5_REP_NOT_ALLOWED = 0x02;
constexpr uint8_t S5_REP_REFUSED = 0x03;
constexpr uint8_t S5_REP_UNREACHABLE = 0x04;
constexpr uint8_t S5_REP_TTL_EXPIRED = 0x06;
constexpr uint8_t S5_REP_CMD_NOT_SUPPORTED = 0x07;
constexpr uint8_t S5_REP_ATYP_NOT_SUPPORTED = 0x08;
// Values of x_client_t.s5_auth_state.
constexpr int8_t S5_STATE_NO_AUTH = 1;  // method 0x00 chosen; the method reply is still owed
constexpr int8_t S5_STATE_USERPASS = 2; // username/password chosen, or the greeting refused

// Entry from the intake: the first byte (0x05) was already read.
void s5_on_first_byte(x_server_t *server, event_data_t *ev, uint8_t first_byte);
void s5_on_handshake(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_on_auth(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_on_request(x_server_t *server, event_data_t *ev, uint32_t events);
// Continuation after the authentication answer.
void s5_on_auth_resp(x_client_t *client);
void s5_on_client_conn_timeout(void *ctx, x_timer_event_t *ev);
// Reads up to n bytes at the buffer's write cursor: false when the buffer lacks room, the peer
// closed or the read failed; true otherwise (also when nothing was waiting).
[[nodiscard]] bool s5_recv(buf_t *buf, event_data_t *ev, uint32_t events, uint16_t n);
// Sends the 10-byte command reply; addr and port are copied as given (network order).
bool s5_cmd_resp(x_client_t *client, uint8_t rep, uint8_t atyp, uint32_t addr, uint16_t port);
// Fills the empty `out` with the RFC 1929 request for the credentials; false when `out` holds
// text, a credential is longer than its 255-byte length field, or memory runs out.
[[nodiscard]] bool s5_create_s5_auth(const ngx_str_t *username, const ngx_str_t *password,
                                     ngx_str_t *out);
