// Egress IP pools of a port range: per user level, a list of IPv4 addresses put on the port's
// network interface (as alias interfaces) while a client of that level uses one, and taken off
// afterwards. A returned address rests for X_IP_POOL_COOLDOWN_MS before it is handed out again.
//
// Every pool address is either on its level's free list (oldest return first) or in the level's
// pool_ip_used table, never both. Pools are used from one thread only and are not locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

struct dict;
struct ini_t;
struct x_config_port_t;

// A returned address is not handed out again before this many milliseconds.
constexpr uint64_t X_IP_POOL_COOLDOWN_MS = 2000;

// One pool address.
struct ip_node {
    in_addr_t ip;        // the address, network byte order
    uint64_t recyc_time; // monotonic ms (x_time_ms) of its last return; 0 when never used
    ip_node *next;       // next node of the free list
};

// The pool of one level.
struct ip_node_queue {
    dict *pool_ip_used; // address (a 32-bit number stored in the key) -> ip_node, handed out now
    ip_node *head;      // free list, oldest return first
    ip_node *tail;      // most recently returned free node
};

// Creates the set of addresses and alias names for one configuration load, to be passed as
// virtual_ip_dict to every x_parse_ip_pool_conf call of that load (so that an address or an alias
// name taken by an earlier port is refused) and released with dictRelease afterwards. Null when
// memory runs out.
dict *x_ip_pool_conf_set_create();

// Loads the pools of one port section: for level 1, 2, ... while "max_level%d_user" exists, the
// list "level%d_virtual_ip_list" of addresses and address/prefix ranges. Addresses go off the
// interface so the pool starts clean. False, after a message, on a malformed item, an address
// configured twice, or two addresses that would share one alias interface name. Allocation
// failures end the process with status 1.
[[nodiscard]] bool x_parse_ip_pool_conf(ini_t *ini, const char *section, x_config_port_t *port,
                                        dict *virtual_ip_dict);
// Takes the oldest free address of the level (1 to has_level) and puts it on the port's
// interface. Returns the address (network byte order), or 0 after a message when none is free,
// the head is still resting, or the interface refuses it.
in_addr_t x_get_virtual_ip_by_level(x_config_port_t *port, int level);
// Gives back an address taken from the level: takes it off the interface and appends it to the
// free list. False after a message when the level is wrong or the address is not in use there
// (the interface is then left untouched).
[[nodiscard]] bool x_recycling_virtual_ip_by_level(x_config_port_t *port, int level, in_addr_t ip);
// Releases every level's table, nodes and queue and zeroes has_level; safe after a partial load
// and when called twice. Addresses in use stay on the interface.
void x_ip_pool_free(x_config_port_t *port);

// Test seam: replace the calls that put an address on and take it off the port's interface
// (set_netcard_virtual_ip and clean_netcard_virtual_ip); null restores the real one.
using x_ip_pool_netcard_fn = bool (*)(const char *name, size_t name_len, in_addr_t ip);
void x_ip_pool_set_netcard_ops(x_ip_pool_netcard_fn set_ip, x_ip_pool_netcard_fn clean_ip);
