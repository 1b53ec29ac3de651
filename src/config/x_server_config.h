// The server configuration: one record filled once at start-up from an INI file (a ".json" file
// name selects the JSON form) and read-only afterwards, from every thread, without locks.
#pragma once

#include "auth/x_acl_match.h"
#include "config/x_cidr.h"
#include "dict/dict.h"
#include "proto/ngx_string.h"

#include <cstdint>
#include <netinet/in.h>

struct ini_t;
struct ip_node_queue;

// Upper bounds the loader enforces.
constexpr uint32_t X_CONFIG_MAX_THREADS = 16;
constexpr uint32_t X_CONFIG_MAX_LEVELS = 10;
// An RFC 1929 length byte: longer upstream user names or passwords cannot be sent.
constexpr size_t X_FORWARD_MAX_CRED_LEN = 255;
// Length of the signing salt of the forward and token backends.
constexpr size_t X_SIGN_SALT_LEN = 22;
// Countries refused by a forward backend with a country database when deny_country is absent.
constexpr const char X_DENY_COUNTRY_DEFAULT[] = "CN";

// Backend kinds (x_config_auth_t.type).
constexpr uint16_t X_AUTH_TYPE_LOCAL = 1;
constexpr uint16_t X_AUTH_TYPE_REMOTE = 2;
constexpr uint16_t X_AUTH_TYPE_TOVASK = 3;
constexpr uint16_t X_AUTH_TYPE_FORWARD = 4;

// Bits of x_config_port_t.listentbl; "auto" sets all of them.
constexpr uint8_t X_LISTEN_HTTP = 1;
constexpr uint8_t X_LISTEN_SOCKS5 = 2;
constexpr uint8_t X_LISTEN_XRAW = 4;
constexpr uint8_t X_LISTEN_AUTO = 255;

// Upstream kinds (x_forward_t.proto).
constexpr uint8_t X_FORWARD_NONE = 0;
constexpr uint8_t X_FORWARD_HTTP = 1;
constexpr uint8_t X_FORWARD_SOCKS5 = 2;
constexpr uint8_t X_FORWARD_TOVASK = 3;

// The upstream through which a client's traffic leaves.
struct x_forward_t {
    ngx_str_t username;    // user name for the upstream; empty without credentials
    ngx_str_t password;    // password for the upstream
    ngx_str_t host;        // upstream host name or address text
    ngx_str_t base64_auth; // "Proxy-Authorization: Basic <base64 user:pass>\r\n"
    ngx_str_t s5_auth;     // RFC 1929 request: 1, ulen, user, plen, pass
    uint16_t port;         // upstream port, host order
    uint8_t has_username;  // 1 when credentials were given
    uint8_t proto;         // X_FORWARD_*
};

// One event-loop thread; index 0 is the main thread.
struct x_config_thread_t {
    uint16_t port_agent_data; // agent data port of this thread, 0 for none
    uint16_t port_health;     // unused by the loaders, always 0
    int thread_core;          // processor core to pin the thread to, -1 for none
};

// One service or collector address.
struct x_config_remote_server_t {
    ngx_str_t server_host; // host name or address text
    uint16_t server_port;  // port, host order
};

struct x_config_auth_local_user_t {
    ngx_str_t username;  // never empty in a loaded table
    ngx_str_t password;  // the text after the first colon of the user value
    uint32_t rate_limit; // bandwidth limit of this user
};

struct x_config_auth_local_t {
    uint32_t user_num;                 // entries in users
    x_config_auth_local_user_t *users; // the users, null when there are none
    uint32_t whitelist_rate_limit;     // not filled by the loaders
    ngx_str_t whitelist_file;          // not filled by the loaders
    bool merge_rate_limit;             // users of one name share one bucket
};

struct x_config_auth_remote_t {
    uint32_t trans_type;               // transport: 0 WebSocket, 1 UDP, 2 TCP
    uint32_t pool_size;                // connections per service address
    ngx_str_t if_name;                 // interface to bind service connections to
    uint32_t bind_addr;                // local IPv4 address for them, network order
    uint32_t server_num;               // entries in servers
    x_config_remote_server_t *servers; // the service addresses
    ngx_str_t server_path;             // request path on the service
    bool use_virtual_ip;               // ports of this backend own egress IP pools
    bool no_merge;                     // do not merge identical requests
    bool no_whitelist;                 // do not consult the white list
    ngx_str_t tag;                     // tag sent with requests
    uint32_t error_timeout;            // ms
    bool merge_rate_limit;             // users of one name share one bucket
    bool is_priority;                  // priority flag sent to the service
    uint32_t cache_timeout;            // ms, 0 for the backend's default
};

