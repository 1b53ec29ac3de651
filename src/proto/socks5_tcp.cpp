#include "proto/socks5_tcp.h"

#include "auth/x_auth.h"
#include "core/log.h"
#include "core/socket_util.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "net/x_dns.h"
#include "net/x_tovask.h"
#include "proto/socks5_proxy.h"
#include "proto/x_forward.h"
#include "proto/x_forward_session.h"
#include "report/monitor.h"
#include "report/x_log_report.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

void reply_and_close(x_client_t *c, uint8_t rep, uint16_t code, const char *msg) {
    x_client_log_error(c, code, msg);
    (void)s5_cmd_resp(c, rep, 0, 0, 0);
    x_client_close(c);
}

bool record_ipv4_target(x_client_t *c, const uint8_t *addr, const uint8_t *port) {
    c->dst_addr.sin_family = AF_INET;
    memcpy(&c->dst_addr.sin_addr.s_addr, addr, 4);
    memcpy(&c->dst_addr.sin_port, port, 2);
    char text[16];
    int n = snprintf(text, sizeof text, "%u.%u.%u.%u", addr[0], addr[1], addr[2], addr[3]);
    return ngx_str_init(&c->acl_match.target_host, text, static_cast<size_t>(n));
}

bool record_domain_target(x_client_t *c, const uint8_t *name, size_t len, const uint8_t *port) {
    memcpy(&c->dst_addr.sin_port, port, 2);
    c->dst_addr.sin_family = AF_INET;
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&c->dst_addr_ipv6);
    v6->sin6_family = AF_INET6;
    memcpy(&v6->sin6_port, port, 2);
    if (name[len - 1] == '.') len--; // one trailing dot: the name as written in the root zone
    return ngx_str_init(&c->acl_match.target_host, name, len);
}

bool has_upstream(const x_client_t *c) {
    return c->forward && c->forward->host.len > 0;
}

void resolve(x_client_t *c, const ngx_str_t *host, bool ipv6,
             x_dns_callback done = s5_on_dns_resp) {
    x_dns_query_t *q = x_dns_query(c->thread->dns, reinterpret_cast<const char *>(host->data),
                                   host->len, c, done, ipv6);
    // A synchronous answer returns null; it must not overwrite a handle a later step stored.
    if (q) c->dns_query = q;
}

// Binds the outgoing socket to the client's egress address and, with it, the port's device.
bool bind_egress(x_client_t *c, int fd) {
    x_config_port_t *port = c->connect_ev_data.xport;
    if (c->server->config.no_bind) return true;
    in_addr_t egress =
        c->auth_result.virtual_ip ? c->auth_result.virtual_ip : c->peer_addr.sin_addr.s_addr;
    switch (socket_bind_egress(fd, c->is_ipv6, &port->ipv6_addr, egress,
                               reinterpret_cast<const char *>(port->name.data), port->name.len)) {
    case EGRESS_BOUND:
        return true;
    case EGRESS_BIND_ADDR_FAILED:
        if (c->is_ipv6) {
            log_error("s5 tcp bind ipv6 failed: %s\n", strerror(errno));
            reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_BIND_ADDR, "s5 tcp bind ipv6 failed");
        } else {
            reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_BIND_ADDR,
                            "s5 tcp bind virtual ip failed");
        }
        return false;
    case EGRESS_BIND_DEVICE_FAILED:
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_BIND_DEVICE,
                        "s5 tcp bind to device failed");
        return false;
    }
    return false;
}

// The connect failed after EINPROGRESS: a refusal is 0x03, anything else (unreachable,
// timed out) 0x04.
void connect_failed(x_client_t *c, int err) {
    uint8_t rep = err == ECONNREFUSED ? S5_REP_REFUSED : S5_REP_UNREACHABLE;
    reply_and_close(c, rep, X_ERROR_SOCKET_CONNECT, "s5 tcp connect dst failed");
}

} // namespace

