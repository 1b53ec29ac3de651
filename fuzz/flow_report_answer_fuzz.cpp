// A collector's answers as arbitrary bytes, in pieces of data[0] bytes (data[1] == 1 lets the
// answer time run out after the first piece), while the oldest of three records is in flight: the
// others stay on disk, and it goes only when the input holds a binary frame (the only ack).
#include "core/work_thread.h"
#include "core/x_server.h"
#include "core/x_timer.h"
#include "report/x_flow_report.h"
#include "report/x_log_flow.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static uint64_t now_ms = 1000000;
    static char dir[] = "/tmp/quoxel_fuzz_report_XXXXXX";
    static bool ready = (dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO),
                         x_time_set_clock([] { return now_ms; }), mkdtemp(dir) != nullptr);
    if (!ready || size < 2) return 0;
    work_thread_t thread{};
    thread.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    x_config_remote_server_t collector{{9, (uint8_t *)"127.0.0.1"}, 9};
    x_config_auth_log_report_t conf{1, &collector, {}, 1, {strlen(dir), (uint8_t *)dir}, 10};
    x_send_report_t *r = x_flow_report_create(x_server_create(), "flowreport", 0, &conf);
    int sv[2];
    if (!x_flow_report_do_init(r, &thread) || socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0 ||
        !x_flow_report_adopt(r, sv[0], true))
        abort();
    for (int i = 0; i < 3; i++) {
        x_flow_log_pkt_t pkt{0, {'t', static_cast<char>('0' + i)}, {}, 1, 1};
        x_flow_report_add_flow_record(r, &pkt);
        if (!x_flow_report_write_record(r)) abort();
    }
    std::string names[3] = {r->head->file_name, r->head->next->file_name, r->tail->file_name};
    x_flow_report_check(r);
    char drain[65536];
    for (size_t off = 2, piece = data[0] ? data[0] : 1; off < size; off += piece) {
        if (send(sv[1], data + off, std::min(piece, size - off), MSG_NOSIGNAL) < 0) break;
        epoll_event ev[8];
        for (int n; (n = epoll_wait(thread.epoll_fd, ev, 8, 0)) > 0;)
            for (int i = 0; i < n; i++)
                if (auto *e = static_cast<event_data_t *>(ev[i].data.ptr); e->handler)
                    e->handler(nullptr, e, ev[i].events);
        while (recv(sv[1], drain, sizeof drain, MSG_DONTWAIT) > 0) {
        }
        now_ms += data[1] == 1 && off == 2 ? 1001 : 0;
        if (data[1] == 1 && off == 2) x_flow_report_check(r);
    }
    bool acked = access(names[0].c_str(), F_OK) != 0;
    if (access(names[1].c_str(), F_OK) || access(names[2].c_str(), F_OK) ||
        (acked && !memchr(data + 2, 0x82, size - 2)) || r->file_num != (acked ? 2u : 3u))
        abort();
    free(r->server);
    x_flow_report_free(r);
    close(sv[1]);
    close(thread.epoll_fd);
    for (const auto &n : names)
        unlink(n.c_str());
    return 0;
}
