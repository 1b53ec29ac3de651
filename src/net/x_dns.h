// Asynchronous stub resolver, one per event-loop thread.
//
// A name is asked once over UDP of the first IPv4 name server of the resolver's resolv.conf,
// again over TCP when the answer comes back truncated, and answered through a callback with one
// IPv4 or IPv6 address. Up to four addresses per name are cached for the record's TTL (checked
// every 60 s); address literals, names of the hosts file and cached names are answered before
// x_dns_query returns. Nothing is retried: an unanswered query fails after 5 s.
//
// Answers are untrusted input, and a blind sender must not be able to forge one: every query
// leaves from its own UDP socket (a fresh ephemeral port) connected to the name server, so the
// kernel drops datagrams from anyone else, and carries a random transaction id from the kernel
// (x_random). A response is taken only when its id and its question (name compared
// case-insensitively, type and class) are those of the query, over UDP and over TCP alike; anything
// else is ignored, never fails the query, and is counted in one INFO line per minute at most. Every
// read of a message is bounds-checked and compression pointers are never followed.
//
// Queries that finish (answer, failure, timeout, cancel) are unregistered and closed at once but
// their memory is kept until the next x_dns_check, so an event for them still waiting in the
// current epoll batch finds a record with no handler instead of freed memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

#include "core/buf.h"
#include "core/epoll.h"
#include "core/x_error.h"
#include "core/x_timer.h"
#include "net/x_hosts.h"
#include "proto/ngx_string.h"

struct dict;

// Statuses given to the callback besides 0 (success): X_ERROR_DNS_STATUS_ERROR (sending, TCP,
// malformed answer or server failure), X_ERROR_DNS_STATUS_NOT_FOUND (no such name, no usable
// address, invalid name), X_ERROR_DNS_STATUS_TIMEOUT (no answer within 5 s), X_ERROR_ALLOC.

// Called once per query with the caller's context, a status and, for status 0, an address whose
// family (AF_INET or AF_INET6) and address are set; the port is left 0. Null for other statuses.
using x_dns_callback = void (*)(void *original, int status, struct sockaddr_storage *addr);

constexpr uint32_t X_DNS_MAX_ADDRS = 4;          // addresses kept per name
constexpr size_t X_DNS_MAX_NAME = 253;           // longest name asked, without a trailing dot
constexpr size_t X_DNS_MAX_LABEL = 63;           // longest label
constexpr uint64_t X_DNS_QUERY_TIMEOUT = 5000;   // ms to wait for an answer (again after TC)
constexpr uint64_t X_DNS_CACHE_CHECK = 60000;    // ms between expiry checks of a cache record
constexpr uint64_t X_DNS_RELOAD_MS = 10000;      // ms between checks of resolv.conf and hosts
constexpr uint64_t X_DNS_REPORT_MS = 60000;      // ms between lines about ignored answers
constexpr unsigned long X_DNS_CACHE_MAX = 65536; // names kept per family; more are not cached

struct x_dns_query_t;

struct x_dns_t {
    struct sockaddr_in server_addr; // name server (address and port, network order)
    int epfd;                       // the owning thread's epoll instance
    dict *pending;                  // transaction id -> x_dns_query_t * (owns the queries)
    dict *cache;                    // name -> x_dns_record_t * (owns the records)
    dict *cache_v6;                 // name -> x_dns_record_v6_t * (owns the records)
    uint64_t load_server_addr_time; // monotonic ms of the last read of resolv.conf
    x_timer_t query_timer;          // unanswered queries, 5000 ms
    x_timer_t cache_timer;          // cache expiry checks, 60000 ms
    char *resolv_conf;              // path of the resolv.conf read (owned copy)
    uint16_t server_port;           // name-server port, host order (53 outside tests)
    x_dns_query_t *finished;        // queries out of `pending`, freed by the next x_dns_check
    uint64_t ignored;               // answers ignored since the last report
    uint64_t report_time;           // monotonic ms of the last report of ignored answers
    char *hosts_path;               // hosts file, owned copy; null when names are not looked up
    x_hosts_t hosts;                // its names, as last read successfully
    x_hosts_stamp_t hosts_stamp;    // the version of the file those names come from
    bool hosts_report;              // this resolver logs loads of the hosts file
    bool hosts_failing;             // the last read failed (logged once until a read works)
};

struct x_dns_query_t {
    ngx_str_t domain;             // copy of the name asked (trailing dot removed), NUL-terminated
    x_dns_t *dns;                 // owning resolver
    void *original;               // caller's context, passed back to the callback
    x_dns_callback callback;      // null once called (or cancelled)
    uint16_t tid;                 // transaction id (random)
    bool is_ipv6;                 // AAAA instead of A
    struct sockaddr_in server;    // name server the question went to
    event_data_t ev_data;         // the query's UDP socket, then its TCP one (other_ctx = this)
    uint8_t request[512];         // 2-byte big-endian length, then the DNS message
    uint32_t request_len;         // bytes of `request` used, the length prefix included
    buf_t buf;                    // TCP receive buffer
    x_timer_event_t timeout;      // entry on query_timer
    x_dns_query_t *next_finished; // link of the resolver's `finished` list
};

