// HTTP proxy: a CONNECT request opens a tunnel; any other request with an absolute URI is
// rewritten to origin form and sent to the destination. One request per connection: the forwarded
// request loses its hop-by-hop headers and carries "Connection: close" (http_hop.h), so the origin
// answers once and closes, and the session ends with it.
//
// Road of a request: request line and headers are read into up.buf (Basic credentials are taken
// from Proxy-Authorization, which is removed from the forwarded request together with
// Proxy-Connection), then authentication, the access check, resolution (a name must not lead an
// authenticated client into the host's own or private networks, x_auth.h), egress binding and the
// connect. A refused authentication answers 407 and reads the next request on the same
// connection. The forwarded request leaves before the relay starts; a destination that takes only
// part of it gets the rest as it becomes writable, with the client's input paused meanwhile.
//
// With an upstream proxy the same road resolves and connects to the upstream, asks it for the
// target (a SOCKS5 negotiation or an HTTP CONNECT) and runs the success path on its socket, so
// the rewritten request of an absolute-URI request travels through the granted tunnel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

struct x_server_t;
struct x_client_t;
struct event_data_t;
struct x_timer_event_t;
struct http_ctx_t;

// Request buffer sizes: a request starting with 'C' (CONNECT) is small.
constexpr size_t HTTP_CONNECT_BUF_SIZE = 1500;
constexpr size_t HTTP_REQUEST_BUF_SIZE = 4096;
// Upper bound of the request line plus headers; a longer request is refused with 403.
constexpr size_t HTTP_REQUEST_MAX = 64 * 1024;
// Work area of the decoded Basic credentials; a longer value counts as no credentials.
constexpr size_t HTTP_AUTH_DECODE_MAX = 1024;

// Entry from the intake with the first byte already consumed.
void http_on_first_byte(x_server_t *server, event_data_t *ev, uint32_t events, uint8_t first_byte);
// Entry with up.buf already holding the start of a request (also after a PROXY header): arms the
// request timer and parses what is held, reading on as needed.
void http_do_resolution_request_line(x_server_t *server, event_data_t *ev, uint32_t events);
// Handlers of the client socket while the request line and then the headers are read.
void http_on_request_line(x_server_t *server, event_data_t *ev, uint32_t events);
void http_on_request_header(x_server_t *server, event_data_t *ev, uint32_t events);
// The Proxy-Authorization header just parsed: fills auth_request when it carries usable Basic
// credentials. False only when the credentials could not be stored (the session must close).
[[nodiscard]] bool http_handle_header_proxy_authorization(x_client_t *client, http_ctx_t *ctx);

// Continuations of authentication, the access check (result 1 blocks) and the name query.
void http_on_auth_resp(x_client_t *client);
void http_on_auth_acl_resp(x_client_t *client, uint32_t result);
void http_on_dns_resp(void *client, int status, struct sockaddr_storage *addr);
// Continuation of the local query for an ads-listed target sent through an upstream: the target
// becomes the answer's IPv4 text, then the upstream's host is resolved.
void http_domain_in_ads(void *client, int status, struct sockaddr_storage *addr);
// Opens the outgoing connection to dst_addr / dst_addr_ipv6: the destination, or the upstream
// proxy when the session has one (its handshake handlers below then take the socket).
void http_do_conn_dst(x_client_t *client);
// Handler of the outgoing socket while it connects.
void http_on_connect_dst(x_server_t *server, event_data_t *ev, uint32_t events);
// The success path once tcp_dst_ev_data leads to the destination (directly, or through an
// upstream that accepted it): access line, metrics, session timers, then the forwarded request
// (or the 200 of a CONNECT) and the relay.
void http_connected(x_client_t *client);
// Upstream handshake handlers of the outgoing socket. SOCKS5 upstream: greeting, method reply,
// RFC 1929 reply, CONNECT request and its reply (read by its address type). HTTP upstream: the
// CONNECT request and the answer, read up to its empty line. A granted tunnel runs
// http_connected; a refusal is retried once on a new connection when forward_retry is 1, and
// otherwise answered with the generic error answer.
void http_s5_on_connect_forward(x_server_t *server, event_data_t *ev, uint32_t events);
void http_s5_on_method_resp(x_server_t *server, event_data_t *ev, uint32_t events);
void http_s5_on_auth_resp(x_server_t *server, event_data_t *ev, uint32_t events);
void http_s5_send_connect(x_client_t *client);
void http_s5_on_connect_resp(x_server_t *server, event_data_t *ev, uint32_t events);
void http_http_on_connect_forward(x_server_t *server, event_data_t *ev, uint32_t events);
void http_http_on_resp(x_server_t *server, event_data_t *ev, uint32_t events);
// Timer callbacks: connect (tcp_dst_timeout) and the whole request (tcp_conn_timeout).
void http_on_connect_dst_timeout(void *client, x_timer_event_t *ev);
void http_on_get_header_timeout(void *client, x_timer_event_t *ev);
// Sends the generic error answer with the session's error_code and closes the session.
void http_cmd_resp(x_client_t *client);

// Fixed answers.
extern const char http_host_fail_resp[];
extern const char http_auth_fail_resp[];
extern const char http_connect_success_resp[];
// Reasons of the three answers that carry an error code.
extern const char http_server_fail_reason[];
extern const char http_auth_fail_errorcode_reason[];
extern const char http_auth_fail_acl_reason[];
// Formats an answer carrying `code`: "HTTP/1.1 <code> <reason>" with the product's Proxy-Agent,
// Content-Length, "Proxy-Connection: close" and the body "ErrorCode:<code, three digits at
// least>\r\n". A code that is not three digits cannot stand in a status line: 500 stands there
// and the body still names the code. Returns the length, 0 when `cap` is too small.
size_t http_format_code_resp(char *out, size_t cap, const char *reason, unsigned code);
