// A flow report in a scratch directory on a settable clock, without a resolver; its open
// connection is one end of a socket pair whose other end (`peer`) plays the collector.
#pragma once

#include "core/work_thread.h"
#include "core/x_server.h"
#include "core/x_timer.h"
#include "report/log_dir.h"
#include "report/x_flow_report.h"
#include "report/x_log_flow.h"

#include <sys/epoll.h>
#include <sys/socket.h>

inline uint64_t rig_now_ms = 5000000;

struct ReportRig {
    LogDir dir;
    x_server_t *s = x_server_create();
    work_thread_t thread{};
    x_config_remote_server_t collector{{9, (uint8_t *)"127.0.0.1"}, 9};
    x_config_auth_log_report_t conf{};
    x_send_report_t *r = nullptr;
    int sv[2] = {-1, -1};

    explicit ReportRig(uint32_t log_num = 10) {
        x_time_set_clock([] { return rig_now_ms; });
        thread.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
        conf = {1, &collector, {}, 2, {dir.path.size(), (uint8_t *)dir.path.data()}, log_num};
        r = x_flow_report_create(s, "flowreport", X_FLOW_REPORT_FLOW, &conf);
        EXPECT_TRUE(x_flow_report_do_init(r, &thread) &&
                    socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0 &&
                    x_flow_report_adopt(r, sv[0], true));
    }
    ~ReportRig() {
        x_flow_report_free(r);
        close(sv[1]);
        close(thread.epoll_fd);
        free(s);
        x_time_set_clock(nullptr);
    }
    void sample(const char *token, uint32_t up, uint32_t down = 1) {
        x_flow_log_pkt_t pkt{};
        strcpy(pkt.flow_token, token);
        pkt.up_size = up;
        pkt.down_size = down;
        x_flow_report_add_flow_record(r, &pkt);
    }
    // One record of one token, a millisecond after the last; its path.
    std::string record(const char *token) {
        sample(token, 1);
        usleep(1500);
        EXPECT_TRUE(x_flow_report_write_record(r));
        return r->tail->file_name;
    }
    void pump() {
        epoll_event ev[8];
        for (int n; (n = epoll_wait(thread.epoll_fd, ev, 8, 0)) > 0;)
            for (int i = 0; i < n; i++) {
                auto *e = static_cast<event_data_t *>(ev[i].data.ptr);
                if (e->handler) e->handler(nullptr, e, ev[i].events);
            }
    }
    void answer(int c) {
        const uint8_t msg[] = {0x82, 4, 0x81, 0x10, 'c', static_cast<uint8_t>(0x20 + c)};
        if (send(sv[1], msg, sizeof msg, MSG_NOSIGNAL) >= 0) pump();
    }
    // The next frame's payload (len bytes expected), unmasked; "" when it does not come whole.
    std::string frame(size_t len) {
        size_t hdr = (len < 126 ? 2 : len < 65536 ? 4 : 10) + 4;
        std::string got;
        char buf[65536];
        for (int tries = 0; got.size() < hdr + len && tries < 3000; tries++) {
            pump();
            ssize_t k =
                recv(sv[1], buf, std::min(sizeof buf, hdr + len - got.size()), MSG_DONTWAIT);
            if (k > 0) got.append(buf, static_cast<size_t>(k));
            if (k == 0) break;
            if (k < 0) usleep(1000);
        }
        if (got.size() < hdr + len || static_cast<uint8_t>(got[0]) != 0x82) return "";
        for (size_t i = 0; i < len; i++)
            got[hdr + i] = static_cast<char>(got[hdr + i] ^ got[hdr - 4 + i % 4]);
        return got.substr(hdr);
    }
};