void s5_on_cmd_connect(x_server_t *server, event_data_t *ev, const uint8_t *r) {
    x_client_t *c = ev->client;
    bool ok;
    if (r[3] == S5_ATYP_IPV4) {
        ok = record_ipv4_target(c, r + 4, r + 8);
        if (!ok) {
            reply_and_close(c, S5_REP_ATYP_NOT_SUPPORTED, X_ERROR_ALLOC,
                            "s5 tcp save target ip address is error");
            return;
        }
    } else if (r[3] == S5_ATYP_DOMAIN) {
        if (r[4] == 0) {
            reply_and_close(c, S5_REP_ATYP_NOT_SUPPORTED, X_ERROR_S5_REQUEST_COMMAND_TYPE,
                            "s5 tcp domain is error");
            return;
        }
        if (!record_domain_target(c, r + 5, r[4], r + 5 + r[4])) {
            reply_and_close(c, S5_REP_ATYP_NOT_SUPPORTED, X_ERROR_ALLOC,
                            "s5 tcp save target domain is error");
            return;
        }
    } else {
        reply_and_close(c, S5_REP_ATYP_NOT_SUPPORTED, X_ERROR_S5_REQUEST_COMMAND_TYPE,
                        "s5 tcp ip address type not supported");
        return;
    }
    c->acl_match.target_port = ntohs(c->dst_addr.sin_port);
    // Parked before the check: its answer may come back inside the call.
    x_client_park(c);
    if (x_client_is_closing(c)) return;
    x_auth_start_acl(server, c, s5_on_auth_acl_resp);
}

void s5_on_auth_acl_resp(x_client_t *c, uint32_t result) {
    if (x_client_is_closing(c)) return;
    if (result == 1) {
        reply_and_close(c, S5_REP_UNREACHABLE, X_ERROR_AUTH_BLACK, "s5 tcp dst acl block");
        return;
    }
    c->conn_start_time = x_time_ms();
    if (!has_upstream(c)) {
        resolve(c, &c->acl_match.target_host, c->server->config.ipv6_model);
        return;
    }
    if (c->forward->proto == X_FORWARD_TOVASK) {
        resolve(c, &c->forward->host, false, s5_tcp_on_agent_dns_resp);
        return;
    }
    c->dst_addr.sin_port = htons(c->forward->port);
    // Ads-listed names are resolved here: the upstream is asked for the address.
    if (x_acl_match_in_cache(&c->server->config.ads_cache, &c->acl_match)) {
        resolve(c, &c->acl_match.target_host, false, s5_domain_in_ads);
        return;
    }
    resolve(c, &c->forward->host, false);
}

