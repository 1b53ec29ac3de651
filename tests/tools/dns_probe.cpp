// Drives one resolver in an event loop for the end-to-end suite.
//
//   dns_probe [--resolv-conf <path>] [--port <n>] [name ...]
//
// Creates the resolver (printing "= ready", or "= create failed" and exiting 1), then resolves
// the A address of every name on the command line and exits once all are answered. Without
// names it reads one command per line of standard input:
//   a <name>        ask for the A address
//   aaaa <name>     ask for the AAAA address
//   cancel <name>   cancel the outstanding question for name: "= <name> cancelled" or
//                   "= <name> not pending"
// and exits when standard input ends and no question is outstanding. Every answer is one line
//   = <name> <status> <address or -> <sync|async>
// where "sync" means the answer came before x_dns_query returned. Diagnostic lines of the
// resolver go to standard output as well, without the "= " prefix.
#include "core/epoll.h"
#include "core/log.h"
#include "net/x_dns.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

struct Question {
    std::string name;
    x_dns_query_t *query = nullptr;
    bool in_query_call = false; // true while x_dns_query runs: the answer is synchronous
    bool answered = false;
};

std::multimap<std::string, Question *> outstanding; // questions not yet answered

void emit(const std::string &line) {
    printf("= %s\n", line.c_str());
    fflush(stdout);
}

void on_answer(void *original, int status, sockaddr_storage *addr) {
    auto *q = static_cast<Question *>(original);
    char text[INET6_ADDRSTRLEN] = "-";
    if (addr && addr->ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(addr)->sin_addr, text, sizeof(text));
    } else if (addr && addr->ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(addr)->sin6_addr, text, sizeof(text));
    }
    emit(q->name + " " + std::to_string(status) + " " + text +
         (q->in_query_call ? " sync" : " async"));
    q->query = nullptr;
    q->answered = true;
}

void ask(x_dns_t *dns, const std::string &name, bool v6) {
    auto *q = new Question;
    q->name = name;
    q->in_query_call = true;
    q->query = x_dns_query(dns, name.data(), name.size(), q, on_answer, v6);
    q->in_query_call = false;
    if (q->answered) {
        delete q;
        return;
    }
    outstanding.emplace(name, q);
}

void reap() {
    for (auto it = outstanding.begin(); it != outstanding.end();) {
        if (it->second->answered) {
            delete it->second;
            it = outstanding.erase(it);
        } else {
            ++it;
        }
    }
}

bool stdin_open = true;
std::string stdin_pending;

void run_command(x_dns_t *dns, const std::string &line) {
    size_t sp = line.find(' ');
    std::string cmd = line.substr(0, sp);
    std::string arg = sp == std::string::npos ? "" : line.substr(sp + 1);
    if (cmd == "a" || cmd == "aaaa") {
        ask(dns, arg, cmd == "aaaa");
    } else if (cmd == "cancel") {
        auto it = outstanding.find(arg);
        if (it == outstanding.end() || it->second->answered) {
            emit(arg + " not pending");
            return;
        }
        x_dns_cancel(dns, it->second->query);
        delete it->second;
        outstanding.erase(it);
        emit(arg + " cancelled");
    } else if (!cmd.empty()) {
        emit("unknown command " + cmd);
    }
}

void on_stdin(x_server_t *, event_data_t *ev, uint32_t) {
    auto *dns = static_cast<x_dns_t *>(ev->other_ctx);
    char buf[4096];
    ssize_t n = read(ev->fd, buf, sizeof(buf));
    if (n <= 0) {
        (void)ev_del_event(dns->epfd, ev);
        stdin_open = false;
        return;
    }
    stdin_pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = stdin_pending.find('\n')) != std::string::npos) {
        std::string line = stdin_pending.substr(0, nl);
        stdin_pending.erase(0, nl + 1);
        run_command(dns, line);
    }
}

} // namespace

int main(int argc, char **argv) {
    const char *conf = "/etc/resolv.conf";
    uint16_t port = 53;
    int first_name = argc;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--resolv-conf") && i + 1 < argc) {
            conf = argv[++i];
        } else if (!strcmp(argv[i], "--port") && i + 1 < argc) {
            port = static_cast<uint16_t>(atoi(argv[++i]));
        } else {
            first_name = i;
            break;
        }
    }
    int epfd = epoll_create1(EPOLL_CLOEXEC);
    x_dns_t *dns = x_dns_create_at(epfd, conf, port);
    if (!dns) {
        emit("create failed");
        return 1;
    }
    emit("ready");

    event_data_t in{};
    in.fd = STDIN_FILENO;
    in.other_ctx = dns;
    if (first_name < argc) {
        stdin_open = false;
        for (int i = first_name; i < argc; i++)
            ask(dns, argv[i], false);
    } else {
        // fd 0 reads as "no descriptor" to ev_add_event: register a duplicate instead.
        in.fd = dup(STDIN_FILENO);
        if (!ev_add_event(epfd, &in, EPOLLIN, on_stdin)) {
            emit("stdin failed");
            return 1;
        }
    }

    epoll_event events[64];
    while (stdin_open || !outstanding.empty()) {
        int n = epoll_wait(epfd, events, 64, 100);
        for (int i = 0; i < n; i++) {
            auto *ev = static_cast<event_data_t *>(events[i].data.ptr);
            if (ev->handler) ev->handler(nullptr, ev, events[i].events);
        }
        x_dns_check(dns);
        reap();
    }
    x_dns_close(dns);
    close(epfd);
    return 0;
}
