#include "net/x_dns.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "core/log.h"
#include "core/socket_util.h"
#include "core/x_random.h"
#include "dict/dict.h"

namespace {

constexpr uint16_t DNS_FLAG_QR = 0x8000; // message is a response
constexpr uint16_t DNS_FLAG_TC = 0x0200; // answer truncated: ask again over TCP
constexpr uint16_t DNS_FLAG_RD = 0x0100; // recursion desired
constexpr uint16_t DNS_RCODE_NXDOMAIN = 3;
constexpr uint16_t DNS_TYPE_A = 1;
constexpr uint16_t DNS_TYPE_AAAA = 28;
constexpr uint16_t DNS_CLASS_IN = 1;
constexpr size_t DNS_HEADER_LEN = 12;
constexpr size_t DNS_ANSWER_FIXED = 10; // type, class, ttl, data length
constexpr size_t DNS_UDP_MAX = 512;
constexpr size_t DNS_TCP_BUF = 1500;
constexpr int DNS_READS_PER_EVENT = 8; // messages read per readiness event before yielding
constexpr int DNS_ID_TRIES = 16;       // random ids drawn before giving up on a free one

// Wire header, all fields big-endian.
struct dns_header {
    uint16_t transaction_id;
    uint16_t flags;
    uint16_t num_questions;
    uint16_t num_answers;
    uint16_t num_authority_prs;
    uint16_t num_other_prs;
};
static_assert(sizeof(dns_header) == DNS_HEADER_LEN);

uint16_t rd16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t rd32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void wr16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// Moves *pos past the encoded name that starts there. A byte 0xC0-0xFF starts a two-byte
// compression pointer that ends the name (never followed); 0x40-0xBF is no valid label length.
// False when the name is malformed or would reach past len.
bool skip_name(const uint8_t *msg, size_t len, size_t *pos) {
    size_t p = *pos;
    for (;;) {
        if (p >= len) return false;
        uint8_t b = msg[p];
        if (b == 0) {
            *pos = p + 1;
            return true;
        }
        if ((b & 0xC0) == 0xC0) {
            if (len - p < 2) return false;
            *pos = p + 2;
            return true;
        }
        if ((b & 0xC0) != 0) return false;
        if (len - p - 1 < b) return false;
        p += 1 + static_cast<size_t>(b);
    }
}

void *tid_key(uint16_t tid) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(tid));
}

bool name_copy(ngx_str_t *dst, const char *src, size_t len) {
    auto *p = static_cast<uint8_t *>(malloc(len + 1));
    if (!p) return false;
    memcpy(p, src, len);
    p[len] = 0;
    dst->data = p;
    dst->len = len;
    return true;
}

void name_free(ngx_str_t *s) {
    free(s->data);
    s->data = nullptr;
    s->len = 0;
}

// ---- tables ----

// A query leaving `pending`: stop its timer, close its TCP socket, and keep its memory on the
// finished list until the next check (an event of the current batch may still point at it).
void query_retire(dict *, void *val) {
    auto *q = static_cast<x_dns_query_t *>(val);
    x_dns_t *dns = q->dns;
    x_timer_del(&q->timeout);
    if (q->ev_data.fd != 0) {
        (void)ev_del_event(dns->epfd, &q->ev_data);
        close(q->ev_data.fd);
        q->ev_data.fd = 0;
    }
    q->ev_data.handler = nullptr;
    buf_free(&q->buf);
    q->next_finished = dns->finished;
    dns->finished = q;
}

dictType pending_type = {
    dictHashU16Key, nullptr, nullptr, dictComparePtrKey, nullptr, query_retire, nullptr, nullptr,
};

uint64_t name_hash(const void *key) {
    auto *s = static_cast<const ngx_str_t *>(key);
    return dictGenHashFunction(s->data, s->len);
}

int name_compare(dict *, const void *a, const void *b) {
    auto *x = static_cast<const ngx_str_t *>(a);
    auto *y = static_cast<const ngx_str_t *>(b);
    return x->len == y->len && (x->len == 0 || memcmp(x->data, y->data, x->len) == 0);
}