void s5_domain_in_ads(void *ctx, int status, struct sockaddr_storage *addr) {
    auto *c = static_cast<x_client_t *>(ctx);
    c->dns_query = nullptr;
    if (x_client_is_closing(c)) return;
    if (status != 0) {
        reply_and_close(c, S5_REP_NOT_ALLOWED, static_cast<uint16_t>(status),
                        "s5 tcp ads domain query failed");
        return;
    }
    if (!x_auth_resolved_allowed(c, addr)) {
        reply_and_close(c, S5_REP_UNREACHABLE, X_ERROR_AUTH_BLACK,
                        "s5 tcp ads dst resolved to a blocked address");
        return;
    }
    const auto *ip =
        reinterpret_cast<const uint8_t *>(&reinterpret_cast<sockaddr_in *>(addr)->sin_addr.s_addr);
    char text[16];
    int n = snprintf(text, sizeof text, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    ngx_str_free(&c->acl_match.target_host);
    if (!ngx_str_init(&c->acl_match.target_host, text, static_cast<size_t>(n))) {
        reply_and_close(c, S5_REP_NOT_ALLOWED, X_ERROR_ALLOC, "s5 tcp ads target save is error");
        return;
    }
    c->dst_addr.sin_port = htons(c->forward->port);
    resolve(c, &c->forward->host, false);
}

void s5_on_dns_resp(void *ctx, int status, struct sockaddr_storage *addr) {
    auto *c = static_cast<x_client_t *>(ctx);
    c->dns_query = nullptr; // finished: never cancel it
    if (x_client_is_closing(c)) return;
    if (status != 0) {
        reply_and_close(c, S5_REP_UNREACHABLE, static_cast<uint16_t>(status),
                        "s5 tcp domain query failed");
        return;
    }
    if (!has_upstream(c) && !x_auth_resolved_allowed(c, addr)) {
        reply_and_close(c, S5_REP_UNREACHABLE, X_ERROR_AUTH_BLACK,
                        "s5 tcp dst resolved to a blocked address");
        return;
    }
    if (addr->ss_family == AF_INET6) {
        c->is_ipv6 = true;
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&c->dst_addr_ipv6);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = reinterpret_cast<sockaddr_in6 *>(addr)->sin6_addr;
        v6->sin6_port = c->dst_addr.sin_port;
    } else {
        c->dst_addr.sin_family = AF_INET;
        c->dst_addr.sin_addr = reinterpret_cast<sockaddr_in *>(addr)->sin_addr;
    }
    x_timer_del(&c->tcp_conn_timeout);
    s5_do_conn_dst(c);
}

void s5_do_conn_dst(x_client_t *c) {
    int fd = socket(c->is_ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    IPPROTO_TCP);
    if (fd < 0) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_CREATE,
                        "s5 tcp create tcp socket failed");
        return;
    }
    if (!set_socket_reuse_opt(fd)) {
        close(fd);
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_OPT,
                        "s5 tcp client socket set default opt failed");
        return;
    }
    if (!bind_egress(c, fd)) {
        close(fd);
        return;
    }
    const sockaddr *to = c->is_ipv6 ? reinterpret_cast<const sockaddr *>(&c->dst_addr_ipv6)
                                    : reinterpret_cast<const sockaddr *>(&c->dst_addr);
    socklen_t len = c->is_ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (connect(fd, to, len) != 0 && errno != EINPROGRESS) {
        int err = errno;
        close(fd);
        connect_failed(c, err);
        return;
    }
    c->tcp_dst_ev_data.fd = fd;
    // With an upstream, the handshake keeps this set: its handlers read the socket's errors.
    c->dst_connecting = true;
    event_handler on_writable = s5_on_connect_dst;
    if (has_upstream(c))
        on_writable = c->forward->proto == X_FORWARD_HTTP ? s5_http_on_connect_forward
                                                          : s5_s5_on_connect_forward;
    if (!ev_add_event(c->thread->epoll_fd, &c->tcp_dst_ev_data, EPOLLOUT, on_writable)) {
        c->tcp_dst_ev_data.fd = 0;
        c->dst_connecting = false;
        close(fd);
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_EVENT_OPT,
                        "s5 tcp add tcp dst connect event failed");
        return;
    }
    c->tcp_dst_timeout.ctx = c;
    c->tcp_dst_timeout.callback = s5_on_connect_dst_timeout;
    x_timer_reg(&c->thread->dst_timer, &c->tcp_dst_timeout);
}

