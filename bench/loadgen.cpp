// Load generator and origin for proxy benchmarks: one epoll loop per process, no threads.
//
//   loadgen origin   --echo P --http P --source P
//   loadgen sessions --proxy P --proto PROTO --target P [--user U --pass W] --conc N --secs S
//   loadgen bulk     --proxy P --proto PROTO --target P --mode down|both --conc N --secs S
//   (sessions and bulk with --pid PID also report the CPU time of PID's process tree over the
//   window: per session, and per MB moved)
//   loadgen idle     --proxy P --proto PROTO --target P --count N --pid PID
//
// PROTO is direct, direct-get (a plain GET to the origin), s5, s5auth, connect or get. Every
// address is 127.0.0.1. Each client mode ends with one line "RESULT key=value ..." on standard
// output for the runner to collect.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t ECHO_SIZE = 64;
constexpr size_t BULK_CHUNK = 256 * 1024;
constexpr int MAX_EVENTS = 512;
constexpr uint64_t SESSION_TIMEOUT_US = 10'000'000;

uint64_t now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000u +
           static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

[[noreturn]] void die(const char *what) {
    fprintf(stderr, "loadgen: %s: %s\n", what, strerror(errno));
    exit(2);
}

void raise_fd_limit() {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &rl);
    }
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

int listen_on(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) die("socket");
    int one = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) die("bind");
    if (listen(fd, 4096) < 0) die("listen");
    return fd;
}

// A process and all its descendants (peers that fork count whole).
std::vector<pid_t> process_tree(pid_t root) {
    std::vector<std::pair<pid_t, pid_t>> procs; // pid, parent
    DIR *d = opendir("/proc");
    if (!d) return {root};
    while (dirent *e = readdir(d)) {
        pid_t pid = static_cast<pid_t>(atoi(e->d_name));
        if (pid <= 0) continue;
        char path[64], line[512];
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        FILE *f = fopen(path, "r");
        if (!f) continue;
        if (fgets(line, sizeof line, f)) {
            const char *p = strrchr(line, ')');
            int ppid = 0;
            if (p && sscanf(p + 2, "%*c %d", &ppid) == 1) procs.emplace_back(pid, ppid);
        }
        fclose(f);
    }
    closedir(d);
    std::vector<pid_t> tree{root};
    for (size_t i = 0; i < tree.size(); i++)
        for (auto &[pid, ppid] : procs)
            if (ppid == tree[i]) tree.push_back(pid);
    return tree;
}

// Resident set of a process tree, in KiB.
uint64_t rss_tree_kb(pid_t root) {
    uint64_t total = 0;
    for (pid_t pid : process_tree(root)) {
        char path[64], line[256];
        snprintf(path, sizeof path, "/proc/%d/status", pid);
        FILE *f = fopen(path, "r");
        if (!f) continue;
        while (fgets(line, sizeof line, f)) {
            unsigned long kb;
            if (sscanf(line, "VmRSS: %lu kB", &kb) == 1) total += kb;
        }
        fclose(f);
    }
    return total;
}

// CPU time (user + system, all threads, reaped children included) of a process tree, in
// microseconds; 0 without a process to look at.
uint64_t cpu_tree_us(pid_t root) {
    if (root == 0) return 0;
    static const long hz = sysconf(_SC_CLK_TCK);
    uint64_t ticks = 0;
    for (pid_t pid : process_tree(root)) {
        char path[64], line[1024];
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        FILE *f = fopen(path, "r");
        if (!f) continue;
        if (fgets(line, sizeof line, f)) {
            const char *p = strrchr(line, ')');
            unsigned long long ut, st;
            long long cut, cst;
            // Fields after the name: state ppid pgrp session tty tpgid flags minflt cminflt
            // majflt cmajflt utime stime cutime cstime.
            if (p &&
                sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu %lld %lld",
                       &ut, &st, &cut, &cst) == 4)
                ticks += ut + st + static_cast<uint64_t>(cut + cst);
        }
        fclose(f);
    }
    return ticks * 1'000'000ull / static_cast<uint64_t>(hz);
}

