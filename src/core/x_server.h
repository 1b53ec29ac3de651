// The server object: configuration, threads, listeners, admission and the intake of new
// connections up to the dispatch of their first byte.
#pragma once

#include "auth/ip_restrict.h"
#include "config/x_server_config.h"
#include "core/epoll.h"
#include "core/qps_limit.h"
#include "core/x_timer.h"

#include <atomic>
#include <cstdint>

struct work_thread_t;
struct x_auth_base_t;
struct x_log_flow_t;
struct x_log_report_t;
struct x_send_report_t;

// One listening socket. The registration comes first so the record is found from it.
struct x_listener_t {
    event_data_t ev;         // the listener's registration in the main epoll
    x_timer_event_t backoff; // re-enables accepting after running out of descriptors
    uint64_t last_error_log; // monotonic ms of the last "accept failed" line
};

struct x_server_t {
    std::atomic<int> running;          // 1 while threads keep looping; every pass checks it
    x_config_server_t config;          // the loaded configuration, read-only once started
    qps_limit_t qps_limit;             // connection admission limits
    ip_restrict_t ip_restrict;         // source-address restriction at accept
    x_auth_base_t **auths;             // auth_num backends, by section index
    uint32_t auth_num;                 // entries of auths
    uint32_t thread_weight;            // total weight of the thread choice
    uint32_t main_weight;              // the main thread's weight in it
    work_thread_t *main_thread;        // threads[0]
    work_thread_t *threads;            // thread_count records, [0] the main thread
    uint32_t thread_count;             // entries of threads (at least 1)
    x_listener_t *listen_ev_data_list; // config.listen_count listeners
    x_timer_t listen_timer;            // listener back-off after descriptor exhaustion
    x_log_report_t **log_reports;      // per backend: access-report sink, null where not configured
    x_log_flow_t **log_charge_flow;    // per backend: charge flow log, null where not configured
    x_log_flow_t **log_stats_flows; // per backend: statistics flow log, null where not configured
    x_send_report_t **charge_flow;  // per backend: flow report, null where not configured
    x_send_report_t **stats_flow;   // per backend: stats report, null where not configured
};

// The process's one server object, set as soon as it is created.
extern x_server_t *server;

// Seeds rand() and allocates a zeroed server; null (with its log line) on allocation failure.
x_server_t *x_server_create();
// Admission, threads, message channel, listeners; false on the first failure, leaving what was
// built for x_server_close.
[[nodiscard]] bool x_server_start(x_server_t *server);
// The check of "quoxel -t": loads the configuration at path and every file it names (lists,
// restriction list, each backend's own files) without opening a port, touching an interface or
// starting a thread. False after the failure's own lines.
[[nodiscard]] bool x_server_check_config(x_server_t *server, const char *path);
// Runs the main thread's loop until `running` is cleared.
void x_server_run(x_server_t *server);
// Tear-down used on the start-up failure paths; null is ignored.
void x_server_close(x_server_t *server);
// Opens listener `index` for port block xport on `port`.
[[nodiscard]] bool x_server_add_listen(x_server_t *server, x_config_port_t *xport, uint16_t port,
                                       uint32_t index, event_handler handler);
// The weighted thread choice of the hand-off.
work_thread_t *x_server_get_rand_worker(x_server_t *server);
// A failed accept on listener ev: backs the listener off briefly when descriptors or memory ran
// out; true when the caller should log the failure now (at most once a second per listener).
bool x_server_accept_error(x_server_t *server, event_data_t *ev, int err);
// Checks the listener back-off timers (main thread, once a pass).
void x_server_check(x_server_t *server);

// Event handlers of the intake.
void on_client_connect(x_server_t *server, event_data_t *ev, uint32_t events);
void on_client_first_data_main(x_server_t *server, event_data_t *ev, uint32_t events);
void on_client_add_work_thread(x_server_t *server, event_data_t *ev, uint32_t events);
void on_client_first_data(x_server_t *server, event_data_t *ev, uint32_t events);
void on_client_connect_timeout(void *ctx, x_timer_event_t *ev);