template <typename R> void record_free(dict *, void *val) {
    auto *r = static_cast<R *>(val);
    x_timer_del(&r->timeout);
    name_free(&r->domain);
    free(r);
}

dictType cache_type = {
    name_hash, nullptr, nullptr, name_compare, nullptr, record_free<x_dns_record_t>,
    nullptr,   nullptr,
};
dictType cache_v6_type = {
    name_hash, nullptr, nullptr, name_compare, nullptr, record_free<x_dns_record_v6_t>,
    nullptr,   nullptr,
};

// ---- answers to the caller ----

void fill_v4(sockaddr_storage *ss, const void *addr) {
    memset(ss, 0, sizeof(*ss));
    auto *sin = reinterpret_cast<sockaddr_in *>(ss);
    sin->sin_family = AF_INET;
    memcpy(&sin->sin_addr, addr, 4);
}

void fill_v6(sockaddr_storage *ss, const void *addr) {
    memset(ss, 0, sizeof(*ss));
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(ss);
    sin6->sin6_family = AF_INET6;
    memcpy(&sin6->sin6_addr, addr, 16);
}

// Ends a pending query: out of `pending` first, so that whatever the callback does (a new query,
// cancelling another one) sees consistent tables, then the one callback call.
void query_finish(x_dns_query_t *q, int status, sockaddr_storage *addr) {
    x_dns_callback cb = q->callback;
    void *original = q->original;
    q->callback = nullptr;
    dictDelete(q->dns->pending, tid_key(q->tid));
    if (cb) cb(original, status, addr);
}

void free_finished(x_dns_t *dns) {
    while (dns->finished) {
        x_dns_query_t *q = dns->finished;
        dns->finished = q->next_finished;
        name_free(&q->domain);
        free(q);
    }
}

template <typename R> void cache_timeout(void *ctx, x_timer_event_t *) {
    auto *r = static_cast<R *>(ctx);
    x_dns_t *dns = r->dns;
    dict *cache = sizeof(r->addr_list[0]) == 4 ? dns->cache : dns->cache_v6;
    if (r->query_time + static_cast<uint64_t>(r->ttl) * 1000 > x_time_ms()) {
        x_timer_reg(&dns->cache_timer, &r->timeout);
        return;
    }
    dictDelete(cache, &r->domain);
}

template <typename R>
bool cache_pick(dict *cache, const char *host, size_t len, sockaddr_storage *ss) {
    ngx_str_t key{len, reinterpret_cast<uint8_t *>(const_cast<char *>(host))};
    auto *r = static_cast<R *>(dictFetchValue(cache, &key));
    if (!r || r->addr_count == 0) return false;
    const auto *addr = &r->addr_list[static_cast<uint32_t>(rand()) % r->addr_count];
    if (sizeof(*addr) == 4) {
        fill_v4(ss, addr);
    } else {
        fill_v6(ss, addr);
    }
    return true;
}

// Builds the cache record of an answer; null when it cannot be allocated.
template <typename R> R *record_new(x_dns_query_t *q, const x_dns_answer_t *ans) {
    auto *r = static_cast<R *>(calloc(1, sizeof(R)));
    if (!r) return nullptr;
    if (!name_copy(&r->domain, reinterpret_cast<const char *>(q->domain.data), q->domain.len)) {
        free(r);
        return nullptr;
    }
    for (uint32_t i = 0; i < ans->addr_count; i++) {
        memcpy(&r->addr_list[i], ans->addrs[i], sizeof(r->addr_list[i]));
    }
    r->addr_count = ans->addr_count;
    r->ttl = ans->ttl;
    r->query_time = x_time_ms();
    r->dns = q->dns;
    r->timeout.ctx = r;
    r->timeout.callback = cache_timeout<R>;
    return r;
}

// Keeps the record unless the name is already cached (another query finished first) or the
// cache is full; in those cases the record is freed.
template <typename R> void cache_store(x_dns_t *dns, dict *cache, R *r) {
    if (dictSize(cache) >= X_DNS_CACHE_MAX || dictAdd(cache, &r->domain, r) != DICT_OK) {
        name_free(&r->domain);
        free(r);
        return;
    }
    x_timer_reg(&dns->cache_timer, &r->timeout);
}