void s5_on_connect_dst(x_server_t *, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    int err = x_forward_connect_error(ev, events);
    x_timer_del(&c->tcp_dst_timeout);
    c->dst_connecting = false;
    if (err != 0) {
        connect_failed(c, err);
        return;
    }
    x_client_relay_prepare(c);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    get_local_addr(ev->fd, &local.sin_addr.s_addr, &local.sin_port);
    if (!s5_cmd_resp(c, S5_REP_SUCCESS, S5_ATYP_IPV4, local.sin_addr.s_addr, local.sin_port)) {
        x_client_log_error(c, X_ERROR_SOCKET_SEND_TO_CLIENT, "s5 tcp send connect response fail");
        x_client_close(c);
        return;
    }
    x_log_send_report(c, X_REPORT_PROTO_SOCKS5, false);
    monitor_incr(monitor_main.socks5_success_total);
    add_connection_time_count(x_time_ms() - c->conn_start_time);
    x_client_start_session_timers(c);
    int epfd = c->thread->epoll_fd;
    if (!ev_add_event(epfd, &c->tcp_dst_ev_data, EPOLLIN, on_tcp_relay)) {
        x_client_log_error(c, X_ERROR_EVENT_OPT, "s5 tcp add tcp dst connect event failed");
        x_client_close(c);
        return;
    }
    if (!ev_add_event(epfd, &c->connect_ev_data, EPOLLIN, on_tcp_relay)) {
        x_client_log_error(c, X_ERROR_EVENT_OPT, "s5 tcp add conn connect event failed");
        x_client_close(c);
        return;
    }
    if (!x_client_relay_kick(c)) x_client_close(c);
}

// The agent's control address is known: ask it to connect back.
void s5_tcp_on_agent_dns_resp(void *ctx, int status, struct sockaddr_storage *addr) {
    auto *c = static_cast<x_client_t *>(ctx);
    c->dns_query = nullptr;
    if (x_client_is_closing(c)) return;
    uint16_t code = x_tovask_forward_resolved(c, status, addr, s5_on_connect_dst_timeout,
                                              s5_tcp_conn_agent_resp);
    if (code != 0) reply_and_close(c, S5_REP_UNREACHABLE, code, "s5 tcp agent domain query failed");
}

void s5_tcp_conn_agent_resp(x_client_t *c, uint16_t status) {
    x_timer_del(&c->tcp_dst_timeout);
    if (status != 0) {
        reply_and_close(c, S5_REP_REFUSED, status, "conn agent server error");
        return;
    }
    // Bytes the client sent along with its request are the first the agent receives.
    if (c->code_key) xor_encrypt_data(c->up.buf.pos, buf_size(&c->up.buf), c->code_key);
    s5_on_connect_dst(c->server, &c->tcp_dst_ev_data, 0);
}

void s5_on_connect_dst_timeout(void *ctx, x_timer_event_t *) {
    auto *c = static_cast<x_client_t *>(ctx);
    bool upstream = c->forward && c->forward->host.len > 0;
    if (upstream && c->forward->proto == X_FORWARD_TOVASK)
        reply_and_close(c, S5_REP_UNREACHABLE,
                        c->is_ctrl_ready ? X_ERROR_FORWARD_TOVASK_TIMEOUT
                                         : X_ERROR_FORWARD_TOVASK_CTRL,
                        c->is_ctrl_ready ? "s5 tcp forward tovask agent timeout"
                                         : "s5 tcp forward tovask ctrl timeout");
    else if (upstream)
        reply_and_close(c, S5_REP_UNREACHABLE, X_ERROR_FORWARD_TIMEOUT, "s5 tcp forward timeout");
    else
        reply_and_close(c, S5_REP_UNREACHABLE, X_ERROR_TARGET_TIMEOUT,
                        "s5 tcp connect dst timeout");
}

// ---- upstream handshake ----

