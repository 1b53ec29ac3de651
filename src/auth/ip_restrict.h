// Source-address restriction at accept time: in allow mode only listed IPv4 addresses may
// connect, in deny mode listed ones may not. The list file is re-read when it changes.
//
// Networks are kept as prefixes and looked up per prefix length, so a /8 costs one entry, not
// sixteen million. What a prefix covers: /32 the address itself; /31 only its lower address;
// /1 to /30 the host addresses, network and broadcast addresses excluded.
//
// Main thread only.
#pragma once

#include "proto/ngx_string.h"

#include <cstdint>
#include <ctime>
#include <netinet/in.h>

struct dict;

constexpr uint8_t IP_RESTRICT_NO = 0;    // no check
constexpr uint8_t IP_RESTRICT_ALLOW = 1; // only listed addresses pass
constexpr uint8_t IP_RESTRICT_DENY = 2;  // listed addresses are refused

// Longest line taken; longer non-comment lines are skipped with a log line.
constexpr size_t IP_RESTRICT_LINE_MAX = 63;
// How often the file is examined.
constexpr uint64_t IP_RESTRICT_CHECK_MS = 10000;

// The rules: single addresses and networks by prefix length.
struct ip_rule_set_t {
    dict *hosts;       // listed single addresses (/32 and /31 lines), network order in the key
    dict *nets[31];    // [len]: network addresses (network order, in the key) of /len lines
    uint32_t net_lens; // bit len set when nets[len] holds an entry
};

struct ip_restrict_t {
    uint8_t ip_restrict_mode;       // IP_RESTRICT_*
    ngx_str_t ip_restrict_file;     // owned path of the list file; may be empty
    ip_rule_set_t *ip_rule_pool;    // the rules, null with mode 0
    uint64_t last_file_check_time;  // monotonic ms of the last look at the file
    time_t last_file_modified_time; // its modification time at the last load
};

// Called once at start: stores the mode and, unless it is 0, the file name and the rules of the
// file. False when memory runs out or a named file cannot be examined.
[[nodiscard]] bool ip_restrict_init(ip_restrict_t *restrict_, uint8_t mode, const ngx_str_t *file);
// Every main-loop pass: reloads the file when its modification time moved (looked at every 10 s).
void ip_restrict_check(ip_restrict_t *restrict_, uint64_t now_ms);
// True when the IPv4 source address `addr` (network order) may connect.
bool ip_restrict_lookup(const ip_restrict_t *restrict_, in_addr_t addr);
// Releases the rules and the file name.
void ip_restrict_uninit(ip_restrict_t *restrict_);

// A new empty rule set, and its release; null on allocation failure.
ip_rule_set_t *ip_rule_set_create();
void ip_rule_set_free(ip_rule_set_t *set);
// Whether `addr` (network order) is covered by a rule.
bool ip_rule_set_contains(const ip_rule_set_t *set, in_addr_t addr);
// Adds the rules of one line (an address or address/prefix), logging what it refuses; lines
// that are empty or comments are ignored.
void ip_rule_set_add_line(ip_rule_set_t *set, const char *line, size_t len);
// Replaces the content of `pool` with the rules of `file`. False, with the rules unchanged, when
// the file cannot be opened.
[[nodiscard]] bool ip_restrict_load_file(ip_rule_set_t *pool, const char *file);
