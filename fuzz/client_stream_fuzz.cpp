// A client's whole byte stream fed to a session on a port admitting SOCKS5, PROXY and HTTP, then
// end of stream. ctest runs it under unshare --net, so any connect it provokes reaches nothing.
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

x_config_port_t port;

x_server_t *start_server() {
    // Every refused stream writes its error line; libFuzzer reports on standard error.
    dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    x_server_t *s = x_server_create();
    s->config.src_timeout = 1000;
    s->config.dst_timeout = 1000;
    s->config.no_bind = 1;
    if (!x_server_start(s)) abort();
    port.listentbl = X_LISTEN_AUTO;
    port.auth_index = -1;
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static x_server_t *s = start_server();
    server = s;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) return 0;
    // The whole stream is written before the session starts reading; a socket pair holds it.
    size_t n = size > 100000 ? 100000 : size;
    if (n && write(sv[1], data, n) != static_cast<ssize_t>(n)) {
        close(sv[0]);
        close(sv[1]);
        return 0;
    }
    shutdown(sv[1], SHUT_WR);
    x_client_t *c = x_client_new(s);
    c->thread = s->main_thread;
    c->connect_ev_data.fd = sv[0];
    c->connect_ev_data.xport = &port;
    c->auth_index = -1;
    c->session = 1;
    dict *table = s->main_thread->session_to_clients;
    void *key = reinterpret_cast<void *>(uintptr_t{1});
    dictAdd(table, key, c);
    if (!ev_add_event(s->main_thread->epoll_fd, &c->connect_ev_data, EPOLLIN, on_client_first_data))
        abort();
    for (int pass = 0; pass < 50 && dictFind(table, key); pass++) {
        if (pass == 40 && !x_client_is_closing(c)) x_client_close(c); // waiting on a timer
        work_thread_do(s->main_thread);
    }
    if (dictFind(table, key)) abort(); // never freed
    close(sv[1]);
    return 0;
}
