// A started one-thread server whose authentication section 0 has an access log, a charge flow
// log and a statistics flow log in scratch directories, on a settable millisecond clock.
#pragma once

#include "core/epoll.h"
#include "core/fake_clock.h"
#include "core/work_thread.h"
#include "core/x_client.h"
#include "core/x_server.h"
#include "dict/dict.h"
#include "report/log_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

struct ReportServer {
    FakeClock clock{1000000};
    LogDir reports, flows, stats;
    x_server_t *s = nullptr;
    std::vector<int> peers;

    explicit ReportServer(uint32_t size_mb = 1, uint32_t interval_s = 3) {
        s = x_server_create();
        s->config.src_timeout = 1000;
        s->config.dst_timeout = 1000;
        s->config.ros_id = 7;
        s->config.auth_num = 1;
        s->config.auths = static_cast<x_config_auth_t *>(calloc(1, sizeof(x_config_auth_t)));
        x_config_auth_t &a = s->config.auths[0];
        a.type = X_AUTH_TYPE_LOCAL; // no users: sessions here get their tokens directly
        set_log(&a.access_log, reports, size_mb, interval_s);
        set_log(&a.flow_log, flows, size_mb, interval_s);
        set_log(&a.stats_log, stats, size_mb, interval_s);
        EXPECT_TRUE(x_server_start(s));
    }
    ~ReportServer() {
        x_server_close(s);
        for (int fd : peers)
            close(fd);
    }

    static void set_log(x_config_auth_log_t *log, const LogDir &dir, uint32_t size_mb,
                        uint32_t interval_s) {
        EXPECT_TRUE(ngx_str_init(&log->log_path, dir.path.data(), dir.path.size()));
        log->log_size = size_mb;
        log->log_num = 3;
        log->interval = interval_s;
    }

    // A session of section 0 owned by the main thread, with one end of a socket pair.
    x_client_t *session() {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        peers.push_back(sv[1]);
        x_client_t *c = x_client_new(s);
        c->thread = s->main_thread;
        c->connect_ev_data.fd = sv[0];
        EXPECT_TRUE(ev_add_event(s->main_thread->epoll_fd, &c->connect_ev_data, EPOLLIN,
                                 [](x_server_t *, event_data_t *, uint32_t) {}));
        c->auth_index = 0;
        return c;
    }
    // Closes a session and runs a loop pass so that it is freed.
    void finish(x_client_t *c) {
        x_client_close(c);
        work_thread_do(s->main_thread);
    }
};

inline void set_str(ngx_str_t *s, const std::string &text) {
    ngx_str_free(s);
    EXPECT_TRUE(ngx_str_init(s, text.data(), text.size()));
}