template <typename R>
void answer_and_cache(x_dns_query_t *q, dict *cache, const x_dns_answer_t *ans) {
    x_dns_t *dns = q->dns;
    R *r = record_new<R>(q, ans);
    if (!r) {
        query_finish(q, X_ERROR_ALLOC, nullptr);
        return;
    }
    sockaddr_storage ss;
    const auto *addr = &r->addr_list[static_cast<uint32_t>(rand()) % r->addr_count];
    if (sizeof(*addr) == 4) {
        fill_v4(&ss, addr);
    } else {
        fill_v6(&ss, addr);
    }
    query_finish(q, 0, &ss);
    cache_store(dns, cache, r);
}

void on_resolve_resp(x_dns_t *dns, x_dns_query_t *q, const uint8_t *msg, size_t len) {
    x_timer_del(&q->timeout);
    x_dns_answer_t ans;
    int status = x_dns_parse_response(msg, len, q->is_ipv6, &ans);
    if (status != 0) {
        if (status == X_ERROR_DNS_STATUS_ERROR) {
            if (ans.rcode != 0) {
                log_error("dns domain %.*s, reply code: %d\n", static_cast<int>(q->domain.len),
                          q->domain.data, ans.rcode);
            } else {
                log_error("dns domain %.*s, malformed reply\n", static_cast<int>(q->domain.len),
                          q->domain.data);
            }
        }
        query_finish(q, status, nullptr);
        return;
    }
    if (q->is_ipv6) {
        answer_and_cache<x_dns_record_v6_t>(q, dns->cache_v6, &ans);
    } else {
        answer_and_cache<x_dns_record_t>(q, dns->cache, &ans);
    }
}

void on_query_timeout(void *ctx, x_timer_event_t *) {
    query_finish(static_cast<x_dns_query_t *>(ctx), X_ERROR_DNS_STATUS_TIMEOUT, nullptr);
}

// ---- TCP ----

void on_tcp_relay(x_server_t *, event_data_t *ev, uint32_t events) {
    auto *q = static_cast<x_dns_query_t *>(ev->other_ctx);
    x_dns_t *dns = q->dns;
    if ((events & (EPOLLERR | EPOLLHUP)) && !(events & EPOLLIN)) {
        log_info("tcp [%s] [%d] do close\n", addr2str(&q->server), ev->fd);
        query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return;
    }
    for (int messages = 0; messages < DNS_READS_PER_EVENT;) {
        // Read exactly the length prefix, then exactly the message it announces.
        size_t have = buf_size(&q->buf);
        size_t total = have < 2 ? 2 : 2 + static_cast<size_t>(rd16(q->buf.pos));
        if (have >= total) {
            const uint8_t *msg = q->buf.pos + 2;
            if (x_dns_answer_matches(msg, total - 2, q->request + 2, q->request_len - 2)) {
                ev->handler = nullptr;
                on_resolve_resp(dns, q, msg, total - 2);
                return;
            }
            dns->ignored++; // not the answer to this question: wait for the next message
            q->buf.pos = q->buf.last = q->buf.start;
            messages++;
            continue;
        }
        size_t want = total - have;
        if (!buf_check_to_write(&q->buf, want)) {
            log_error("dns buf check failed, do close [%s] [%d]\n", addr2str(&q->server), ev->fd);
            query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
            return;
        }
        ssize_t n = recv(ev->fd, q->buf.last, want, 0);
        if (n == 0) {
            query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            int err = errno;
            log_error("tcp recv fd: %d error:[%d:%s]\n", ev->fd, err, strerror(err));
            query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
            return;
        }
        q->buf.last += n;
    }
}