struct x_config_auth_forward_user_t {
    ngx_str_t username;  // client user name
    ngx_str_t password;  // client password
    uint32_t rate_limit; // bandwidth limit of this user
    uint32_t conn_limit; // connection limit of this user
    x_forward_t forward; // the upstream of this user
};

struct x_config_auth_forward_t {
    ngx_str_t ip2location;               // path of the country database, empty for none
    ngx_str_t deny_country;              // codes refused, comma-separated; empty for "none"
    ngx_str_t sign_salt;                 // signing salt (X_SIGN_SALT_LEN), empty when not given
    uint32_t resource;                   // scheme: 0 zembo, 1 kestrum, 2 user name
    ngx_str_t resource_file;             // resource file path, empty for none
    uint32_t user_num;                   // entries in users
    x_config_auth_forward_user_t *users; // null when there are none
};

struct x_config_auth_tovask_t {
    ngx_str_t sign_salt; // signing salt of the user names (X_SIGN_SALT_LEN)
};

// A rotating log writer's settings; all zero when not configured.
struct x_config_auth_log_t {
    uint32_t interval;  // writer period, seconds
    ngx_str_t log_path; // an existing directory
    uint32_t log_size;  // size of one file before rotation
    uint32_t log_num;   // files kept
};

// A reporter's settings; all zero when not configured.
struct x_config_auth_log_report_t {
    uint32_t server_num;               // entries in servers (0 when not configured)
    x_config_remote_server_t *servers; // collector addresses
    ngx_str_t server_path;             // request path on the collector
    uint32_t interval;                 // seconds
    ngx_str_t log_path;                // directory of record files
    uint32_t log_num;                  // record files kept
};

// One authentication backend.
struct x_config_auth_t {
    uint16_t type;   // X_AUTH_TYPE_*
    uint16_t index;  // the backend's index (JSON form), 0 from INI
    bool need_start; // some port uses this backend
    union {
        x_config_auth_local_t local;
        x_config_auth_remote_t remote;
        x_config_auth_forward_t forward;
        x_config_auth_tovask_t tovask;
    } config;                                // by type
    x_config_auth_log_t access_log;          // "auth%u_reportlog"
    x_config_auth_log_t flow_log;            // "auth%u_flowlog"
    x_config_auth_log_t stats_log;           // "auth%u_statslog"
    x_config_auth_log_report_t flow_report;  // "auth%u_flowreport"
    x_config_auth_log_report_t stats_report; // "auth%u_statsreport"
};

// One listening port range.
struct x_config_port_t {
    uint32_t port_id;                                   // the section number
    in_addr_t addr;                                     // IPv4 listening address, network order
    struct sockaddr_in6 ipv6_addr;                      // IPv6 listening address, port 0
    ngx_str_t name;                                     // interface of the egress pool
    uint16_t port_start;                                // first port
    uint16_t port_end;                                  // last port, inclusive
    uint16_t port_health;                               // health port, 0 for none
    uint8_t listentbl;                                  // X_LISTEN_* bits
    bool allow_udp;                                     // UDP relaying allowed
    x_forward_t forward;                                // upstream of every client, proto 0 none
    int8_t auth_index;                                  // index into auths, -1 no auth
    uint8_t has_level;                                  // egress pool levels loaded
    ip_node_queue *queue_level_ip[X_CONFIG_MAX_LEVELS]; // pool of level i + 1
    uint32_t max_level_user[X_CONFIG_MAX_LEVELS];       // most addresses of level i + 1
};

// Bounds and default of relay_buffer: one segment (reads of one segment, as small as a session
// can move) up to 4 MiB; the default is the size that moves bulk data at the least CPU per byte.
constexpr uint32_t X_RELAY_BUFFER_MIN = 1500;
constexpr uint32_t X_RELAY_BUFFER_MAX = 4u << 20;
constexpr uint32_t X_RELAY_BUFFER_DEFAULT = 128u << 10;