// CPU ticks of each thread of one process, by thread id.
std::vector<std::pair<pid_t, uint64_t>> thread_ticks(pid_t pid) {
    std::vector<std::pair<pid_t, uint64_t>> out;
    char dir[64];
    snprintf(dir, sizeof dir, "/proc/%d/task", pid);
    DIR *d = opendir(dir);
    if (!d) return out;
    while (dirent *e = readdir(d)) {
        pid_t tid = static_cast<pid_t>(atoi(e->d_name));
        if (tid <= 0) continue;
        char path[96], line[1024];
        snprintf(path, sizeof path, "/proc/%d/task/%d/stat", pid, tid);
        FILE *f = fopen(path, "r");
        if (!f) continue;
        unsigned long long ut, st;
        const char *p = fgets(line, sizeof line, f) ? strrchr(line, ')') : nullptr;
        if (p &&
            sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) == 2)
            out.emplace_back(tid, ut + st);
        fclose(f);
    }
    closedir(d);
    return out;
}

// Threads of `pid` that did at least a fifth of the work of the busiest one since `before`.
int busy_threads(pid_t pid, const std::vector<std::pair<pid_t, uint64_t>> &before) {
    std::vector<uint64_t> used;
    for (auto &[tid, ticks] : thread_ticks(pid)) {
        uint64_t was = 0;
        for (auto &[t0, k0] : before)
            if (t0 == tid) was = k0;
        used.push_back(ticks - was);
    }
    uint64_t most = used.empty() ? 0 : *std::max_element(used.begin(), used.end());
    return most == 0 ? 0
                     : static_cast<int>(std::count_if(used.begin(), used.end(),
                                                      [&](uint64_t u) { return u * 5 >= most; }));
}

// ---------------------------------------------------------------------------------------------
// Origin: echo (sessions, idle), a tiny HTTP server (absolute-URI GET) and an endless source
// that also swallows whatever it is sent (bulk one way and both ways).

enum class Role { listen_echo, listen_http, listen_source, echo, http, source };

struct OriginConn {
    int fd;
    Role role;
    std::string pending; // bytes accepted for sending but not yet written
    std::string head;    // HTTP request bytes up to the empty line
};

char g_chunk[BULK_CHUNK];

void origin_close(int ep, OriginConn *c) {
    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    delete c;
}

void origin_want(int ep, OriginConn *c, uint32_t events) {
    epoll_event ev{events, {.ptr = c}};
    epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
}

// Writes what is pending; false when the connection broke.
bool origin_flush(int ep, OriginConn *c) {
    while (!c->pending.empty()) {
        ssize_t n = send(c->fd, c->pending.data(), c->pending.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN) {
            origin_want(ep, c, EPOLLOUT);
            return true;
        }
        if (n <= 0) return false;
        c->pending.erase(0, static_cast<size_t>(n));
    }
    origin_want(ep, c, EPOLLIN);
    return true;
}

bool origin_read(int ep, OriginConn *c) {
    // As much per event as the source writes per event: both directions of a session that
    // sends both ways get the same chance here, so any imbalance measured is the proxy's.
    static char buf[BULK_CHUNK];
    ssize_t n = recv(c->fd, buf, sizeof buf, 0);
    if (n < 0) return errno == EAGAIN;
    if (n == 0) return false;
    if (c->role == Role::source) return true;
    if (c->role == Role::echo) {
        c->pending.append(buf, static_cast<size_t>(n));
        return origin_flush(ep, c);
    }
    c->head.append(buf, static_cast<size_t>(n));
    if (c->head.size() > 65536) return false;
    if (c->head.find("\r\n\r\n") == std::string::npos) return true;
    c->head.clear(); // one response per request; the client closes
    c->pending.append("HTTP/1.1 200 OK\r\nContent-Length: 64\r\nContent-Type: text/plain\r\n\r\n");
    c->pending.append(ECHO_SIZE, 'o');
    return origin_flush(ep, c);
}

bool origin_source_write(OriginConn *c) {
    ssize_t n = send(c->fd, g_chunk, sizeof g_chunk, MSG_NOSIGNAL);
    return n > 0 || (n < 0 && errno == EAGAIN);
}

