// Flow reports: traffic sums per token, stored as one record file per interval and delivered to a
// collector over WebSocket, oldest first, each deleted only once the collector acknowledged it.
//
// Each authentication section may have a flow report (keyed by the flow token, files
// "flowreport_<ms>") and a stats report (keyed by the statistics token, "statsreport_<ms>"). A
// record file holds a 4-byte little-endian length and one binary-JSON object:
//
//   {"list": {"<token>": [<up bytes>, <down bytes>], ...}, "t": <s>, "ti": <s>, "r": <ros_id>}
//
// The sums are 64-bit and written as the integers they are. A record is written under
// "<name>.tmp", flushed, synced and renamed into place, so a crash or a full disk never leaves a
// half record under a record's name; leftover temporaries are logged and left alone at start.
//
// The connection walks the statuses below. In status 4 the oldest file goes out as one masked
// binary frame (a partial write is finished on writability); the collector answers with a binary
// frame {"c": n}: 1 keeps the file for another attempt, anything else acknowledges it. An answer
// counts only while a record is in flight and completely written; any other answer is ignored.
// No answer within the interval restarts the connection (with the next collector), so a late
// answer to an earlier send can never be taken for a later record.
//
// Everything runs on the main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "core/buf.h"
#include "core/epoll.h"
#include "net/x_tcp_client.h"
#include "net/x_ws_client.h"

struct dict;
struct work_thread_t;
struct x_config_auth_log_report_t;
struct x_dns_query_t;
struct x_flow_log_pkt_t;
struct x_server_t;

constexpr uint32_t X_FLOW_REPORT_FLOW = 0;  // keyed by the flow token, prefix "flowreport"
constexpr uint32_t X_FLOW_REPORT_STATS = 1; // keyed by the statistics token, prefix "statsreport"

// Connection statuses.
constexpr uint32_t X_REPORT_CLOSED = 0;      // next collector tried a second after the close
constexpr uint32_t X_REPORT_RESOLVING = 1;   // the resolver's answer moves on
constexpr uint32_t X_REPORT_CONNECTING = 2;  // closed after 5 s
constexpr uint32_t X_REPORT_HANDSHAKING = 3; // request sent; closed 5 s after the connect began
constexpr uint32_t X_REPORT_READY = 4;       // the head file goes out on the next check
constexpr uint32_t X_REPORT_IN_FLIGHT = 5;   // head file sent, its answer awaited

constexpr uint64_t X_REPORT_RECONN_MS = 1000;   // pause after a close
constexpr uint64_t X_REPORT_CONNECT_MS = 5000;  // connect and handshake
constexpr uint64_t X_REPORT_SILENCE_MS = 60000; // a ready connection that heard nothing
constexpr uint64_t X_REPORT_RETRY_MS = 1000;    // a head file that could not be opened or read
constexpr size_t X_REPORT_ANSWER_MAX = 65536;   // longest frame taken from a collector
constexpr size_t X_REPORT_NAME_MAX = 512;       // record path, terminator included

// One record file waiting to be delivered.
struct x_file_report_t {
    char file_name[X_REPORT_NAME_MAX]; // full path
    struct timespec file_mtime;        // modification time: the list's order
    uint64_t stamp;                    // the name's milliseconds: order among equal times
    x_file_report_t *next;             // the next newer file
};

// The sums of one token over the current interval; the entry is its own key (all 256 bytes).
struct x_flow_t {
    char flow_token[256]; // zero-padded token
    uint64_t up;          // bytes client -> destination
    uint64_t down;        // bytes destination -> client
};

struct x_send_report_t {
    x_server_t *server;                     // its ros_id and first port address are used
    const x_config_auth_log_report_t *conf; // collectors, path, directory, log_num
    uint64_t interval;                      // ms between records, also the answer time-out
    uint32_t log_num;                       // files kept (at least 1)
    work_thread_t *thread;                  // the main thread: its epoll and resolver
    x_trans_client_t conn;        // the collector in use: host, port, path, address, bind address
    event_data_t ev_data;         // the connection's registration (other_ctx = this report)
    x_dns_query_t *dns_query;     // outstanding resolution, null when none
    dict *cache;                  // token -> x_flow_t, the current interval
    uint32_t status;              // X_REPORT_*
    uint32_t type;                // X_FLOW_REPORT_FLOW or X_FLOW_REPORT_STATS
    x_file_report_t *head, *tail; // waiting files, oldest first
    uint32_t file_num;            // files in the list
    x_file_report_t *in_flight;   // the file whose frame went out on this connection, or null
    size_t record_left;           // bytes of that frame still in send_buf
    char prefix[16];              // "flowreport" or "statsreport"
    int prefix_len;               // its length
    uint64_t last_write_time;     // ms, end of the last interval
    uint32_t cur_index;           // the collector in use, index into conf->servers
    buf_t buf;                    // bytes received and not yet taken
    buf_t send_buf;               // handshake, record frame and pongs not yet written
    bool enable_send;             // nothing waits for writability
    x_ws_handshake_t hs;          // the key of the current handshake
    uint64_t mask_state;          // masking-key generator
    uint64_t last_send_time;      // ms, when the head file was sent
    uint64_t wait_conned_time;    // ms, when the connection attempt began
    uint64_t last_reconn_time;    // ms, last close or reconnection
    uint64_t last_active_time;    // ms, last bytes from the collector
    uint64_t retry_time;          // ms before which an unreadable head file is not tried again
};

// A new report on conf (interval turned into ms), the first collector picked at random; null on
// allocation failure.
x_send_report_t *x_flow_report_create(x_server_t *server, const char *prefix, uint32_t report_type,
                                      const x_config_auth_log_report_t *conf);
// On the main thread's loop: buffers, cache, the waiting files from the directory (created when
// missing), then the first connection attempt. False (logged) fails the start.
[[nodiscard]] bool x_flow_report_do_init(x_send_report_t *report, work_thread_t *thread);
// Adds a sample's byte counts to its token's sums.
void x_flow_report_add_flow_record(x_send_report_t *report, const x_flow_log_pkt_t *pkt);
// Every loop pass: writes the interval's record when due and drives the connection.
void x_flow_report_check(x_send_report_t *report);
// Writes the current sums as a record now; false (logged, sums kept) when it cannot.
bool x_flow_report_write_record(x_send_report_t *report);
// Drops the connection; the next collector is tried a second later.
void x_flow_report_close(x_send_report_t *report);
void x_flow_report_free(x_send_report_t *report);
// Takes over a socket connected to a collector: handshaking with a fresh key, or open at once
// when `open` is set (tests and fuzzing).
[[nodiscard]] bool x_flow_report_adopt(x_send_report_t *report, int fd, bool open);

// Server wiring.
// Creates charge_flow and stats_flow for every section whose report names collectors; refuses
// (logged) two reports sharing one directory.
[[nodiscard]] bool x_flow_reports_start(x_server_t *server);
// x_flow_report_do_init of every report, after the threads exist.
[[nodiscard]] bool x_flow_reports_init(x_server_t *server);
void x_flow_reports_close(x_server_t *server);
// Message X_IPC_FLOW: the flow report takes it when the flow token is set, the stats report when
// the statistics token is.
void x_flow_reports_on_flow(x_server_t *server, const x_flow_log_pkt_t *pkt);
void x_flow_reports_check(x_server_t *server);