void on_connect_server(x_server_t *, event_data_t *ev, uint32_t) {
    auto *q = static_cast<x_dns_query_t *>(ev->other_ctx);
    x_dns_t *dns = q->dns;
    if (!buf_alloc(&q->buf, DNS_TCP_BUF)) {
        log_error("dns tcp buf alloc fail\n");
        query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return;
    }
    if (!ev_add_event(dns->epfd, ev, EPOLLIN, on_tcp_relay)) {
        log_error("dns tcp add dst connect event failed\n");
        query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return;
    }
    ssize_t n = send(ev->fd, q->request, q->request_len, MSG_NOSIGNAL);
    if (n < 0 || static_cast<size_t>(n) < q->request_len) {
        log_error("dns tcp send failed\n");
        query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
    }
}

// Closes the query's UDP socket, if any.
void close_udp(x_dns_query_t *q) {
    if (q->ev_data.fd == 0) return;
    (void)ev_del_event(q->dns->epfd, &q->ev_data);
    close(q->ev_data.fd);
    q->ev_data.fd = 0;
}

void switch_to_tcp(x_dns_t *dns, x_dns_query_t *q) {
    close_udp(q);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_error("dns create tcp socket failed\n");
        query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return;
    }
    // From here the query owns the socket; finishing it closes the descriptor.
    q->ev_data.fd = fd;
    if (pf_socket_set_non_block(fd) != 0) {
        log_error("dns set non block failed\n");
        query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&q->server), sizeof(q->server)) != 0 &&
        errno != EINPROGRESS) {
        log_error("dns connect to tcp dst failed\n");
        query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return;
    }
    if (!ev_add_event(dns->epfd, &q->ev_data, EPOLLOUT, on_connect_server)) {
        log_error("dns add tcp dst connect event failed\n");
        query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return;
    }
    x_timer_reg(&dns->query_timer, &q->timeout);
}

// ---- UDP ----

// The query's UDP socket is readable. Being connected, it only receives datagrams from the name
// server's address and port; what is not the answer to this query is counted and dropped.
// Errors the socket reports (an ICMP unreachable, say) are dropped too: anyone can send those,
// so the query waits for its answer or its timeout.
void on_udp_data(x_server_t *, event_data_t *ev, uint32_t) {
    auto *q = static_cast<x_dns_query_t *>(ev->other_ctx);
    x_dns_t *dns = q->dns;
    for (int i = 0; i < DNS_READS_PER_EVENT; i++) {
        uint8_t msg[DNS_UDP_MAX] = {};
        // Never block: a readable socket can still drop a datagram with a bad checksum.
        ssize_t n = recv(ev->fd, msg, sizeof(msg), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNREFUSED) {
                log_error("udp recvfrom failed: %s\n", strerror(errno));
            }
            return;
        }
        auto len = static_cast<size_t>(n);
        if (!x_dns_answer_matches(msg, len, q->request + 2, q->request_len - 2)) {
            dns->ignored++;
            continue;
        }
        if (rd16(msg + 2) & DNS_FLAG_TC) {
            switch_to_tcp(dns, q);
        } else {
            on_resolve_resp(dns, q, msg, len);
        }
        return;
    }
}

// Opens the query's own UDP socket, connected to the name server, and sends the question.
// False (errno set) when any step fails; the socket is then owned by the query all the same.
bool send_udp(x_dns_t *dns, x_dns_query_t *q) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return false;
    q->ev_data.fd = fd;
    q->ev_data.other_ctx = q;
    q->ev_data.client = nullptr;
    q->server = dns->server_addr;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&q->server), sizeof(q->server)) != 0) {
        return false;
    }
    if (!ev_add_event(dns->epfd, &q->ev_data, EPOLLIN, on_udp_data)) return false;
    size_t msg_len = q->request_len - 2;
    ssize_t n = send(fd, q->request + 2, msg_len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0 && static_cast<size_t>(n) != msg_len) errno = EMSGSIZE;
    return n >= 0 && static_cast<size_t>(n) == msg_len;
}

