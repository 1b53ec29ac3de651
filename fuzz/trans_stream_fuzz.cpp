// A service's byte stream fed to the TCP or WebSocket client (byte 0: TCP, WebSocket open, or
// awaiting its handshake answer) in pieces of byte 1 bytes, then end of stream. Every message is
// answered on the same client, so sends and closes happen from inside handlers.
#include "core/work_thread.h"
#include "net/x_conn_pool.h"
#include "net/x_ws_client.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

x_trans_client_t *client;

bool on_data(void *, const uint8_t *data, size_t len) {
    if (len > X_TRANS_MAX_MSG) abort();
    volatile uint8_t sum = 0;
    for (size_t i = 0; i < len; i++)
        sum = static_cast<uint8_t>(sum + data[i]);
    (void)client->do_send(client, data, len < 64 ? len : 64);
    return len != 3; // a 3-byte message makes the owner refuse
}

void pump(work_thread_t *thread) {
    epoll_event ev[8];
    for (int n; (n = epoll_wait(thread->epoll_fd, ev, 8, 0)) > 0;)
        for (int i = 0; i < n; i++)
            if (auto *e = static_cast<event_data_t *>(ev[i].data.ptr); e->handler)
                e->handler(nullptr, e, ev[i].events);
}

work_thread_t *make_thread() {
    dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    auto *t = new work_thread_t{};
    t->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static work_thread_t *thread = make_thread();
    if (size < 2) return 0;
    uint8_t mode = data[0] % 3;
    size_t piece = data[1] ? data[1] : 1;
    client = x_trans_client_create(mode == 0 ? X_TRANS_TCP : X_TRANS_WS, thread, nullptr, 0);
    // No resolver: the first attempt fails at once and the pair's socket takes its place.
    if (!client->do_init(client, "127.0.0.1", 9, "f", 1000, 0, 10000, nullptr, on_data, nullptr,
                         nullptr))
        abort();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
    if (mode == 0 ? !x_tcp_client_adopt(reinterpret_cast<x_tcp_client_t *>(client), sv[0])
                  : !x_ws_client_adopt(reinterpret_cast<x_ws_client_t *>(client), sv[0], mode == 1))
        abort();
    for (size_t off = 2; off < size && client->status != X_TRANS_DISCONNECTED; off += piece) {
        if (send(sv[1], data + off, std::min(piece, size - off), MSG_NOSIGNAL) < 0) break;
        pump(thread);
        char drain[4096];
        while (recv(sv[1], drain, sizeof(drain), MSG_DONTWAIT) > 0) {
        }
    }
    shutdown(sv[1], SHUT_WR);
    pump(thread);
    client->do_free(client);
    close(sv[1]);
    return 0;
}
