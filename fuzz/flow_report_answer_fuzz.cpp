// A collector's answers as arbitrary bytes: three records wait, the oldest is in flight, and the
// input arrives over a socket pair in pieces (the first byte sets the piece size; a piece of 0x01
// in the second byte also lets the answer time run out half way). Whatever the bytes, the two
// records never sent stay on disk, and the one in flight is deleted only by a well-formed
// acknowledgement: a binary frame holding exactly {"c": n} with n other than 1.
#include "core/work_thread.h"
#include "core/x_server.h"
#include "core/x_timer.h"
#include "report/x_flow_report.h"
#include "report/x_log_flow.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

uint64_t now_ms = 1000000;
uint64_t clock_ms() {
    return now_ms;
}

void pump(work_thread_t *thread) {
    epoll_event ev[8];
    int n;
    while ((n = epoll_wait(thread->epoll_fd, ev, 8, 0)) > 0)
        for (int i = 0; i < n; i++) {
            auto *e = static_cast<event_data_t *>(ev[i].data.ptr);
            if (e->handler) e->handler(nullptr, e, ev[i].events);
        }
}

bool exists(const char *path) {
    return access(path, F_OK) == 0;
}

// Whether data holds, unfragmented and unmasked, a binary frame whose payload decodes as an
// object with an integer "c" other than 1 (the only bytes that may delete the record).
bool may_acknowledge(const uint8_t *data, size_t size) {
    for (size_t i = 0; i + 1 < size; i++)
        if (data[i] == 0x82 && (data[i + 1] & 0x80) == 0) return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char dir[] = "/tmp/quoxel_fuzz_report_XXXXXX";
    static bool init = [] {
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
        x_time_set_clock(clock_ms);
        return mkdtemp(dir) != nullptr;
    }();
    if (!init || size < 2) return 0;
    size_t piece = data[0] ? data[0] : 1;
    bool expire = data[1] == 1;
    data += 2;
    size -= 2;

    x_server_t *s = x_server_create();
    work_thread_t thread{};
    thread.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    x_config_remote_server_t collector{};
    x_config_auth_log_report_t conf{};
    if (!ngx_str_init(&collector.server_host, "127.0.0.1", 9) ||
        !ngx_str_init(&conf.log_path, dir, strlen(dir)))
        abort();
    conf.server_num = 1;
    conf.servers = &collector;
    conf.interval = 1;
    conf.log_num = 10;
    x_send_report_t *r = x_flow_report_create(s, "flowreport", X_FLOW_REPORT_FLOW, &conf);
    if (!x_flow_report_do_init(r, &thread)) abort();
    std::string names[3];
    for (int i = 0; i < 3; i++) {
        x_flow_log_pkt_t pkt{};
        snprintf(pkt.flow_token, sizeof pkt.flow_token, "token%d", i);
        pkt.up_size = 1;
        x_flow_report_add_flow_record(r, &pkt);
        if (!x_flow_report_write_record(r)) abort();
        names[i] = r->tail->file_name;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
    if (!x_flow_report_adopt(r, sv[0], true)) abort();
    x_flow_report_check(r);
    if (r->status != X_REPORT_IN_FLIGHT) abort();
    char drain[65536];
    while (recv(sv[1], drain, sizeof drain, MSG_DONTWAIT) > 0) {
    }
    pump(&thread);
    for (size_t off = 0; off < size && r->status != X_REPORT_CLOSED; off += piece) {
        size_t n = size - off < piece ? size - off : piece;
        if (send(sv[1], data + off, n, MSG_NOSIGNAL) < 0) break;
        pump(&thread);
        while (recv(sv[1], drain, sizeof drain, MSG_DONTWAIT) > 0) {
        }
        if (expire && off == 0) {
            now_ms += 1001;
            x_flow_report_check(r);
        }
    }
    if (!exists(names[1].c_str()) || !exists(names[2].c_str())) abort();
    if (!exists(names[0].c_str()) && !may_acknowledge(data, size)) abort();
    if (r->file_num + (exists(names[0].c_str()) ? 0 : 1) != 3) abort();

    x_flow_report_free(r);
    close(sv[1]);
    close(thread.epoll_fd);
    for (const auto &n : names)
        unlink(n.c_str());
    ngx_str_free(&collector.server_host);
    ngx_str_free(&conf.log_path);
    free(s);
    return 0;
}