struct x_dns_record_t {
    ngx_str_t domain;                     // the key
    in_addr_t addr_list[X_DNS_MAX_ADDRS]; // network order
    uint32_t addr_count;                  // 1 to 4
    uint32_t ttl;                         // seconds
    uint64_t query_time;                  // monotonic ms of the answer
    x_dns_t *dns;                         // owning resolver
    x_timer_event_t timeout;              // entry on cache_timer
};

struct x_dns_record_v6_t {
    ngx_str_t domain;
    struct in6_addr addr_list[X_DNS_MAX_ADDRS];
    uint32_t addr_count;
    uint32_t ttl;
    uint64_t query_time;
    x_dns_t *dns;
    x_timer_event_t timeout;
};

// Resolver on the name server of /etc/resolv.conf, port 53; null (logged) without a server or on
// any setup failure.
x_dns_t *x_dns_create(int epfd);
// The same with another resolv.conf path and name-server port (tests).
x_dns_t *x_dns_create_at(int epfd, const char *resolv_conf, uint16_t port);

// Answers names from the hosts file at path (null or empty: none, the default) from now on,
// re-reading it when it changes; a file that cannot be read at a re-read keeps the names read
// before. `localhost` answers 127.0.0.1 when the file does not name it. `report` makes this
// resolver log each load (one resolver per process should).
void x_dns_use_hosts(x_dns_t *dns, const char *path, bool report);

// Resolves the first host_len bytes of host (A, or AAAA when is_ipv6). Returns the pending query,
// which the caller keeps in order to cancel it, or null when the callback already ran (literal,
// hosts file, cache hit, invalid name, or immediate failure). A name of the hosts file gets its
// IPv4 address; an AAAA request takes its IPv6 address when the file gives it no IPv4 one. Names
// longer than 253 characters, labels over 63 bytes and empty labels get 638 without anything being
// sent; one trailing dot is ignored.
x_dns_query_t *x_dns_query(x_dns_t *dns, const char *host, size_t host_len, void *original,
                           x_dns_callback callback, bool is_ipv6);
// Drops a pending query without calling its callback. A query that already finished, or null,
// is ignored. Must not be called from the query's own callback.
void x_dns_cancel(x_dns_t *dns, x_dns_query_t *query);
// Once per loop pass, after the epoll batch: frees finished queries, fires query timeouts and
// cache expiry, every 10 s re-reads resolv.conf (logging a change of server) and the hosts file
// when it changed, and every 60 s logs how many answers were ignored, if any.
void x_dns_check(x_dns_t *dns);
// Frees everything; pending queries are dropped without callbacks. Never from a callback.
void x_dns_close(x_dns_t *dns);

// First "nameserver a.b.c.d" of /etc/resolv.conf (or of path), network order; 0 when none.
in_addr_t find_dns_server();
in_addr_t find_dns_server_in(const char *path);

// A parsed response: the addresses of the requested family (at most 4, in answer order) and
// the smallest non-zero TTL among them.
struct x_dns_answer_t {
    uint16_t rcode;                     // low 4 bits of the flags
    uint32_t addr_count;                // addresses collected
    uint32_t ttl;                       // seconds (0 when every TTL was 0)
    uint8_t addrs[X_DNS_MAX_ADDRS][16]; // 4 bytes each for A, 16 for AAAA
};
// Parses a complete DNS response of len bytes: 0 when at least one address was found, 638 for
// NXDOMAIN, no answers or no usable address, 637 for another non-zero RCODE or a message too
// short or malformed to read the header and question section. Reads nothing outside msg.
int x_dns_parse_response(const uint8_t *msg, size_t len, bool is_ipv6, x_dns_answer_t *out);
// Builds the query message (header, QNAME, type, class) for a name already validated by
// x_dns_name_valid into out (at least 512 bytes); returns its length.
size_t x_dns_build_query(uint8_t *out, uint16_t tid, const char *name, size_t len, bool is_ipv6);
// True when msg (len bytes) is a response to the query message `query` (query_len bytes, as
// x_dns_build_query made it): QR set, the same id, and a first question with the same name
// (ASCII case ignored), type and class.
bool x_dns_answer_matches(const uint8_t *msg, size_t len, const uint8_t *query, size_t query_len);
// True for 1 to 253 bytes of non-empty labels of at most 63 bytes each.
bool x_dns_name_valid(const char *name, size_t len);
