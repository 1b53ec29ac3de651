// SOCKS5 CONNECT: target, access check, resolution, egress binding, connect, reply, relay.
// With an upstream proxy the same road resolves and connects to the upstream, asks it for the
// target (a SOCKS5 negotiation or an HTTP CONNECT), and runs the success path on its socket.
#pragma once

#include <cstdint>
#include <sys/socket.h>

struct x_server_t;
struct x_client_t;
struct event_data_t;
struct x_timer_event_t;

// Called with the complete request at `request` (ver, cmd, rsv, atyp, address, port).
void s5_on_cmd_connect(x_server_t *server, event_data_t *ev, const uint8_t *request);
// Continuation of the access check: result 1 blocks the target.
void s5_on_auth_acl_resp(x_client_t *client, uint32_t result);
// Continuation of the name query: status 0 with an address, else an error code.
void s5_on_dns_resp(void *client, int status, struct sockaddr_storage *addr);
// Continuation of the local query for an ads-listed target sent through an upstream: the target
// becomes the answer's IPv4 text, then the upstream's host is resolved.
void s5_domain_in_ads(void *client, int status, struct sockaddr_storage *addr);
// Opens the outgoing connection to dst_addr / dst_addr_ipv6.
void s5_do_conn_dst(x_client_t *client);
// Handler of the outgoing socket while it connects.
void s5_on_connect_dst(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_on_connect_dst_timeout(void *ctx, x_timer_event_t *ev);
// Agent upstream: its control address resolved, then the completion of the connect-back request
// (status 0: the agent's connection is the destination).
void s5_tcp_on_agent_dns_resp(void *client, int status, struct sockaddr_storage *addr);
void s5_tcp_conn_agent_resp(x_client_t *client, uint16_t status);

// Upstream handshake handlers of the outgoing socket: SOCKS5 upstream.
void s5_s5_on_connect_forward(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_s5_on_method_resp(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_s5_on_auth_resp(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_s5_send_connect(x_client_t *client);
void s5_s5_on_connect_resp(x_server_t *server, event_data_t *ev, uint32_t events);
// HTTP upstream.
void s5_http_on_connect_forward(x_server_t *server, event_data_t *ev, uint32_t events);
void s5_http_on_resp(x_server_t *server, event_data_t *ev, uint32_t events);
