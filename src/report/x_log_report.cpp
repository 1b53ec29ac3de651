#include "report/x_log_report.h"

#include "core/log.h"
#include "core/platform_kni.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "core/x_timer.h"
#include "report/x_log_file.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char *report_proto_name(int protocol) {
    static const char *const names[] = {"", "http", "socks5", "https"};
    return protocol >= 0 && protocol < 4 ? names[protocol] : "";
}

// "%u.%u.%u.%u" of an address in network order.
void dotted(char *out, size_t cap, in_addr_t addr) {
    const auto *b = reinterpret_cast<const uint8_t *>(&addr);
    snprintf(out, cap, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

// The destination that was connected, with its port in host order.
void destination(const x_client_t *c, bool is_udp, char *out, size_t cap, unsigned *port) {
    if (c->is_ipv6) {
        const sockaddr_in6 *a6 = is_udp ? &c->udp_dst_addr_ipv6
                                        : reinterpret_cast<const sockaddr_in6 *>(&c->dst_addr_ipv6);
        if (inet_ntop(AF_INET6, &a6->sin6_addr, out, static_cast<socklen_t>(cap)) == nullptr)
            out[0] = '\0';
        *port = ntohs(a6->sin6_port);
        return;
    }
    const sockaddr_in &a = is_udp ? c->udp_dst_addr : c->dst_addr;
    dotted(out, cap, a.sin_addr.s_addr);
    *port = ntohs(a.sin_port);
}

// Composes the line into pkt; false (logged) when an address cannot be written or the line
// does not fit.
bool compose(const x_client_t *c, int protocol, bool is_udp, x_report_log_pkt_t *pkt) {
    uint64_t now = x_time_wall_ms();
    time_t secs = static_cast<time_t>(now / 1000);
    struct tm tm = {};
    localtime_r(&secs, &tm);

    char dst[INET6_ADDRSTRLEN];
    unsigned dst_port = 0;
    destination(c, is_udp, dst, sizeof dst, &dst_port);
    char client[INET_ADDRSTRLEN], local[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &c->addr.sin_addr, client, sizeof client) == nullptr ||
        inet_ntop(AF_INET, &c->localaddr.sin_addr, local, sizeof local) == nullptr) {
        log_error("x_report_log_pkt_t addr trans fail\n");
        return false;
    }

    // The token and the destination name come from the client: escaped so that neither can
    // add a field or a line.
    char token[X_REPORT_LOG_MAX], target[X_REPORT_LOG_MAX];
    const ngx_str_t &tok = c->auth_result.log_token;
    const ngx_str_t &host = c->acl_match.target_host;
    if (x_log_escape_field(token, sizeof token, tok.data, tok.len) == SIZE_MAX ||
        x_log_escape_field(target, sizeof target, host.data, host.len) == SIZE_MAX) {
        log_error("report log buf is too small\n");
        return false;
    }

    bool upstream = c->forward != nullptr && c->forward->host.len > 0;
    int n = snprintf(pkt->log, sizeof pkt->log,
                     "%.4d-%.2d-%.2d %.2d:%.2d:%.2d.%.3d\t%s\t%s:%u\t%s:%d\t%s:%d\t%s\t",
                     tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     static_cast<int>(now % 1000), token, target,
                     unsigned{c->acl_match.target_port}, local, ntohs(c->localaddr.sin_port),
                     client, ntohs(c->addr.sin_port), report_proto_name(protocol));
    if (n >= 0 && static_cast<size_t>(n) < sizeof pkt->log) {
        size_t used = static_cast<size_t>(n);
        int m = upstream
                    ? snprintf(pkt->log + used, sizeof pkt->log - used, "\n")
                    : snprintf(pkt->log + used, sizeof pkt->log - used, "%s:%u\t\n", dst, dst_port);
        n = m < 0 ? -1 : n + m;
    }
    if (n < 0 || static_cast<size_t>(n) >= sizeof pkt->log) {
        log_error("report log buf is too small\n");
        return false;
    }
    pkt->log_size = static_cast<uint32_t>(n);
    return true;
}

} // namespace