int run_origin(uint16_t echo_port, uint16_t http_port, uint16_t source_port) {
    memset(g_chunk, 's', sizeof g_chunk);
    int ep = epoll_create1(0);
    const std::pair<uint16_t, Role> ports[] = {{echo_port, Role::listen_echo},
                                               {http_port, Role::listen_http},
                                               {source_port, Role::listen_source}};
    for (auto [port, role] : ports) {
        if (!port) continue;
        auto *l = new OriginConn{listen_on(port), role, {}, {}};
        epoll_event ev{EPOLLIN, {.ptr = l}};
        epoll_ctl(ep, EPOLL_CTL_ADD, l->fd, &ev);
    }
    printf("origin ready\n");
    fflush(stdout);
    epoll_event events[MAX_EVENTS];
    for (;;) {
        int n = epoll_wait(ep, events, MAX_EVENTS, -1);
        for (int i = 0; i < n; i++) {
            auto *c = static_cast<OriginConn *>(events[i].data.ptr);
            if (c->role == Role::listen_echo || c->role == Role::listen_http ||
                c->role == Role::listen_source) {
                for (;;) {
                    int fd = accept4(c->fd, nullptr, nullptr, SOCK_NONBLOCK);
                    if (fd < 0) break;
                    int one = 1;
                    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    Role r = c->role == Role::listen_echo   ? Role::echo
                             : c->role == Role::listen_http ? Role::http
                                                            : Role::source;
                    auto *nc = new OriginConn{fd, r, {}, {}};
                    epoll_event ev{r == Role::source ? EPOLLIN | EPOLLOUT : EPOLLIN, {.ptr = nc}};
                    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
                }
                continue;
            }
            bool ok = true;
            if (events[i].events & (EPOLLERR | EPOLLHUP)) ok = false;
            if (ok && (events[i].events & EPOLLOUT))
                ok = c->role == Role::source ? origin_source_write(c) : origin_flush(ep, c);
            if (ok && (events[i].events & EPOLLIN)) ok = origin_read(ep, c);
            if (!ok) origin_close(ep, c);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Clients: each session runs a short script of sends and expected answers (the handshake of its
// protocol and, for sessions and idle, one 64-byte echo), then the mode decides what follows.

enum class Proto { direct, direct_get, s5, s5auth, connect, get };

enum class Op {
    send,        // write `data`
    expect,      // read data.size() bytes that must equal `data`
    socks_reply, // a SOCKS5 reply with code 0, any address type
    http_head,   // a response head with status 200
    http_body,   // the body the head announced with Content-Length
    echo,        // read ECHO_SIZE bytes back
};

struct Step {
    Op op;
    std::string data;
};

struct Options {
    std::string mode;
    Proto proto = Proto::direct;
    uint16_t proxy = 0, target = 0;
    std::string user = "bench", pass = "bench-pw";
    int conc = 50, secs = 5, count = 10000;
    bool both = false;
    pid_t pid = 0;
};

std::vector<Step> make_script(const Options &o, bool with_echo) {
    std::vector<Step> s;
    std::string target = "127.0.0.1:" + std::to_string(o.target);
    std::string ipv4_port("\x7f\x00\x00\x01", 4);
    ipv4_port += static_cast<char>(o.target >> 8);
    ipv4_port += static_cast<char>(o.target & 0xff);
    switch (o.proto) {
    case Proto::direct:
        break;
    case Proto::direct_get:
        s.push_back({Op::send, "GET / HTTP/1.1\r\nHost: " + target + "\r\n\r\n"});
        s.push_back({Op::http_head, {}});
        s.push_back({Op::http_body, {}});
        return s;
    case Proto::s5:
        s.push_back({Op::send, std::string("\x05\x01\x00", 3)});
        s.push_back({Op::expect, std::string("\x05\x00", 2)});
        s.push_back({Op::send, std::string("\x05\x01\x00\x01", 4) + ipv4_port});
        s.push_back({Op::socks_reply, {}});
        break;
    case Proto::s5auth: {
        std::string login("\x01", 1);
        login +=
            static_cast<char>(o.user.size()) + o.user + static_cast<char>(o.pass.size()) + o.pass;
        s.push_back({Op::send, std::string("\x05\x01\x02", 3)});
        s.push_back({Op::expect, std::string("\x05\x02", 2)});
        s.push_back({Op::send, login});
        s.push_back({Op::expect, std::string("\x01\x00", 2)});
        s.push_back({Op::send, std::string("\x05\x01\x00\x01", 4) + ipv4_port});
        s.push_back({Op::socks_reply, {}});
        break;
    }
    case Proto::connect:
        s.push_back({Op::send, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n"});
        s.push_back({Op::http_head, {}});
        break;
    case Proto::get:
        s.push_back(
            {Op::send, "GET http://" + target + "/ HTTP/1.1\r\nHost: " + target + "\r\n\r\n"});
        s.push_back({Op::http_head, {}});
        s.push_back({Op::http_body, {}});
        return s; // the GET itself is the exchange
    }
    if (with_echo) {
        s.push_back({Op::send, std::string(ECHO_SIZE, 'e')});
        s.push_back({Op::echo, {}});
    }
    return s;
}

struct Session {
    int fd = -1;
    bool connected = false;
    bool blocked = false; // waiting for writability of a partial send
    size_t step = 0;      // index into the script
    size_t sent = 0;      // bytes of the current send step written
    std::string in;       // bytes read and not yet consumed by the script
    size_t body_left = 0; // from Content-Length
    uint64_t started = 0; // us
    bool done = false;    // script finished
};

struct Client {
    Options o;
    std::vector<Step> script;
    int ep = -1;
    uint64_t errors = 0;
    std::vector<Session *> live;
};

void want(Client &cl, Session *s, uint32_t events, int op = EPOLL_CTL_MOD) {
    epoll_event ev{events, {.ptr = s}};
    if (epoll_ctl(cl.ep, op, s->fd, &ev) < 0) die("epoll_ctl");
}

Session *session_open(Client &cl) {
    auto *s = new Session;
    s->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (s->fd < 0) die("socket");
    int one = 1;
    (void)setsockopt(s->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool direct = cl.o.proto == Proto::direct || cl.o.proto == Proto::direct_get;
    sockaddr_in sa = loopback(direct ? cl.o.target : cl.o.proxy);
    s->started = now_us();
    if (connect(s->fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 && errno != EINPROGRESS)
        die("connect");
    want(cl, s, EPOLLOUT, EPOLL_CTL_ADD);
    return s;
}

void session_free(Session *s) {
    close(s->fd);
    delete s;
}

// Consumes what the current expect step needs; returns 1 done, 0 wait for more, -1 failure.
int consume(Session *s, const Step &st) {
    switch (st.op) {
    case Op::expect:
        if (s->in.size() < st.data.size()) return 0;
        if (s->in.compare(0, st.data.size(), st.data) != 0) return -1;
        s->in.erase(0, st.data.size());
        return 1;
    case Op::socks_reply: {
        if (s->in.size() < 5) return 0;
        if (s->in[0] != 5 || s->in[1] != 0) return -1;
        size_t len = s->in[3] == 1 ? 10 : s->in[3] == 4 ? 22 : 7 + static_cast<uint8_t>(s->in[4]);
        if (s->in.size() < len) return 0;
        s->in.erase(0, len);
        return 1;
    }
    case Op::http_head: {
        size_t end = s->in.find("\r\n\r\n");
        if (end == std::string::npos) return s->in.size() > 16384 ? -1 : 0;
        if (s->in.compare(0, 9, "HTTP/1.1 ") != 0 && s->in.compare(0, 9, "HTTP/1.0 ") != 0)
            return -1;
        if (s->in.compare(9, 3, "200") != 0) return -1;
        std::string head = s->in.substr(0, end);
        for (auto &ch : head)
            ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        size_t cl = head.find("\r\ncontent-length:");
        s->body_left = cl == std::string::npos ? 0 : strtoul(head.c_str() + cl + 17, nullptr, 10);
        s->in.erase(0, end + 4);
        return 1;
    }
    case Op::http_body: {
        size_t take = std::min(s->body_left, s->in.size());
        s->body_left -= take;
        s->in.erase(0, take);
        return s->body_left == 0 ? 1 : 0;
    }
    case Op::echo:
        if (s->in.size() < ECHO_SIZE) return 0;
        s->in.erase(0, ECHO_SIZE);
        return 1;
    case Op::send:
        break;
    }
    return -1;
}

// Moves the script forward as far as the bytes at hand allow; false on failure.
bool advance(Client &cl, Session *s) {
    while (s->step < cl.script.size()) {
        const Step &st = cl.script[s->step];
        if (st.op == Op::send) {
            while (s->sent < st.data.size()) {
                ssize_t n =
                    send(s->fd, st.data.data() + s->sent, st.data.size() - s->sent, MSG_NOSIGNAL);
                if (n < 0 && errno == EAGAIN) {
                    if (!s->blocked) want(cl, s, EPOLLIN | EPOLLOUT);
                    s->blocked = true;
                    return true;
                }
                if (n <= 0) return false;
                s->sent += static_cast<size_t>(n);
            }
            s->sent = 0;
            if (s->blocked) want(cl, s, EPOLLIN);
            s->blocked = false;
        } else {
            int r = consume(s, st);
            if (r < 0) return false;
            if (r == 0) return true;
        }
        s->step++;
    }
    s->done = true;
    return true;
}

// Reads what is there into the session's input; false on end of stream or error.
bool fill(Session *s) {
    char buf[16384];
    ssize_t n = recv(s->fd, buf, sizeof buf, 0);
    if (n > 0) {
        s->in.append(buf, static_cast<size_t>(n));
        return true;
    }
    return n < 0 && errno == EAGAIN;
}

// One readiness event of a session still in its script; false on failure.
bool script_event(Client &cl, Session *s, uint32_t events) {
    if (!s->connected) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err || (events & (EPOLLERR | EPOLLHUP))) return false;
        s->connected = true;
        want(cl, s, EPOLLIN);
        return advance(cl, s);
    }
    if ((events & EPOLLIN) && !fill(s)) return false;
    return advance(cl, s);
}

// Latency percentile of sorted samples, p in [0, 100].
uint64_t percentile(const std::vector<uint64_t> &v, double p) {
    if (v.empty()) return 0;
    size_t i = static_cast<size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

int run_sessions(Client &cl) {
    cl.script = make_script(cl.o, true);
    const uint64_t warm = 500'000, t0 = now_us(), from = t0 + warm,
                   until = from + cl.o.secs * 1'000'000ull;
    std::vector<uint64_t> lat;
    lat.reserve(1 << 20);
    uint64_t done_in_window = 0, done_all = 0; // the whole run, for per-session counts of a profile
    for (int i = 0; i < cl.o.conc; i++)
        session_open(cl);
    epoll_event events[MAX_EVENTS];
    uint64_t now = t0;
    size_t open = static_cast<size_t>(cl.o.conc);
    uint64_t cpu_from = 0, cpu_until = 0; // the proxy's CPU time at both ends of the window
    bool cpu_started = false, cpu_ended = false;
    while (open > 0) {
        int n = epoll_wait(cl.ep, events, MAX_EVENTS, 100);
        now = now_us();
        if (!cpu_started && now >= from) {
            cpu_started = true;
            cpu_from = cpu_tree_us(cl.o.pid);
        }
        if (!cpu_ended && now >= until) {
            cpu_ended = true;
            cpu_until = cpu_tree_us(cl.o.pid);
        }
        for (int i = 0; i < n; i++) {
            auto *s = static_cast<Session *>(events[i].data.ptr);
            bool ok = script_event(cl, s, events[i].events);
            if (ok && !s->done) continue;
            if (ok) {
                done_all++;
                if (now >= from && now < until) {
                    done_in_window++;
                    lat.push_back(now - s->started);
                }
            } else if (now < until) {
                cl.errors++;
            }
            session_free(s);
            open--;
            if (now < until) {
                session_open(cl);
                open++;
            }
        }
        if (now >= until + SESSION_TIMEOUT_US) break; // a stuck session must not hold the run
    }
    std::sort(lat.begin(), lat.end());
    printf("RESULT mode=sessions sessions_per_s=%.0f p50_us=%" PRIu64 " p99_us=%" PRIu64
           " completed=%" PRIu64 " total=%" PRIu64 " errors=%" PRIu64 " stuck=%zu",
           static_cast<double>(done_in_window) / cl.o.secs, percentile(lat, 50),
           percentile(lat, 99), done_in_window, done_all, cl.errors, open);
    if (cl.o.pid && cpu_ended && done_in_window)
        printf(" cpu_us_per_session=%.1f",
               static_cast<double>(cpu_until - cpu_from) / static_cast<double>(done_in_window));
    printf("\n");
    return 0;
}

int run_bulk(Client &cl) {
    cl.script = make_script(cl.o, false);
    memset(g_chunk, 'c', sizeof g_chunk);
    std::vector<Session *> ss;
    for (int i = 0; i < cl.o.conc; i++)
        ss.push_back(session_open(cl));
    static char sink[BULK_CHUNK];
    uint64_t all_bytes = 0; // the whole run, for per-megabyte counts of a profile
    uint64_t recvd = 0, sent = 0, ready = 0, t_start = 0, t_end = 0,
             deadline = now_us() + SESSION_TIMEOUT_US;
    bool measuring = false;
    uint64_t cpu_from = 0; // the proxy's CPU time when the window opened
    std::vector<std::pair<pid_t, uint64_t>> ticks_from; // and of each of its threads
    epoll_event events[MAX_EVENTS];
    for (;;) {
        int n = epoll_wait(cl.ep, events, MAX_EVENTS, 100);
        uint64_t now = now_us();
        for (int i = 0; i < n; i++) {
            auto *s = static_cast<Session *>(events[i].data.ptr);
            uint32_t e = events[i].events;
            if (!s->done) {
                if (!script_event(cl, s, e)) {
                    fprintf(stderr, "loadgen: bulk handshake failed\n");
                    return 1;
                }
                if (s->done) {
                    recvd += measuring ? s->in.size() : 0;
                    s->in.clear();
                    want(cl, s, cl.o.both ? EPOLLIN | EPOLLOUT : EPOLLIN);
                    if (++ready == ss.size())
                        t_start = now + 500'000; // all streaming: warm up, then count
                }
                continue;
            }
            if (e & (EPOLLERR | EPOLLHUP)) {
                fprintf(stderr, "loadgen: bulk session broke\n");
                return 1;
            }
            if (e & EPOLLIN) {
                ssize_t r = recv(s->fd, sink, sizeof sink, 0);
                if (r == 0 || (r < 0 && errno != EAGAIN)) {
                    fprintf(stderr, "loadgen: bulk session closed\n");
                    return 1;
                }
                if (r > 0) all_bytes += static_cast<uint64_t>(r);
                if (r > 0 && measuring) recvd += static_cast<uint64_t>(r);
            }
            if (e & EPOLLOUT) {
                ssize_t w = send(s->fd, g_chunk, sizeof g_chunk, MSG_NOSIGNAL);
                if (w < 0 && errno != EAGAIN) {
                    fprintf(stderr, "loadgen: bulk send failed\n");
                    return 1;
                }
                if (w > 0) all_bytes += static_cast<uint64_t>(w);
                if (w > 0 && measuring) sent += static_cast<uint64_t>(w);
            }
        }
        if (!t_start && now > deadline) {
            // Some handshakes never finished (a proxy that starves new sessions beside busy
            // ones): measure the sessions that stream, and say how many they are.
            if (ready == 0) {
                fprintf(stderr, "loadgen: no bulk session got through its handshake\n");
                return 1;
            }
            fprintf(stderr, "loadgen: only %" PRIu64 " of %zu bulk sessions streaming\n", ready,
                    ss.size());
            t_start = now;
        }
        if (t_start && !measuring && now >= t_start) {
            measuring = true;
            t_end = now + cl.o.secs * 1'000'000ull;
            cpu_from = cpu_tree_us(cl.o.pid);
            if (cl.o.pid) ticks_from = thread_ticks(cl.o.pid);
        }
        if (measuring && now >= t_end) break;
    }
    uint64_t cpu_used = cpu_tree_us(cl.o.pid) - cpu_from;
    double secs = static_cast<double>(cl.o.secs);
    printf("RESULT mode=bulk down_MBps=%.2f up_MBps=%.2f total_MBps=%.2f all_bytes=%" PRIu64
           " streaming=%" PRIu64,
           recvd / secs / 1e6, sent / secs / 1e6, (recvd + sent) / secs / 1e6, all_bytes, ready);
    if (cl.o.pid && recvd + sent)
        printf(" cpu_ms_per_MB=%.3f busy_threads=%d",
               static_cast<double>(cpu_used) / 1e3 / (static_cast<double>(recvd + sent) / 1e6),
               busy_threads(cl.o.pid, ticks_from));
    printf("\n");
    return 0;
}

int run_idle(Client &cl) {
    cl.script = make_script(cl.o, true);
    uint64_t before = cl.o.pid ? rss_tree_kb(cl.o.pid) : 0;
    const int window = 256; // handshakes in flight at once
    int opened = 0, inflight = 0, established = 0;
    epoll_event events[MAX_EVENTS];
    uint64_t deadline = now_us() + 120'000'000ull;
    while ((opened < cl.o.count || inflight > 0) && now_us() < deadline) {
        while (opened < cl.o.count && inflight < window) {
            cl.live.push_back(session_open(cl));
            opened++;
            inflight++;
        }
        int n = epoll_wait(cl.ep, events, MAX_EVENTS, 100);
        for (int i = 0; i < n; i++) {
            auto *s = static_cast<Session *>(events[i].data.ptr);
            if (s->done) { // an established session that heard something: the proxy closed it
                cl.errors++;
                epoll_ctl(cl.ep, EPOLL_CTL_DEL, s->fd, nullptr);
                continue;
            }
            bool ok = script_event(cl, s, events[i].events);
            if (ok && !s->done) continue;
            inflight--;
            if (ok) {
                established++;
            } else {
                cl.errors++;
                epoll_ctl(cl.ep, EPOLL_CTL_DEL, s->fd, nullptr);
                s->done = true;
            }
        }
    }
    sleep(2); // let the proxy settle (deferred frees, lazy buffers)
    uint64_t after = cl.o.pid ? rss_tree_kb(cl.o.pid) : 0;
    // Still alive? One more echo on every established session would disturb the figure, so only
    // look for closes that arrived while we waited.
    int n = epoll_wait(cl.ep, events, MAX_EVENTS, 0);
    uint64_t closed = n > 0 ? static_cast<uint64_t>(n) : 0;
    double per = established ? (static_cast<double>(after) - static_cast<double>(before)) * 1024.0 /
                                   established
                             : 0;
    printf("RESULT mode=idle established=%d errors=%" PRIu64 " closed_while_idle=%" PRIu64
           " rss_before_kb=%" PRIu64 " rss_after_kb=%" PRIu64 " bytes_per_session=%.0f\n",
           established, cl.errors, closed, before, after, per);
    for (Session *s : cl.live)
        session_free(s);
    return 0;
}

bool parse_proto(const char *v, Proto *p) {
    const std::pair<const char *, Proto> names[] = {
        {"direct", Proto::direct}, {"direct-get", Proto::direct_get}, {"s5", Proto::s5},
        {"s5auth", Proto::s5auth}, {"connect", Proto::connect},       {"get", Proto::get}};
    for (auto &[name, proto] : names)
        if (strcmp(v, name) == 0) {
            *p = proto;
            return true;
        }
    return false;
}

int usage() {
    fprintf(
        stderr,
        "usage: loadgen origin --echo P --http P --source P\n"
        "       loadgen sessions|bulk|idle --proxy P --proto "
        "direct|direct-get|s5|s5auth|connect|get --target P\n"
        "               [--user U --pass W] [--conc N] [--secs S] [--mode down|both] [--count N]"
        " [--pid PID]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    raise_fd_limit();
    if (argc < 2) return usage();
    Options o;
    o.mode = argv[1];
    uint16_t echo = 0, http = 0, source = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        const char *v = argv[i + 1];
        if (k == "--echo")
            echo = static_cast<uint16_t>(atoi(v));
        else if (k == "--http")
            http = static_cast<uint16_t>(atoi(v));
        else if (k == "--source")
            source = static_cast<uint16_t>(atoi(v));
        else if (k == "--proxy")
            o.proxy = static_cast<uint16_t>(atoi(v));
        else if (k == "--target")
            o.target = static_cast<uint16_t>(atoi(v));
        else if (k == "--proto") {
            if (!parse_proto(v, &o.proto)) return usage();
        } else if (k == "--user")
            o.user = v;
        else if (k == "--pass")
            o.pass = v;
        else if (k == "--conc")
            o.conc = atoi(v);
        else if (k == "--secs")
            o.secs = atoi(v);
        else if (k == "--count")
            o.count = atoi(v);
        else if (k == "--mode")
            o.both = strcmp(v, "both") == 0;
        else if (k == "--pid")
            o.pid = static_cast<pid_t>(atoi(v));
        else
            return usage();
    }
    if (o.mode == "origin") return run_origin(echo, http, source);
    if (!o.target || (o.proto != Proto::direct && o.proto != Proto::direct_get && !o.proxy) ||
        o.conc < 1 || o.secs < 1)
        return usage();
    if (o.user.size() > 255 || o.pass.size() > 255) return usage();
    Client cl;
    cl.o = o;
    cl.ep = epoll_create1(0);
    if (cl.ep < 0) die("epoll_create1");
    if (o.mode == "sessions") return run_sessions(cl);
    if (o.mode == "bulk") return run_bulk(cl);
    if (o.mode == "idle") return run_idle(cl);
    return usage();
}
