// Flow logs: traffic sums per token, written once per interval as JSON lines.
//
// Every second a session with a flow token sends the bytes it moved since the last sample to the
// main thread (X_IPC_FLOW). There each section's charge log (keyed by the flow token) and
// statistics log (keyed by the statistics token) add the sample to the token's running sums, and
// once per interval write them to their rotating series "x_flow_<type>_<section>_<ms>.log":
//
//   [{"ts":<s>,"tti":<s>,"ros":<id>,"list":{"<token>":{"u":<up>,"d":<down>},...}}]
//
// with at most 100 tokens a line; then the sums start over.
#pragma once

#include <cstddef>
#include <cstdint>

struct dict;
struct x_client_t;
struct x_log_file_t;
struct x_server_t;

constexpr size_t X_FLOW_TOKEN_MAX = 256;  // token field, terminator included
constexpr uint32_t X_FLOW_LOG_CHARGE = 0; // keyed by the flow token
constexpr uint32_t X_FLOW_LOG_STATS = 1;  // keyed by the statistics token
constexpr size_t X_FLOW_LOG_LINE_TOKENS = 100;

// One sample on its way to the main thread. A token that does not fit its field (256 bytes or
// more, or holding a zero byte) is never put in one: see x_log_send_flow.
struct x_flow_log_pkt_t {
    int8_t auth_index;                  // the session's authentication section
    char flow_token[X_FLOW_TOKEN_MAX];  // zero-padded, empty for none
    char stats_token[X_FLOW_TOKEN_MAX]; // zero-padded, empty for none
    uint32_t up_size;                   // bytes client -> destination since the last sample
    uint32_t down_size;                 // bytes destination -> client
};

// The running sums of one token; the entry is its own key (the whole 256-byte token field).
struct x_flow_log_t {
    char flow_token[X_FLOW_TOKEN_MAX]; // the key, zero-padded
    uint64_t up;                       // bytes up this interval (64 bits: many sessions add up)
    uint64_t down;                     // bytes down this interval
};

struct x_log_flow_t {
    x_log_file_t *log_file;  // the file series
    uint32_t ros_id;         // instance identifier written in every line
    uint32_t tti;            // interval in ms
    uint32_t flow_type;      // X_FLOW_LOG_CHARGE or X_FLOW_LOG_STATS
    uint64_t last_flow_time; // monotonic ms of the last write
    dict *flow_cache;        // token -> x_flow_log_t
};

// Null (logged) when the file series or the cache cannot be created.
x_log_flow_t *x_log_flow_create(int index, const char *path, uint32_t ros_id, uint32_t interval_s,
                                uint32_t size_mb, uint32_t count, uint32_t flow_type);
void x_log_flow_free(x_log_flow_t *log);

// Owning thread: when the session has a flow token, sends its byte counts since the last sample
// and restarts them (a sample the channel refuses is kept for the next one). Without a flow token
// the counts are just restarted. A flow token that does not fit a sample is refused with a log
// line; a statistics token that does not fit is left out of the sample, also logged.
void x_log_send_flow(x_client_t *client);
// Main thread: adds the sample to the sums of its key (flow or statistics token by flow_type).
void x_log_do_flow(x_log_flow_t *log, const x_flow_log_pkt_t *pkt);
// Main thread, every loop pass: writes and restarts the sums once the interval has passed.
void x_log_flow_check(x_log_flow_t *log);
// Writes the sums now (at most 100 tokens a line, size limit checked after each line) and
// empties the cache. Nothing is written for an empty cache.
void x_log_flow_timeout(x_log_flow_t *log);

// Server wiring. Creates log_charge_flow and log_stats_flows for every section that configures
// them; false (what was made left for x_log_flows_close) when one cannot be created.
[[nodiscard]] bool x_log_flows_start(x_server_t *server);
void x_log_flows_close(x_server_t *server);
// Main thread, message X_IPC_FLOW: hands the sample to its section's flow logs. The caller frees
// it (after the flow reports have had it).
void x_log_on_flow(x_server_t *server, const x_flow_log_pkt_t *pkt);
// Main thread, every loop pass: x_log_flow_check of every flow log.
void x_log_flows_check(x_server_t *server);

// Appends the JSON string form of src (quotes included) to out, which has room for cap bytes
// with a terminator: quote and backslash escaped, control bytes and bytes that are not part of
// valid UTF-8 written as \u00XX; valid UTF-8 text kept as it is. Returns the length, or SIZE_MAX
// (out then empty) when it does not fit.
size_t x_log_escape_json(char *out, size_t cap, const uint8_t *src, size_t len);