size_t x_log_escape_field(char *out, size_t cap, const uint8_t *src, size_t len) {
    static const char hex[] = "0123456789abcdef";
    size_t n = 0;
    for (size_t i = 0; i < len; i++) {
        uint8_t b = src[i];
        bool plain = b >= 0x20 && b != 0x7f && b != '\\';
        size_t need = plain ? 1 : 4;
        if (n + need >= cap) {
            if (cap) out[0] = '\0';
            return SIZE_MAX;
        }
        if (plain) {
            out[n++] = static_cast<char>(b);
        } else {
            out[n++] = '\\';
            out[n++] = 'x';
            out[n++] = hex[b >> 4];
            out[n++] = hex[b & 15];
        }
    }
    if (cap == 0) return SIZE_MAX;
    out[n] = '\0';
    return n;
}

x_log_report_t *x_log_report_create(int index, const char *path, uint32_t size_mb, uint32_t count) {
    auto *r = static_cast<x_log_report_t *>(calloc(1, sizeof(x_log_report_t)));
    if (r == nullptr) return nullptr;
    char prefix[X_LOG_FILE_AFFIX_MAX];
    snprintf(prefix, sizeof prefix, "x_report_%d", index);
    r->log_file = x_log_file_create(path, prefix, ".log", size_mb, count);
    if (r->log_file == nullptr) {
        free(r);
        return nullptr;
    }
    return r;
}

void x_log_report_free(x_log_report_t *r) {
    if (r == nullptr) return;
    x_log_file_free(r->log_file);
    free(r);
}

void x_log_send_report(x_client_t *c, int protocol, bool is_udp) {
    if (c->auth_result.log_token.len == 0) return;
    c->is_showreport = true;
    auto *pkt = static_cast<x_report_log_pkt_t *>(calloc(1, sizeof(x_report_log_pkt_t)));
    if (pkt == nullptr) {
        log_error("x_report_log_pkt_t calloc fail\n");
        return;
    }
    pkt->auth_index = c->auth_index;
    if (!compose(c, protocol, is_udp, pkt)) {
        free(pkt);
        return;
    }
    if (!pf_ipc_send_to_main(c->thread->index, X_IPC_REPORT, pkt)) {
        log_error("ipc send report to main failed\n");
        free(pkt);
    }
}

void x_log_do_report(x_log_report_t *r, const x_report_log_pkt_t *pkt) {
    if (r == nullptr || pkt->log_size > sizeof pkt->log) return;
    x_log_file_write(r->log_file, pkt->log, pkt->log_size);
    x_log_file_check_limit(r->log_file);
}

bool x_log_reports_start(x_server_t *s) {
    const x_config_server_t &cfg = s->config;
    if (cfg.auth_num == 0) return true;
    s->log_reports = static_cast<x_log_report_t **>(calloc(cfg.auth_num, sizeof(x_log_report_t *)));
    if (s->log_reports == nullptr) return false;
    for (uint32_t i = 0; i < cfg.auth_num; i++) {
        const x_config_auth_log_t &log = cfg.auths[i].access_log;
        if (log.log_path.len == 0) continue;
        s->log_reports[i] = x_log_report_create(static_cast<int>(i),
                                                reinterpret_cast<const char *>(log.log_path.data),
                                                log.log_size, log.log_num);
        if (s->log_reports[i] == nullptr) return false;
    }
    return true;
}

void x_log_reports_close(x_server_t *s) {
    if (s->log_reports == nullptr) return;
    for (uint32_t i = 0; i < s->config.auth_num; i++)
        x_log_report_free(s->log_reports[i]);
    free(s->log_reports);
    s->log_reports = nullptr;
}

void x_log_on_report(x_server_t *s, const x_report_log_pkt_t *pkt) {
    if (s->log_reports == nullptr || pkt->auth_index < 0) return;
    auto index = static_cast<uint32_t>(pkt->auth_index);
    if (index >= s->config.auth_num) return;
    x_log_do_report(s->log_reports[index], pkt);
}