// A fresh random transaction id, never 0 and not pending; 0 when none could be had.
uint16_t next_id(x_dns_t *dns) {
    for (int tries = 0; tries < DNS_ID_TRIES; tries++) {
        uint32_t r;
        if (!x_random_u32(&r)) {
            log_error("dns random id failed: %s\n", strerror(errno));
            return 0;
        }
        auto id = static_cast<uint16_t>(r);
        if (id != 0 && !dictFind(dns->pending, tid_key(id))) return id;
    }
    return 0;
}

void log_server_change(in_addr_t from, in_addr_t to) {
    auto *a = reinterpret_cast<const uint8_t *>(&from);
    auto *b = reinterpret_cast<const uint8_t *>(&to);
    log_info("dns server addr changed, reload: %u.%u.%u.%u -> %u.%u.%u.%u\n", a[0], a[1], a[2],
             a[3], b[0], b[1], b[2], b[3]);
}

bool literal_answer(const char *host, size_t host_len, bool is_ipv6, sockaddr_storage *ss) {
    if (!is_ipv6) {
        in_addr_t a = is_ip_addr(host, host_len);
        if (a == 0) return false;
        fill_v4(ss, &a);
        return true;
    }
    char text[INET6_ADDRSTRLEN + 1];
    if (host_len >= sizeof(text)) return false;
    memcpy(text, host, host_len);
    text[host_len] = 0;
    uint8_t addr[16];
    if (inet_pton(AF_INET6, text, addr) == 1) {
        fill_v6(ss, addr);
        return true;
    }
    if (inet_pton(AF_INET, text, addr) == 1) {
        fill_v4(ss, addr);
        return true;
    }
    return false;
}

// ---- hosts file ----

// Reads the hosts file: its names replace the ones held, or stay when it cannot be read.
void hosts_load(x_dns_t *dns) {
    x_hosts_t fresh;
    x_hosts_stamp_t stamp{};
    bool cut = false;
    if (!x_hosts_load(&fresh, dns->hosts_path, &stamp, &cut)) {
        if (dns->hosts_report && !dns->hosts_failing) {
            log_error("hosts file %s not read (%s), %zu names kept\n", dns->hosts_path,
                      strerror(errno), dns->hosts.name_count);
        }
        dns->hosts_failing = true;
        return;
    }
    x_hosts_free(&dns->hosts);
    dns->hosts = fresh;
    dns->hosts_stamp = stamp;
    dns->hosts_failing = false;
    if (!dns->hosts_report) return;
    if (cut) {
        log_error("hosts file %s is larger than %zu bytes: the lines after that are ignored\n",
                  dns->hosts_path, X_HOSTS_MAX_FILE);
    }
    log_info("hosts file %s loaded: %zu names\n", dns->hosts_path, dns->hosts.name_count);
}

// Re-reads the hosts file when it is another file or version than the one read last, or when
// the last read failed.
void hosts_check(x_dns_t *dns) {
    if (!dns->hosts_path) return;
    x_hosts_stamp_t now;
    bool same = x_hosts_stat(dns->hosts_path, &now) && x_hosts_same(&now, &dns->hosts_stamp);
    if (!same || dns->hosts_failing) hosts_load(dns);
}

// Answer from the hosts file for host (host_len bytes, one trailing dot allowed): its IPv4
// address, for an AAAA request its IPv6 one when it has no IPv4 address, and 127.0.0.1 for a
// localhost the file does not name.
bool hosts_answer(x_dns_t *dns, const char *host, size_t host_len, bool is_ipv6,
                  sockaddr_storage *ss) {
    if (!dns->hosts_path) return false;
    uint8_t addr[16];
    if (x_hosts_find(&dns->hosts, host, host_len, AF_INET, addr)) {
        fill_v4(ss, addr);
        return true;
    }
    if (is_ipv6 && x_hosts_find(&dns->hosts, host, host_len, AF_INET6, addr)) {
        fill_v6(ss, addr);
        return true;
    }
    size_t len = host[host_len - 1] == '.' ? host_len - 1 : host_len;
    if (len != 9 || strncasecmp(host, "localhost", 9) != 0) return false;
    in_addr_t loopback = htonl(INADDR_LOOPBACK);
    fill_v4(ss, &loopback);
    return true;
}

} // namespace