struct x_config_server_t {
    uint32_t thread_num;            // configured thread count, 0 and 1 both mean one
    x_config_thread_t *threads;     // x_config_thread_count() entries
    uint32_t ros_id;                // identifier of this instance
    dict *nat_cache;                // local IPv4 -> IPv4 instead, network order, in the pointers
    ngx_str_t white_list_file;      // length counts the terminating NUL
    ngx_str_t black_list_file;      // path, empty for none
    ngx_str_t ads_list_file;        // path of the ads list, empty for none
    x_acl_cache_t ads_cache;        // the ads list's destinations, loaded with the configuration
    uint8_t no_bind;                // do not bind outgoing sockets
    uint8_t forward_retry;          // retry a failed upstream connection once
    uint16_t port_health;           // health port given to every port range
    uint32_t src_timeout;           // ms until a new client's first request is complete
    uint32_t dst_timeout;           // ms for a connection attempt
    uint32_t reply_timeout;         // ms of idleness before a session closes
    uint32_t relay_buffer;          // bytes one relay read may take (X_RELAY_BUFFER_*)
    uint64_t tovask_retry_interval; // ms between two sends of one agent request
    bool allow_internal_ip;         // private IPv4 destinations pass without asking
    uint64_t global_limit;          // admissions per second over all clients, 0 none
    uint64_t ip_limit;              // admissions per second per address, 0 none
    uint64_t ip_timout;             // ms lifetime of a per-address entry
    uint8_t ip_restrict_mode;       // source restriction mode, 0 off
    ngx_str_t ip_restrict_file;     // restriction list, read when the mode is on
    bool ipv6_model;                // accept IPv6 destinations, resolve AAAA too
    ngx_str_t hosts_file;           // names answered before DNS; empty for none
    uint32_t auth_num;              // entries in auths
    x_config_auth_t *auths;         // the backends
    uint32_t listen_count;          // listening sockets the ports need
    uint32_t port_num;              // entries in ports
    x_config_port_t *ports;         // the port ranges

    // What clients may claim and reach.
    bool allow_local_ip;               // authenticated clients may reach the host's own networks
    x_cidr_list_t proxy_protocol_from; // peers whose PROXY protocol headers are believed
};

// Peers whose PROXY protocol headers are believed when proxy_protocol_from is not set: load
// balancers beside the proxy or on private networks.
constexpr const char X_PROXY_PROTOCOL_FROM_DEFAULT[] =
    "127.0.0.0/8, 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16";

// Number of entries of the thread table: thread_num, but at least one.
inline uint32_t x_config_thread_count(const x_config_server_t *config) {
    return config->thread_num == 0 ? 1 : config->thread_num;
}

// Sets relay_buffer from either configuration form; false (with the error line) outside
// [X_RELAY_BUFFER_MIN, X_RELAY_BUFFER_MAX].
[[nodiscard]] bool x_config_set_relay_buffer(x_config_server_t *config, int64_t bytes);

// Loads the file into a zeroed record, as JSON when the name ends in ".json", else as INI. False
// after printing the failed step; what was filled stays for x_server_free_config. Missing
// required keys and malformed numbers end the process with status 1.
[[nodiscard]] bool x_server_load_config(x_config_server_t *config, const char *path);
[[nodiscard]] bool x_server_load_ini_config(x_config_server_t *config, const char *path);
// The JSON form of the same settings (x_server_config_json.cpp).
[[nodiscard]] bool x_server_load_json_config(x_config_server_t *config, const char *path);

// Callbacks of nat_cache: 32-bit keys and values stored in the pointers themselves.
extern dictType x_config_nat_dict_type;
// Fills proxy_protocol_from from its configuration text (both forms share it): a list for
// x_cidr_list_parse, or "none" for nobody. False after naming the malformed entry.
[[nodiscard]] bool x_server_load_proxy_protocol_from(x_config_server_t *config, const char *text);
// A signing salt: exactly X_SIGN_SALT_LEN printable ASCII characters (0x21 to 0x7E).
bool x_config_sign_salt_valid(const char *salt, size_t len);
// A deny_country value: empty, or two-letter upper-case codes separated by single commas.
bool x_config_deny_country_valid(const char *text, size_t len);
// Releases everything the loaders allocated and zeroes pointers and counts; safe after a
// partial load and when called twice.
void x_server_free_config(x_config_server_t *config);

// Fills a zeroed forward from "scheme://[user:pass@]host[:port]" or a bare scheme word. Other
// text without "://" succeeds and leaves the forward off. Credentials are not yet encoded.
[[nodiscard]] bool x_server_parse_forward_url(x_forward_t *forward, const char *text);
// Builds s5_auth and base64_auth from username and password. False when either is longer than
// X_FORWARD_MAX_CRED_LEN, a line already holds text, or memory runs out.
[[nodiscard]] bool x_forward_create_auth(x_forward_t *forward);
// Frees the owned strings of a forward and leaves them empty; the record itself stays.
void x_forward_member_free(x_forward_t *forward);