namespace {

// Failures before the upstream granted anything that the client hears nothing about.
void close_silently(x_client_t *c, uint16_t code, const char *msg) {
    x_client_log_error(c, code, msg);
    x_client_close(c);
}

// The one retry of a refused upstream connect: a new connection to the same upstream address,
// without resolving again. False when no retry is allowed (the caller reports the refusal);
// true when the session went on, or was closed because the old socket could not be released.
bool retry_upstream(x_client_t *c, uint8_t del_fail_rep, const char *del_fail_msg) {
    if (c->server->config.forward_retry != 1 || c->retry) return false;
    x_timer_del(&c->tcp_dst_timeout);
    if (!x_forward_release_socket(c)) {
        reply_and_close(c, del_fail_rep, X_ERROR_EVENT_OPT, del_fail_msg);
        return true;
    }
    x_forward_consume(c);
    c->retry = 1;
    log_info("client[%u] retry upstream connect\n", c->session);
    s5_do_conn_dst(c);
    return true;
}

// Common start of both handshakes: the connect's outcome and the handshake buffer.
bool forward_connected(x_client_t *c, event_data_t *ev, uint32_t events, const char *alloc_msg) {
    int err = x_forward_connect_error(ev, events);
    if (err != 0) {
        connect_failed(c, err);
        return false;
    }
    if (!buf_alloc(&c->down.buf, X_FORWARD_BUF_SIZE)) {
        close_silently(c, X_ERROR_ALLOC, alloc_msg);
        return false;
    }
    x_forward_consume(c);
    return true;
}

} // namespace

void s5_s5_on_connect_forward(x_server_t *, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (!forward_connected(c, ev, events, "s5 tcp to s5 alloc failed")) return;
    uint8_t hello[4];
    size_t n = x_forward_s5_greeting(c->forward, hello);
    int err = 0;
    if (!x_forward_send(c, hello, n, &err)) {
        close_silently(c, X_ERROR_SOCKET_SEND_TO_SERVER, "s5 tcp to s5 send method request failed");
        return;
    }
    c->needrecv = X_FORWARD_S5_SHORT_REPLY;
    if (!x_forward_watch(c, s5_s5_on_method_resp))
        close_silently(c, X_ERROR_EVENT_OPT, "s5 to s5 add event failed");
}

void s5_s5_on_method_resp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    int rc = x_forward_recv_fixed(&c->down.buf, ev->fd, X_FORWARD_S5_SHORT_REPLY);
    if (rc == X_FORWARD_AGAIN) return;
    if (rc != X_FORWARD_DONE) {
        close_silently(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "s5 tcp to s5 recv method resp failed");
        return;
    }
    uint8_t method = c->down.buf.pos[1];
    x_forward_consume(c);
    if (method == S5_METHOD_NONE) {
        s5_s5_send_connect(c);
    } else if (method == S5_METHOD_USERPASS && c->forward->has_username) {
        c->needrecv = X_FORWARD_S5_SHORT_REPLY;
        if (!x_forward_watch(c, s5_s5_on_auth_resp)) {
            reply_and_close(c, S5_REP_FAILURE, X_ERROR_EVENT_OPT, "s5 tcp to s5 add event failed");
            return;
        }
        int err = 0;
        const ngx_str_t &auth = c->forward->s5_auth;
        // A reset is left for the next read to see.
        if (!x_forward_send(c, auth.data, auth.len, &err) && err != ECONNRESET)
            reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_SEND_TO_SERVER,
                            "s5 tcp to s5 send auth request failed");
    } else if (method == S5_METHOD_USERPASS) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_FORWARD_S5_CONFER_FAILED,
                        "s5 tcp to s5 need name but not had");
    } else {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_FORWARD_S5_CONFER_FAILED,
                        "s5 tcp to s5 no acceptable methods");
    }
}

void s5_s5_on_auth_resp(x_server_t *, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    int rc = x_forward_recv_fixed(&c->down.buf, ev->fd, X_FORWARD_S5_SHORT_REPLY);
    if (rc == X_FORWARD_AGAIN) return;
    if (rc != X_FORWARD_DONE) {
        close_silently(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "s5 tcp to s5 recv auth resp failed");
        return;
    }
    uint8_t status = c->down.buf.pos[1];
    x_forward_consume(c);
    if (status != 0) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_FORWARD_S5_AUTH_FAILED,
                        "s5 tcp to s5 auth failed");
        return;
    }
    s5_s5_send_connect(c);
}