// ---- message codec ----

bool x_dns_name_valid(const char *name, size_t len) {
    if (!name || len == 0 || len > X_DNS_MAX_NAME) return false;
    size_t label = 0;
    for (size_t i = 0; i < len; i++) {
        if (name[i] != '.') {
            if (++label > X_DNS_MAX_LABEL) return false;
            continue;
        }
        if (label == 0) return false;
        label = 0;
    }
    return label != 0;
}

size_t x_dns_build_query(uint8_t *out, uint16_t tid, const char *name, size_t len, bool is_ipv6) {
    memset(out, 0, DNS_HEADER_LEN);
    wr16(out, tid);
    wr16(out + 2, DNS_FLAG_RD);
    wr16(out + 4, 1);
    size_t p = DNS_HEADER_LEN;
    size_t label_start = 0;
    for (size_t i = 0; i <= len; i++) {
        if (i < len && name[i] != '.') continue;
        size_t n = i - label_start;
        out[p++] = static_cast<uint8_t>(n);
        memcpy(out + p, name + label_start, n);
        p += n;
        label_start = i + 1;
    }
    out[p++] = 0;
    wr16(out + p, is_ipv6 ? DNS_TYPE_AAAA : DNS_TYPE_A);
    wr16(out + p + 2, DNS_CLASS_IN);
    return p + 4;
}

