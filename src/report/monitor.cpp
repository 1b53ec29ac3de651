#include "report/monitor.h"

#include "core/epoll.h"
#include "core/log.h"

#include <sys/socket.h>
#include <unistd.h>

const uint32_t auth_buckets[MONITOR_TIME_BUCKETS] = {1, 5, 10, 20, 30, 50, 100, 200, 300, 500,
                                                     1000, 10000};

monitor_t monitor_main;

namespace {

void add_duration(counter_t *buckets, counter_t &count, counter_t &sum, uint64_t ms) {
    count.fetch_add(1, std::memory_order_relaxed);
    sum.fetch_add(ms, std::memory_order_relaxed);
    for (unsigned i = 0; i < MONITOR_TIME_BUCKETS; i++) {
        if (ms <= auth_buckets[i]) {
            buckets[i].fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
}

} // namespace

void monitor_init() {
    monitor_main.health_url = "/";
    monitor_main.metric_url = "/metrics";
}

void add_error_code_count(uint32_t code) {
    if (code == 0) return;
    monitor_incr(monitor_main.error_code[code < MONITOR_ERROR_CODES ? code : 0]);
}

void add_auth_time_count(uint64_t ms) {
    add_duration(monitor_main.auth_time, monitor_main.auth_time_count, monitor_main.auth_time_sum,
                 ms);
}

void add_connection_time_count(uint64_t ms) {
    add_duration(monitor_main.connection_time, monitor_main.connection_time_count,
                 monitor_main.connection_time_sum, ms);
}

void on_monitor_connect(x_server_t *, event_data_t *ev, uint32_t) {
    // The health and metrics answers come with the HTTP request parser; until then a health
    // port accepts and closes, and says why.
    int fd = accept(ev->fd, nullptr, nullptr);
    if (fd < 0) return;
    log_error("monitor endpoint is not available in this build\n");
    close(fd);
}