void s5_s5_send_connect(x_client_t *c) {
    uint8_t req[X_FORWARD_S5_REQUEST_MAX];
    size_t n =
        x_forward_s5_connect_request(&c->acl_match.target_host, c->acl_match.target_port, req);
    if (n == 0) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_FORMAT_STRING,
                        "s5 tcp to s5 fill connect request failed");
        return;
    }
    if (!x_forward_watch(c, s5_s5_on_connect_resp)) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_EVENT_OPT, "s5 tcp to s5 add event failed");
        return;
    }
    int err = 0;
    if (!x_forward_send(c, req, n, &err) && err != ECONNRESET)
        close_silently(c, X_ERROR_SOCKET_SEND_TO_SERVER,
                       "s5 tcp to s5 send connect request failed");
}

void s5_s5_on_connect_resp(x_server_t *server, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    int rc = x_forward_recv_s5_reply(&c->down.buf, ev->fd);
    if (rc == X_FORWARD_AGAIN) return;
    if (rc != X_FORWARD_DONE) {
        close_silently(c, X_ERROR_SOCKET_RECV_FROM_SERVER, "s5 tcp to s5 recv connect resp failed");
        return;
    }
    uint8_t rep = c->down.buf.pos[1];
    x_forward_consume(c);
    if (rep == S5_REP_SUCCESS) {
        s5_on_connect_dst(server, ev, 0);
        return;
    }
    if (retry_upstream(c, S5_REP_REFUSED, "s5 to s5 connect resp retry del event failed")) return;
    char msg[64];
    snprintf(msg, sizeof msg, "s5 tcp to s5 connect resp failed code [%u]", rep);
    reply_and_close(c, rep, X_ERROR_FORWARD_S5_CONNECT_FAILED, msg);
}

void s5_http_on_connect_forward(x_server_t *, event_data_t *ev, uint32_t events) {
    x_client_t *c = ev->client;
    if (!forward_connected(c, ev, events, "s5 tcp to http alloc failed")) return;
    char req[X_FORWARD_BUF_SIZE];
    int n = x_forward_http_connect_request(c->forward, &c->acl_match.target_host,
                                           c->acl_match.target_port, false, req, sizeof req);
    if (n < 0) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_FORMAT_STRING,
                        "s5 tcp to http fill connect request failed");
        return;
    }
    int err = 0;
    if (!x_forward_send(c, req, static_cast<size_t>(n), &err)) {
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_SEND_TO_SERVER,
                        "s5 tcp to http send connect request failed");
        return;
    }
    if (!x_forward_watch(c, s5_http_on_resp))
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_EVENT_OPT, "s5 tcp add dst event fail");
}

void s5_http_on_resp(x_server_t *server, event_data_t *ev, uint32_t) {
    x_client_t *c = ev->client;
    unsigned status = 0;
    int rc = x_forward_recv_http_resp(&c->down.buf, ev->fd, &status);
    switch (rc) {
    case X_FORWARD_AGAIN:
        return;
    case X_FORWARD_DONE:
        break;
    case X_FORWARD_CLOSED:
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_SOCKET_RECV_FROM_SERVER,
                        "s5 tcp to http next node closed");
        return;
    case X_FORWARD_TOO_LONG:
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_FORWARD_HTTP_RESPONSE_RESOLVE,
                        "s5 tcp to http recv failed");
        return;
    default:
        reply_and_close(c, S5_REP_FAILURE, X_ERROR_FORWARD_HTTP_RESPONSE_RESOLVE,
                        "s5 tcp to http parse failed");
        return;
    }
    x_forward_consume(c);
    if (status == 200) {
        s5_on_connect_dst(server, ev, 0);
        return;
    }
    if (retry_upstream(c, S5_REP_FAILURE, "s5 to http connect resp retry del event failed")) return;
    char msg[64];
    snprintf(msg, sizeof msg, "s5 to http connect resp failed code [%u]", status);
    reply_and_close(c, S5_REP_FAILURE, X_ERROR_FORWARD_HTTP_CONNECT_FAILED, msg);
}