bool x_dns_answer_matches(const uint8_t *msg, size_t len, const uint8_t *query, size_t query_len) {
    if (!msg || !query || len < DNS_HEADER_LEN || query_len <= DNS_HEADER_LEN) return false;
    if (rd16(msg) != rd16(query) || !(rd16(msg + 2) & DNS_FLAG_QR) || rd16(msg + 4) == 0) {
        return false;
    }
    // The question of the query is its name, type and class: the same bytes must follow the
    // header of the response, the name's letters in any case. Label lengths (at most 63) are
    // no letters, so folding every byte of the name compares the names label by label.
    size_t question = query_len - DNS_HEADER_LEN;
    if (len - DNS_HEADER_LEN < question) return false;
    const uint8_t *a = msg + DNS_HEADER_LEN;
    const uint8_t *b = query + DNS_HEADER_LEN;
    size_t name = question - 4;
    for (size_t i = 0; i < name; i++) {
        auto fold = [](uint8_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return memcmp(a + name, b + name, 4) == 0;
}

int x_dns_parse_response(const uint8_t *msg, size_t len, bool is_ipv6, x_dns_answer_t *out) {
    memset(out, 0, sizeof(*out));
    if (!msg || len < DNS_HEADER_LEN) return X_ERROR_DNS_STATUS_ERROR;
    out->rcode = rd16(msg + 2) & 0x0F;
    uint16_t num_questions = rd16(msg + 4);
    uint16_t num_answers = rd16(msg + 6);
    if (out->rcode == DNS_RCODE_NXDOMAIN) return X_ERROR_DNS_STATUS_NOT_FOUND;
    if (out->rcode != 0) return X_ERROR_DNS_STATUS_ERROR;
    if (num_answers == 0) return X_ERROR_DNS_STATUS_NOT_FOUND;

    size_t pos = DNS_HEADER_LEN;
    for (uint16_t i = 0; i < num_questions; i++) {
        if (!skip_name(msg, len, &pos) || len - pos < 4) return X_ERROR_DNS_STATUS_ERROR;
        pos += 4;
    }

    const uint16_t want_type = is_ipv6 ? DNS_TYPE_AAAA : DNS_TYPE_A;
    const size_t want_len = is_ipv6 ? 16 : 4;
    for (uint16_t i = 0; i < num_answers && out->addr_count < X_DNS_MAX_ADDRS; i++) {
        if (!skip_name(msg, len, &pos) || len - pos < DNS_ANSWER_FIXED) break;
        uint16_t type = rd16(msg + pos);
        uint16_t classes = rd16(msg + pos + 2);
        uint32_t ttl = rd32(msg + pos + 4);
        size_t data_length = rd16(msg + pos + 8);
        pos += DNS_ANSWER_FIXED;
        if (len - pos < data_length) break;
        if (type == want_type && classes == DNS_CLASS_IN && data_length == want_len) {
            memcpy(out->addrs[out->addr_count++], msg + pos, want_len);
            // A TTL with its top bit set is read as 0; a kept 0 is replaced by the next TTL.
            if (ttl & 0x80000000u) ttl = 0;
            if (out->ttl == 0 || ttl < out->ttl) out->ttl = ttl;
        }
        pos += data_length;
    }
    return out->addr_count ? 0 : X_ERROR_DNS_STATUS_NOT_FOUND;
}

// ---- resolver ----

in_addr_t find_dns_server_in(const char *path) {
    FILE *f = fopen(path, "re");
    if (!f) return 0;
    char line[512];
    in_addr_t found = 0;
    while (fgets(line, sizeof(line), f)) {
        int o[4];
        if (sscanf(line, "nameserver %d.%d.%d.%d", &o[0], &o[1], &o[2], &o[3]) != 4) continue;
        bool octets = true;
        for (int v : o)
            octets = octets && v >= 0 && v <= 255;
        if (!octets) continue;
        auto *b = reinterpret_cast<uint8_t *>(&found);
        for (int i = 0; i < 4; i++)
            b[i] = static_cast<uint8_t>(o[i]);
        break;
    }
    fclose(f);
    return found;
}

in_addr_t find_dns_server() {
    return find_dns_server_in("/etc/resolv.conf");
}

x_dns_t *x_dns_create(int epfd) {
    return x_dns_create_at(epfd, "/etc/resolv.conf", 53);
}

x_dns_t *x_dns_create_at(int epfd, const char *resolv_conf, uint16_t port) {
    in_addr_t server_ip = find_dns_server_in(resolv_conf);
    if (server_ip == 0) {
        log_error("can not find dns server\n");
        return nullptr;
    }
    auto *dns = static_cast<x_dns_t *>(calloc(1, sizeof(x_dns_t)));
    if (!dns) return nullptr;
    dns->epfd = epfd;
    dns->server_port = port;
    dns->server_addr.sin_family = AF_INET;
    dns->server_addr.sin_port = htons(port);
    dns->server_addr.sin_addr.s_addr = server_ip;
    dns->load_server_addr_time = x_time_ms();
    dns->report_time = dns->load_server_addr_time;
    x_timer_init(&dns->query_timer, X_DNS_QUERY_TIMEOUT);
    x_timer_init(&dns->cache_timer, X_DNS_CACHE_CHECK);
    dns->resolv_conf = strdup(resolv_conf);
    if (!dns->resolv_conf) {
        x_dns_close(dns);
        return nullptr;
    }

    const char *failed = nullptr;
    if (!(dns->pending = dictCreate(&pending_type))) {
        failed = "create dns pending failed\n";
    } else if (!(dns->cache = dictCreate(&cache_type))) {
        failed = "create dns cache failed\n";
    } else if (!(dns->cache_v6 = dictCreate(&cache_v6_type))) {
        failed = "create dns cache v6 failed\n";
    }
    if (failed) {
        log_error("%s", failed);
        x_dns_close(dns);
        return nullptr;
    }
    return dns;
}

void x_dns_use_hosts(x_dns_t *dns, const char *path, bool report) {
    if (!dns) return;
    x_hosts_free(&dns->hosts);
    free(dns->hosts_path);
    dns->hosts_path = nullptr;
    dns->hosts_stamp = {};
    dns->hosts_failing = false;
    dns->hosts_report = report;
    if (!path || !*path) return;
    dns->hosts_path = strdup(path);
    if (!dns->hosts_path) {
        log_error("dns hosts file path alloc failed\n");
        return;
    }
    hosts_load(dns);
}

x_dns_query_t *x_dns_query(x_dns_t *dns, const char *host, size_t host_len, void *original,
                           x_dns_callback callback, bool is_ipv6) {
    if (!callback) return nullptr;
    if (!dns) {
        callback(original, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return nullptr;
    }
    if (!host || host_len == 0) {
        callback(original, X_ERROR_DNS_STATUS_NOT_FOUND, nullptr);
        return nullptr;
    }
    sockaddr_storage ss;
    if (literal_answer(host, host_len, is_ipv6, &ss)) {
        callback(original, 0, &ss);
        return nullptr;
    }
    size_t len = host[host_len - 1] == '.' ? host_len - 1 : host_len;
    bool hit = hosts_answer(dns, host, host_len, is_ipv6, &ss);
    if (!hit) {
        hit = is_ipv6 ? cache_pick<x_dns_record_v6_t>(dns->cache_v6, host, len, &ss)
                      : cache_pick<x_dns_record_t>(dns->cache, host, len, &ss);
    }
    if (hit) {
        callback(original, 0, &ss);
        return nullptr;
    }
    if (!x_dns_name_valid(host, len)) {
        callback(original, X_ERROR_DNS_STATUS_NOT_FOUND, nullptr);
        return nullptr;
    }

    uint16_t tid = next_id(dns);
    auto *q = tid ? static_cast<x_dns_query_t *>(calloc(1, sizeof(x_dns_query_t))) : nullptr;
    if (!q) {
        callback(original, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return nullptr;
    }
    q->is_ipv6 = is_ipv6;
    if (!name_copy(&q->domain, host, len)) {
        free(q);
        callback(original, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return nullptr;
    }
    q->tid = tid;
    q->dns = dns;
    q->original = original;
    q->callback = callback;
    if (dictAdd(dns->pending, tid_key(tid), q) != DICT_OK) {
        name_free(&q->domain);
        free(q);
        callback(original, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return nullptr;
    }

    size_t msg_len = x_dns_build_query(q->request + 2, tid, host, len, is_ipv6);
    wr16(q->request, static_cast<uint16_t>(msg_len));
    q->request_len = static_cast<uint32_t>(msg_len + 2);
    q->timeout.ctx = q;
    q->timeout.callback = on_query_timeout;
    x_timer_reg(&dns->query_timer, &q->timeout);

    if (!send_udp(dns, q)) {
        log_error("send dns query to %s failed: %s\n", addr2str(&dns->server_addr),
                  strerror(errno));
        query_finish(q, X_ERROR_DNS_STATUS_ERROR, nullptr);
        return nullptr;
    }
    return q;
}

void x_dns_cancel(x_dns_t *dns, x_dns_query_t *query) {
    if (!dns || !query || !dns->pending) return;
    if (dictFetchValue(dns->pending, tid_key(query->tid)) != query) return;
    query->callback = nullptr;
    dictDelete(dns->pending, tid_key(query->tid));
}

void x_dns_check(x_dns_t *dns) {
    free_finished(dns);
    x_timer_check(&dns->query_timer);
    x_timer_check(&dns->cache_timer);
    uint64_t now = x_time_ms();
    if (now - dns->report_time > X_DNS_REPORT_MS) {
        dns->report_time = now;
        if (dns->ignored != 0) {
            log_info("dns ignored %llu answers that did not match their question\n",
                     static_cast<unsigned long long>(dns->ignored));
            dns->ignored = 0;
        }
    }
    if (now - dns->load_server_addr_time <= X_DNS_RELOAD_MS) return;
    dns->load_server_addr_time = now;
    hosts_check(dns);
    in_addr_t addr = find_dns_server_in(dns->resolv_conf);
    if (addr == dns->server_addr.sin_addr.s_addr) return;
    log_server_change(dns->server_addr.sin_addr.s_addr, addr);
    dns->server_addr.sin_addr.s_addr = addr;
}

void x_dns_close(x_dns_t *dns) {
    if (!dns) return;
    if (dns->pending) dictRelease(dns->pending);
    dns->pending = nullptr;
    free_finished(dns);
    if (dns->cache) dictRelease(dns->cache);
    if (dns->cache_v6) dictRelease(dns->cache_v6);
    x_hosts_free(&dns->hosts);
    free(dns->hosts_path);
    free(dns->resolv_conf);
    free(dns);
}
