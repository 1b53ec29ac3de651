// Drives service transport clients in a pool for the end-to-end suite:
//   trans_probe [--reconn-inval ms] [--heartbeat ms] member...
// Each member is "ws:host:port", "tcp:host:port" or "udp:host:port"; member i sits in pool slot i.
// Prints "= ready", then reads commands from standard input, one a line:
//   send <len> <seed>   one message of len pattern bytes through the pool: "= sent <0|1>"
//   raw <text>          the text itself as one message
//   rss                 "= rss <resident kB>"
// and reports what the owner hears: "= init <slot>" and "= data <slot> <len> <fnv1a-64 hex>".
// Exits when standard input ends. The clients' own log lines go to standard output too.
#include "core/epoll.h"
#include "core/work_thread.h"
#include "net/x_conn_pool.h"
#include "net/x_dns.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>
#include <vector>

namespace {

void emit(const std::string &line) {
    printf("= %s\n", line.c_str());
    fflush(stdout);
}

uint64_t fnv1a(const uint8_t *d, size_t n) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; i++)
        h = (h ^ d[i]) * 0x100000001b3ull;
    return h;
}

bool on_data(void *o, const uint8_t *d, size_t n) {
    char hex[17];
    snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(fnv1a(d, n)));
    emit("data " + std::to_string(*static_cast<int *>(o)) + " " + std::to_string(n) + " " + hex);
    return true;
}
bool on_init(void *o) {
    emit("init " + std::to_string(*static_cast<int *>(o)));
    return true;
}

long rss_kb() {
    char line[256] = {};
    FILE *f = fopen("/proc/self/statm", "r");
    long size = 0, pages = 0;
    if (f && fgets(line, sizeof(line), f)) sscanf(line, "%ld %ld", &size, &pages);
    if (f) fclose(f);
    return pages * (sysconf(_SC_PAGESIZE) / 1024);
}

void send_message(x_conn_pool_t *pool, const std::vector<uint8_t> &msg) {
    emit(x_conn_pool_send(pool, msg.data(), msg.size()) ? "sent 1" : "sent 0");
}

void run_command(x_conn_pool_t *pool, const std::string &line) {
    char cmd[16] = {};
    size_t len = 0;
    unsigned seed = 0;
    if (sscanf(line.c_str(), "%15s", cmd) != 1) return;
    if (!strcmp(cmd, "send") && sscanf(line.c_str(), "send %zu %u", &len, &seed) == 2) {
        std::vector<uint8_t> msg(len);
        for (size_t i = 0; i < len; i++)
            msg[i] = static_cast<uint8_t>(seed * 7 + i * 13 + (i >> 8));
        send_message(pool, msg);
    } else if (!strcmp(cmd, "raw") && line.size() > 4) {
        send_message(pool, std::vector<uint8_t>(line.begin() + 4, line.end()));
    } else if (!strcmp(cmd, "rss")) {
        emit("rss " + std::to_string(rss_kb()));
    } else {
        emit("unknown command " + line);
    }
}

} // namespace

int main(int argc, char **argv) {
    uint32_t reconn_inval = 200, heartbeat = 10000;
    std::vector<std::string> members;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (i + 1 < argc && a == "--reconn-inval") {
            reconn_inval = static_cast<uint32_t>(atoi(argv[++i]));
        } else if (i + 1 < argc && a == "--heartbeat") {
            heartbeat = static_cast<uint32_t>(atoi(argv[++i]));
        } else {
            members.push_back(a);
        }
    }
    auto *thread = new work_thread_t{};
    thread->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    thread->dns = x_dns_create(thread->epoll_fd);
    x_conn_pool_t *pool = x_conn_pool_create(thread, "", 0, static_cast<uint32_t>(members.size()));
    std::vector<int> owners(members.size());
    for (size_t i = 0; pool && i < members.size(); i++) {
        std::string m = members[i];
        size_t c1 = m.find(':'), c2 = m.rfind(':');
        std::string kind = m.substr(0, c1), host = m.substr(c1 + 1, c2 - c1 - 1);
        uint16_t type = kind == "ws" ? X_TRANS_WS : kind == "udp" ? X_TRANS_UDP : X_TRANS_TCP;
        owners[i] = static_cast<int>(i);
        x_trans_client_t *c = x_trans_client_create(type, thread, "", 0);
        if (!c ||
            !c->do_init(c, host.c_str(), static_cast<uint16_t>(atoi(m.c_str() + c2 + 1)), "ws",
                        reconn_inval, 0, heartbeat, &owners[i], on_data, on_init, nullptr) ||
            !x_conn_pool_put(pool, c)) {
            emit("create failed " + m);
            return 1;
        }
    }
    emit("ready");

    event_data_t in{};
    in.fd = dup(STDIN_FILENO);
    bool open =
        ev_add_event(thread->epoll_fd, &in, EPOLLIN, [](x_server_t *, event_data_t *, uint32_t) {});
    std::string pending;
    epoll_event events[64];
    while (open) {
        int n = epoll_wait(thread->epoll_fd, events, 64, 20);
        for (int i = 0; i < n; i++) {
            auto *ev = static_cast<event_data_t *>(events[i].data.ptr);
            if (ev == &in) {
                char buf[4096];
                ssize_t r = read(in.fd, buf, sizeof(buf));
                if (r <= 0) {
                    open = false;
                    break;
                }
                pending.append(buf, static_cast<size_t>(r));
                size_t nl;
                while ((nl = pending.find('\n')) != std::string::npos) {
                    run_command(pool, pending.substr(0, nl));
                    pending.erase(0, nl + 1);
                }
            } else if (ev->handler) {
                ev->handler(nullptr, ev, events[i].events);
            }
        }
        if (thread->dns) x_dns_check(thread->dns);
        x_conn_pool_conn_check(pool);
    }
    x_conn_pool_free(pool);
    if (thread->dns) x_dns_close(thread->dns);
    close(in.fd);
    close(thread->epoll_fd);
    delete thread;
    return 0;
}
