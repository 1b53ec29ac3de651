// Admission limits for new connections: a global rate and a per-source-address rate, each a
// refilling bucket holding 1.2 seconds' worth of its rate. Per-address state is created on the
// first connection from an address and dropped `ip_timout` ms after its last one. Main thread
// only.
#pragma once

#include <cstdint>

#include "core/single_bucket.h"
#include "core/x_timer.h"

struct dict;

struct qps_limit_t {
    uint64_t global_limit;         // new connections a second for the server; 0 = no limit
    uint64_t ip_limit;             // new connections a second per source address; 0 = no limit
    uint64_t ip_timout;            // ms after an address's last connection before it is forgotten
    single_bucket_t global_bucket; // the global bucket
    dict *ip_limit_dict;           // source address (widened to 64 bits) -> ip_limit_t *
    x_timer_t ip_limit_timer;      // idle expiry of the per-address entries, timeout ip_timout
};

// State of one recently seen source address.
struct ip_limit_t {
    uint32_t ip;            // the address, network order
    qps_limit_t *qps_limit; // owning limiter
    single_bucket_t bucket; // the address's bucket
    x_timer_event_t timout; // idle timer on ip_limit_timer
};

// Stores the limits, fills the global bucket and creates the address table (released first if
// the limiter was configured before). False only when the table cannot be created.
[[nodiscard]] bool qps_limit_config(qps_limit_t *ql, uint64_t global_limit, uint64_t ip_limit,
                                    uint64_t ip_timout);
// Admits (true) or refuses one new connection from ip (network order). A refusal by the
// per-address bucket has still taken a token from the global bucket.
[[nodiscard]] bool qps_limit_take(qps_limit_t *ql, uint32_t ip);
// Forgets idle addresses; once per main-loop pass.
void qps_limit_check(qps_limit_t *ql);
// Releases the address table and its entries.
void qps_limit_free(qps_limit_t *ql);
