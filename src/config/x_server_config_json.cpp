// The JSON form of the configuration: one object with "server" (global settings), "auth" (the
// backends, each naming its own index) and "port" (the port ranges). It fills the same record as
// the INI loader; where the two forms differ on purpose (defaults, required keys, booleans that
// must be true or false, addresses parsed as addresses) the comments say so.
//
// Numbers are range-checked on their full 64-bit value before they are narrowed to a field: a
// value that does not fit fails the load instead of wrapping into another meaning.
#include "config/x_server_config.h"

#include "bjson/binary_json.h"
#include "bjson/binary_json_parse.h"
#include "config/ini.h"
#include "core/log.h"
#include "core/socket_util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Longest resource file path the forward backend accepts.
constexpr size_t RESOURCE_FILE_MAX = 255;

using obj_t = const bjson_val_t *;

// ---- typed reads ----

// A string member: true with its text when present as a string.
struct text_t {
    const char *data = nullptr;
    size_t len = 0;
    int ilen() const { return static_cast<int>(len); }
};

bool get_text(obj_t obj, const char *key, text_t *out) {
    return bjson_object_get_string(obj, key, &out->data, &out->len);
}

// A present, non-empty string.
bool get_set_text(obj_t obj, const char *key, text_t *out) {
    return get_text(obj, key, out) && out->len > 0;
}

enum class num_read { missing, ok, bad };

// An integer member checked against [min, max] on its full value. A member of another kind
// counts as missing; a value outside the range prints a line and is bad.
num_read get_number(obj_t obj, const char *key, int64_t min, uint64_t max, uint64_t *out) {
    const bjson_val_t *m = bjson_object_get(obj, key);
    if (m == nullptr || (m->type != BJSON_INT && m->type != BJSON_UINT)) return num_read::missing;
    bool negative = m->type == BJSON_INT && m->i < 0;
    bool fits =
        negative ? m->i >= min : (min <= 0 || m->u >= static_cast<uint64_t>(min)) && m->u <= max;
    if (!fits) {
        char text[32];
        if (negative) {
            snprintf(text, sizeof text, "%" PRId64, m->i);
        } else {
            snprintf(text, sizeof text, "%" PRIu64, m->u);
        }
        log_error("config key [%s] value %s out of range [%" PRId64 ", %" PRIu64 "]\n", key, text,
                  min, max);
        return num_read::bad;
    }
    *out = m->u;
    return num_read::ok;
}

// The numeric field's type decides the range.
template <typename T> num_read get_field(obj_t obj, const char *key, T *field) {
    uint64_t v;
    num_read r = get_number(obj, key, static_cast<int64_t>(std::numeric_limits<T>::min()),
                            static_cast<uint64_t>(std::numeric_limits<T>::max()), &v);
    if (r == num_read::ok) *field = static_cast<T>(v);
    return r;
}

// An optional number: the default when missing; false (after its line) when out of range.
template <typename T> bool opt_field(obj_t obj, const char *key, T *field, T def) {
    *field = def;
    return get_field(obj, key, field) != num_read::bad;
}

// An optional boolean: only true and false count; anything else leaves the default.
bool opt_bool(obj_t obj, const char *key, bool def) {
    bool v = def;
    return bjson_object_get_bool(obj, key, &v) ? v : def;
}

bool save_text(ngx_str_t *out, const text_t &t) {
    return ngx_str_init(out, t.data, t.len);
}

bool path_exists(const text_t &t) {
    return access(t.data, F_OK) == 0;
}

bool is_directory(const text_t &t) {
    struct stat st;
    return stat(t.data, &st) == 0 && S_ISDIR(st.st_mode);
}

const bjson_val_t *get_array(obj_t obj, const char *key) {
    const bjson_val_t *a = bjson_object_get(obj, key);
    return a != nullptr && a->type == BJSON_ARRAY ? a : nullptr;
}

const bjson_val_t *get_object(obj_t obj, const char *key) {
    const bjson_val_t *o = bjson_object_get(obj, key);
    return o != nullptr && o->type == BJSON_OBJECT ? o : nullptr;
}

bool text_is(const text_t &t, const char *word) {
    return t.len == strlen(word) && memcmp(t.data, word, t.len) == 0;
}

// ---- server ----

bool load_threads(x_config_server_t *config, obj_t server) {
    const bjson_val_t *list = get_array(server, "thread");
    uint32_t count = bjson_array_len(list);
    if (count > 1) log_info("config use thread pool (%d)\n", static_cast<int>(count));
    if (count == 1) log_info("config use single thread\n");
    if (count > X_CONFIG_MAX_THREADS) count = X_CONFIG_MAX_THREADS;
    config->thread_num = count == 0 ? 1 : count;
    config->threads =
        static_cast<x_config_thread_t *>(calloc(config->thread_num, sizeof(x_config_thread_t)));
    if (config->threads == nullptr) return false;
    for (uint32_t i = 0; i < config->thread_num; ++i) {
        x_config_thread_t *t = &config->threads[i];
        const bjson_val_t *e = bjson_array_get(list, i);
        if (!opt_field<uint16_t>(e, "port_agent_data", &t->port_agent_data, 0) ||
            !opt_field<int>(e, "thread_core", &t->thread_core, -1)) {
            return false;
        }
        log_info("config thread %d thread_core:%d port_agent_data %u\n", static_cast<int>(i),
                 t->thread_core, static_cast<unsigned>(t->port_agent_data));
    }
    return true;
}

bool load_nat_list(x_config_server_t *config, obj_t server) {
    const bjson_val_t *list = get_array(server, "nat_list");
    if (bjson_array_len(list) == 0) return true;
    config->nat_cache = dictCreate(&x_config_nat_dict_type);
    if (config->nat_cache == nullptr) {
        log_error("config create nat cache dict failed\n");
        return false;
    }
    for (uint32_t i = 0; i < bjson_array_len(list); ++i) {
        const bjson_val_t *e = bjson_array_get(list, i);
        text_t in, pub;
        if (!get_text(e, "inline", &in) || !get_text(e, "public", &pub)) {
            log_error("config add nat cache get inline or public ip failed\n");
            return false;
        }
        in_addr_t inline_ip = is_ip_addr(in.data, in.len);
        in_addr_t public_ip = is_ip_addr(pub.data, pub.len);
        void *key = reinterpret_cast<void *>(static_cast<uintptr_t>(inline_ip));
        // A second record for the same local address is skipped, not an error.
        if (dictFind(config->nat_cache, key) == nullptr &&
            dictAdd(config->nat_cache, key,
                    reinterpret_cast<void *>(static_cast<uintptr_t>(public_ip))) != DICT_OK) {
            log_error("config add nat cache [%.*s:%.*s]\n", in.ilen(), in.data, pub.ilen(),
                      pub.data);
            return false;
        }
        log_info("config add nat cache [%.*s:%.*s] [%08x][%08x]\n", in.ilen(), in.data, pub.ilen(),
                 pub.data, inline_ip, public_ip);
    }
    return true;
}

// black_list_file and white_list_file: must exist; stored with their exact length.
bool load_list_path(ngx_str_t *out, obj_t server, const char *key, const char *what) {
    text_t path;
    if (!get_set_text(server, key, &path)) return true;
    if (!path_exists(path)) {
        log_error("config %s list file [%.*s] not found\n", what, path.ilen(), path.data);
        return false;
    }
    if (!save_text(out, path)) {
        log_error("config %s list file [%.*s] save failed\n", what, path.ilen(), path.data);
        return false;
    }
    log_info("config load %s list file [%.*s]\n", what, path.ilen(), path.data);
    return true;
}

bool load_ads_list(x_config_server_t *config, obj_t server) {
    text_t path;
    if (!get_set_text(server, "ads_list_file", &path)) return true;
    bool ok = path_exists(path) && save_text(&config->ads_list_file, path) &&
              x_acl_match_fill_cache_by_file(&config->ads_cache, path.data);
    if (!ok) {
        log_error("config ads list file [%.*s] load failed\n", path.ilen(), path.data);
        return false;
    }
    // Workers read the ads list concurrently: no lookup may move a bucket.
    x_acl_cache_seal(&config->ads_cache);
    log_info("config load ads list file [%.*s]\n", path.ilen(), path.data);
    return true;
}

// Settings both forms share with the same meaning and defaults.
bool load_server_extras(x_config_server_t *config, obj_t s) {
    uint64_t relay = X_RELAY_BUFFER_DEFAULT;
    if (get_number(s, "relay_buffer", X_RELAY_BUFFER_MIN, X_RELAY_BUFFER_MAX, &relay) ==
        num_read::bad) {
        return false;
    }
    config->relay_buffer = static_cast<uint32_t>(relay);
    // "none" turns the hosts file off; an empty text is the default.
    text_t hosts;
    if (!get_set_text(s, "hosts_file", &hosts)) hosts = {"/etc/hosts", strlen("/etc/hosts")};
    if (strcmpci(hosts.data, "none") != 0 && !save_text(&config->hosts_file, hosts)) {
        log_error("config hosts file [%.*s] save failed\n", hosts.ilen(), hosts.data);
        return false;
    }
    config->allow_local_ip = opt_bool(s, "allow_local_ip", false);
    text_t from = {X_PROXY_PROTOCOL_FROM_DEFAULT, strlen(X_PROXY_PROTOCOL_FROM_DEFAULT)};
    (void)get_text(s, "proxy_protocol_from", &from); // the default stays when absent
    return x_server_load_proxy_protocol_from(config, from.data);
}

bool load_server_numbers(x_config_server_t *config, obj_t s) {
    if (!opt_field<uint32_t>(s, "ros_id", &config->ros_id, 0) ||
        !opt_field<uint8_t>(s, "no_bind", &config->no_bind, 0) ||
        !opt_field<uint32_t>(s, "src_timeout", &config->src_timeout, 5000) ||
        !opt_field<uint32_t>(s, "dst_timeout", &config->dst_timeout, 5000) ||
        !opt_field<uint32_t>(s, "reply_timeout", &config->reply_timeout, 60000) ||
        !opt_field<uint64_t>(s, "tovask_retry_interval", &config->tovask_retry_interval, 500) ||
        !opt_field<uint8_t>(s, "forward_retry", &config->forward_retry, 0) ||
        !opt_field<uint16_t>(s, "port_health", &config->port_health, 0)) {
        return false;
    }
    uint32_t relay = 0;
    if (!opt_field<uint32_t>(s, "relay_buffer", &relay, X_RELAY_BUFFER_DEFAULT) ||
        !x_config_set_relay_buffer(config, relay))
        return false;
    config->allow_internal_ip = opt_bool(s, "allow_internal_ip", false);
    log_info("config load port health %u\n", static_cast<unsigned>(config->port_health));
    // The admission limits are 32-bit quantities in both forms.
    uint32_t qps = 0, ip_limit = 0, ip_timeout = 0;
    if (!opt_field<uint32_t>(s, "qps_limit", &qps, 0) ||
        !opt_field<uint32_t>(s, "ip_limit", &ip_limit, 0) ||
        !opt_field<uint32_t>(s, "ip_timout", &ip_timeout, 60000) ||
        !opt_field<uint8_t>(s, "ip_restrict_mode", &config->ip_restrict_mode, 0)) {
        return false;
    }
    config->global_limit = qps;
    config->ip_limit = ip_limit;
    config->ip_timout = ip_timeout;
    text_t file;
    if (config->ip_restrict_mode != 0 && get_set_text(s, "ip_restrict_file", &file) &&
        !save_text(&config->ip_restrict_file, file)) {
        log_error("config ip restrict file [%.*s] save failed\n", file.ilen(), file.data);
        return false;
    }
    config->ipv6_model = opt_bool(s, "ipv6_model", false);
    return load_server_extras(config, s);
}

bool load_server(x_config_server_t *config, obj_t server) {
    return load_threads(config, server) && load_nat_list(config, server) &&
           load_list_path(&config->black_list_file, server, "black_list_file", "black") &&
           load_ads_list(config, server) &&
           load_list_path(&config->white_list_file, server, "white_list_file", "white") &&
           load_server_numbers(config, server);
}

// ---- shared pieces of backends ----

// A "server" array of {"server_host", "server_port"}; the messages of the caller's kind.
struct server_list_msgs {
    const char *empty;   // missing or empty list
    const char *alloc;   // %u
    const char *missing; // an element without host or port
    const char *save;    // %.*s
};

bool load_servers(x_config_remote_server_t **servers, uint32_t *num, obj_t obj,
                  const server_list_msgs &msg) {
    const bjson_val_t *list = get_array(obj, "server");
    uint32_t n = bjson_array_len(list);
    if (n == 0) {
        log_error("%s", msg.empty);
        return false;
    }
    *servers = static_cast<x_config_remote_server_t *>(calloc(n, sizeof(x_config_remote_server_t)));
    if (*servers == nullptr) {
        log_error(msg.alloc, n);
        return false;
    }
    *num = n;
    for (uint32_t i = 0; i < n; ++i) {
        const bjson_val_t *e = bjson_array_get(list, i);
        x_config_remote_server_t *server = &(*servers)[i];
        text_t host;
        num_read port = get_field<uint16_t>(e, "server_port", &server->server_port);
        if (port == num_read::bad) return false;
        if (!get_text(e, "server_host", &host) || port == num_read::missing) {
            log_error("%s", msg.missing);
            return false;
        }
        if (!save_text(&server->server_host, host)) {
            log_error(msg.save, host.ilen(), host.data);
            return false;
        }
    }
    return true;
}

bool load_forward(x_forward_t *forward, obj_t obj) {
    if (!opt_field<uint8_t>(obj, "proto", &forward->proto, X_FORWARD_NONE)) return false;
    if (forward->proto > X_FORWARD_TOVASK) {
        log_error("config forward proto %u is invalid\n", static_cast<unsigned>(forward->proto));
        return false;
    }
    text_t host, user, pass;
    uint16_t port = 0;
    num_read pr = get_field<uint16_t>(obj, "port", &port);
    if (pr == num_read::bad) return false;
    if (!get_text(obj, "host", &host) || pr == num_read::missing) return true;
    if (!save_text(&forward->host, host)) {
        log_error("config forward host [%.*s] save failed\n", host.ilen(), host.data);
        return false;
    }
    forward->port = port;
    if (!get_text(obj, "username", &user) || !get_text(obj, "password", &pass)) return true;
    forward->has_username = 1;
    if (!save_text(&forward->username, user)) {
        log_error("config forward username [%.*s] save failed\n", user.ilen(), user.data);
        return false;
    }
    if (!save_text(&forward->password, pass)) {
        log_error("config forward password [***] save failed\n"); // never a password in a log
        return false;
    }
    if (!x_forward_create_auth(forward)) {
        // Over-long credentials cannot be put in the SOCKS5 message; otherwise memory ran out.
        bool s5 = user.len > X_FORWARD_MAX_CRED_LEN || pass.len > X_FORWARD_MAX_CRED_LEN;
        log_error("config forward username [%.*s] create %s auth failed\n", user.ilen(), user.data,
                  s5 ? "s5" : "http");
        return false;
    }
    return true;
}

bool load_log(x_config_auth_log_t *log, obj_t obj) {
    text_t path;
    if (!get_set_text(obj, "log_path", &path)) {
        log_error("config auth log path get failed\n");
        return false;
    }
    num_read size = get_field<uint32_t>(obj, "log_size", &log->log_size);
    if (size != num_read::ok) {
        if (size == num_read::missing) log_error("config auth log size get failed\n");
        return false;
    }
    num_read num = get_field<uint32_t>(obj, "log_num", &log->log_num);
    if (num != num_read::ok) {
        if (num == num_read::missing) log_error("config auth log num get failed\n");
        return false;
    }
    if (!opt_field<uint32_t>(obj, "interval", &log->interval, 3)) return false;
    if (!is_directory(path)) {
        log_error("config auth log path file [%.*s] not found\n", path.ilen(), path.data);
        return false;
    }
    if (!save_text(&log->log_path, path)) {
        log_error("config auth log path file [%.*s] save failed\n", path.ilen(), path.data);
        return false;
    }
    return true;
}

// A required number of a report object: false after the missing line or the range line.
bool need_field(obj_t obj, const char *key, uint32_t *field, const char *missing) {
    num_read r = get_field<uint32_t>(obj, key, field);
    if (r == num_read::missing) log_error("%s", missing);
    return r == num_read::ok;
}

bool load_report(x_config_auth_log_report_t *report, obj_t obj) {
    static const server_list_msgs msgs = {
        "config auth log report server is null\n",
        "config auth log report server %u malloc failed\n",
        "config auth log report server get host or port failed\n",
        "config auth log report server save host [%.*s] failed\n"};
    if (!load_servers(&report->servers, &report->server_num, obj, msgs)) return false;
    text_t server_path, log_path;
    if (!get_set_text(obj, "server_path", &server_path)) {
        log_error("config auth log report get server path failed\n");
        return false;
    }
    if (!get_set_text(obj, "log_path", &log_path)) {
        log_error("config auth log report get log path failed\n");
        return false;
    }
    // Unlike the log object, a report has no default interval.
    if (!need_field(obj, "interval", &report->interval,
                    "config auth log report get interval failed\n") ||
        !need_field(obj, "log_num", &report->log_num,
                    "config auth log report get log num failed\n")) {
        return false;
    }
    if (!path_exists(log_path)) {
        log_error("config auth log report path file [%.*s] not found\n", log_path.ilen(),
                  log_path.data);
        return false;
    }
    if (!save_text(&report->server_path, server_path)) {
        log_error("config auth log report server path [%.*s] save failed\n", server_path.ilen(),
                  server_path.data);
        return false;
    }
    if (!save_text(&report->log_path, log_path)) {
        log_error("config auth log report log path [%.*s] save failed\n", log_path.ilen(),
                  log_path.data);
        return false;
    }
    return true;
}

bool load_auth_logs(x_config_auth_t *auth, obj_t obj, uint32_t index) {
    struct {
        const char *key;
        x_config_auth_log_t *log;
        x_config_auth_log_report_t *report;
        const char *what;
    } parts[] = {
        {"access_log", &auth->access_log, nullptr, "access"},
        {"flow_log", &auth->flow_log, nullptr, "flow"},
        {"stats_log", &auth->stats_log, nullptr, "stats"},
        {"flow_report", nullptr, &auth->flow_report, "flow report"},
        {"stats_report", nullptr, &auth->stats_report, "stats report"},
    };
    for (const auto &p : parts) {
        const bjson_val_t *o = get_object(obj, p.key);
        if (o == nullptr) continue;
        bool ok = p.log != nullptr ? load_log(p.log, o) : load_report(p.report, o);
        if (!ok) {
            log_error("config auth index %u load %s config failed\n", index, p.what);
            return false;
        }
    }
    return true;
}

// ---- backends ----

bool load_local(x_config_auth_local_t *local, obj_t obj) {
    const bjson_val_t *list = get_array(obj, "user");
    uint32_t n = bjson_array_len(list);
    if (!opt_field<uint32_t>(obj, "whitelist_rate_limit", &local->whitelist_rate_limit, 0)) {
        return false;
    }
    text_t whitelist;
    if (get_set_text(obj, "whitelist_file", &whitelist) &&
        !save_text(&local->whitelist_file, whitelist)) {
        log_error("config local auth save whitelist file [%.*s] failed\n", whitelist.ilen(),
                  whitelist.data);
        return false;
    }
    if (n == 0) return true;
    local->merge_rate_limit = opt_bool(obj, "merge_rate_limit", false);
    local->users =
        static_cast<x_config_auth_local_user_t *>(calloc(n, sizeof(x_config_auth_local_user_t)));
    if (local->users == nullptr) {
        log_error("config local auth %u users malloc failed\n", n);
        return false;
    }
    local->user_num = n;
    for (uint32_t i = 0; i < n; ++i) {
        const bjson_val_t *e = bjson_array_get(list, i);
        x_config_auth_local_user_t *user = &local->users[i];
        text_t name, pass;
        if (!get_text(e, "username", &name) || !get_text(e, "password", &pass)) {
            log_error("config local auth get username or password failed\n");
            return false;
        }
        if (!save_text(&user->username, name)) {
            log_error("config local auth save username [%.*s] failed\n", name.ilen(), name.data);
            return false;
        }
        if (!save_text(&user->password, pass)) {
            log_error("config local auth save password [***] failed\n");
            return false;
        }
        if (!opt_field<uint32_t>(e, "rate_limit", &user->rate_limit, 0)) return false;
    }
    return true;
}

bool save_optional(ngx_str_t *out, obj_t obj, const char *key, const char *fmt) {
    text_t t;
    if (!get_set_text(obj, key, &t) || save_text(out, t)) return true;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    log_error(fmt, t.ilen(), t.data);
#pragma GCC diagnostic pop
    return false;
}

bool load_remote(x_config_auth_remote_t *remote, obj_t obj) {
    static const server_list_msgs msgs = {"config remote auth server is null\n",
                                          "config remote auth server %u malloc failed\n",
                                          "config remote auth server get host or port failed\n",
                                          "config remote auth server save host [%.*s] failed\n"};
    if (!load_servers(&remote->servers, &remote->server_num, obj, msgs)) return false;
    if (!opt_field<uint32_t>(obj, "trans_type", &remote->trans_type, 0) ||
        !opt_field<uint32_t>(obj, "pool_size", &remote->pool_size, 2) ||
        !opt_field<uint32_t>(obj, "error_timeout", &remote->error_timeout, 10000) ||
        !opt_field<uint32_t>(obj, "cache_timeout", &remote->cache_timeout, 0)) {
        return false;
    }
    if (!save_optional(&remote->if_name, obj, "if_name",
                       "config remote auth server save if name [%.*s] failed\n") ||
        !save_optional(&remote->server_path, obj, "server_path",
                       "config remote auth server save server path [%.*s] failed\n") ||
        !save_optional(&remote->tag, obj, "tag",
                       "config remote auth server save tag [%.*s] failed\n")) {
        return false;
    }
    text_t bind;
    if (get_text(obj, "bind_addr", &bind)) remote->bind_addr = is_ip_addr(bind.data, bind.len);
    // Unlike the INI form, requests are not merged unless the file says so.
    remote->no_merge = opt_bool(obj, "no_merge", true);
    remote->no_whitelist = opt_bool(obj, "no_whitelist", false);
    remote->is_priority = opt_bool(obj, "is_priority", false);
    remote->merge_rate_limit = opt_bool(obj, "merge_rate_limit", false);
    return true;
}

bool load_forward_users(x_config_auth_forward_t *fwd, obj_t obj) {
    const bjson_val_t *list = get_array(obj, "user");
    uint32_t n = bjson_array_len(list);
    if (n == 0) return true;
    fwd->users = static_cast<x_config_auth_forward_user_t *>(
        calloc(n, sizeof(x_config_auth_forward_user_t)));
    if (fwd->users == nullptr) {
        log_error("config forward auth users %u malloc failed\n", n);
        return false;
    }
    fwd->user_num = n;
    for (uint32_t i = 0; i < n; ++i) {
        const bjson_val_t *e = bjson_array_get(list, i);
        x_config_auth_forward_user_t *user = &fwd->users[i];
        text_t name, pass;
        if (!get_text(e, "username", &name) || !get_text(e, "password", &pass)) {
            log_error("config forward auth users get username or password failed\n");
            return false;
        }
        if (!save_text(&user->username, name)) {
            log_error("config forward auth username [%.*s] save failed\n", name.ilen(), name.data);
            return false;
        }
        if (!save_text(&user->password, pass)) {
            log_error("config forward auth password [***] save failed\n");
            return false;
        }
        if (!opt_field<uint32_t>(e, "rate_limit", &user->rate_limit, 0) ||
            !opt_field<uint32_t>(e, "conn_limit", &user->conn_limit, 0)) {
            return false;
        }
        const bjson_val_t *forward = get_object(e, "forward");
        if (forward != nullptr && !load_forward(&user->forward, forward)) {
            log_error("config forward auth username [%.*s] load forward failed\n", name.ilen(),
                      name.data);
            return false;
        }
    }
    return true;
}

// "sign_salt": required when `required`, checked when given (as in the INI form).
bool load_sign_salt(ngx_str_t *out, obj_t obj, uint32_t index, bool required) {
    text_t salt;
    if (!get_text(obj, "sign_salt", &salt)) {
        if (required) log_error("config auth index %u sign_salt is required\n", index);
        return !required;
    }
    if (!x_config_sign_salt_valid(salt.data, salt.len)) {
        log_error("config auth index %u sign_salt must be exactly %zu printable ASCII characters\n",
                  index, X_SIGN_SALT_LEN);
        return false;
    }
    return save_text(out, salt);
}

// "deny_country": two-letter codes separated by commas; "" or "none" refuses no country.
bool load_deny_country(ngx_str_t *out, obj_t obj, uint32_t index) {
    text_t codes = {X_DENY_COUNTRY_DEFAULT, strlen(X_DENY_COUNTRY_DEFAULT)};
    (void)get_text(obj, "deny_country", &codes);
    if (text_is(codes, "none")) codes.len = 0;
    if (!x_config_deny_country_valid(codes.data, codes.len)) {
        log_error("config auth index %u deny_country [%.*s] must be two-letter codes separated by "
                  "commas\n",
                  index, codes.ilen(), codes.data);
        return false;
    }
    return save_text(out, codes);
}

bool load_forward_auth(x_config_auth_forward_t *fwd, obj_t obj, uint32_t index) {
    text_t ip2location, resource_file;
    if (get_set_text(obj, "ip2location", &ip2location)) {
        if (!path_exists(ip2location)) {
            log_error("config forward auth ip2location file [%.*s] not found\n", ip2location.ilen(),
                      ip2location.data);
            return false;
        }
        if (!save_text(&fwd->ip2location, ip2location)) {
            log_error("config forward auth ip2location file [%.*s] save failed\n",
                      ip2location.ilen(), ip2location.data);
            return false;
        }
    }
    if (!opt_field<uint32_t>(obj, "resource", &fwd->resource, 0) ||
        !load_deny_country(&fwd->deny_country, obj, index) ||
        !load_sign_salt(&fwd->sign_salt, obj, index, fwd->resource == 1)) {
        return false;
    }
    if (fwd->resource == 2) return true; // the user-name scheme has neither file nor users
    if (get_set_text(obj, "resource_file", &resource_file)) {
        if (resource_file.len > RESOURCE_FILE_MAX || !path_exists(resource_file)) {
            log_error("config forward auth resource file [%.*s] not found\n", resource_file.ilen(),
                      resource_file.data);
            return false;
        }
        if (!save_text(&fwd->resource_file, resource_file)) {
            log_error("config forward auth resource file [%.*s] save failed\n",
                      resource_file.ilen(), resource_file.data);
            return false;
        }
    }
    return load_forward_users(fwd, obj);
}

// The whole keyword: "loc" or "" is no backend kind.
uint16_t auth_type(const text_t &t) {
    static const struct {
        const char *name;
        uint16_t type;
    } kinds[] = {{"local", X_AUTH_TYPE_LOCAL},
                 {"remote", X_AUTH_TYPE_REMOTE},
                 {"tovask", X_AUTH_TYPE_TOVASK},
                 {"forward", X_AUTH_TYPE_FORWARD}};
    for (const auto &k : kinds)
        if (text_is(t, k.name)) return k.type;
    return 0;
}

bool load_auth(x_config_server_t *config, obj_t e) {
    uint64_t index = 0;
    text_t type;
    num_read r = get_number(e, "index", 0, UINT64_MAX, &index);
    if (r == num_read::missing || !get_text(e, "type", &type)) {
        log_error("config auth get index or type failed\n");
        return false;
    }
    if (index >= config->auth_num || index > UINT16_MAX) {
        log_error("config auth index %" PRIu64 " out of range, %u backends\n", index,
                  config->auth_num);
        return false;
    }
    auto n = static_cast<uint32_t>(index);
    x_config_auth_t *auth = &config->auths[n];
    if (auth->type != 0) {
        log_error("config auth index %u repeat\n", n);
        return false;
    }
    uint16_t kind = auth_type(type);
    if (kind == 0) {
        log_error("config auth unknown auth mode: %.*s\n", type.ilen(), type.data);
        return false;
    }
    auth->type = kind;
    auth->index = static_cast<uint16_t>(n);
    const char *failed = nullptr;
    if (kind == X_AUTH_TYPE_LOCAL && !load_local(&auth->config.local, e)) failed = "local";
    if (kind == X_AUTH_TYPE_REMOTE && !load_remote(&auth->config.remote, e)) failed = "remote";
    if (kind == X_AUTH_TYPE_TOVASK && !load_sign_salt(&auth->config.tovask.sign_salt, e, n, true)) {
        failed = "tovask";
    }
    if (kind == X_AUTH_TYPE_FORWARD && !load_forward_auth(&auth->config.forward, e, n)) {
        failed = "forward";
    }
    if (failed != nullptr) {
        log_error("config auth index %u load %s config failed\n", n, failed);
        return false;
    }
    return load_auth_logs(auth, e, n);
}

bool load_auths(x_config_server_t *config, obj_t root) {
    const bjson_val_t *list = get_array(root, "auth");
    uint32_t n = bjson_array_len(list);
    if (n == 0) return true;
    config->auths = static_cast<x_config_auth_t *>(calloc(n, sizeof(x_config_auth_t)));
    if (config->auths == nullptr) {
        log_error("config auths malloc failed\n");
        return false;
    }
    config->auth_num = n;
    for (uint32_t i = 0; i < n; ++i)
        if (!load_auth(config, bjson_array_get(list, i))) return false;
    return true;
}

// ---- ports ----

bool load_port_auth(x_config_server_t *config, x_config_port_t *port, obj_t e, uint32_t n) {
    // The whole value decides: 255 is not -1 and 256 is not 0.
    const bjson_val_t *m = bjson_object_get(e, "auth_index");
    int64_t index = -1;
    if (m != nullptr && m->type == BJSON_INT) index = m->i;
    if (m != nullptr && m->type == BJSON_UINT) index = m->u > INT64_MAX ? INT64_MAX : m->i;
    if (index == -1) {
        port->auth_index = -1;
        log_info("port %u run with NO AUTH mode\n", n);
        return true;
    }
    // The record holds a signed byte: an index beyond it could not be stored.
    if (index < 0 || index > INT8_MAX || static_cast<uint64_t>(index) >= config->auth_num ||
        config->auths[index].type == 0) {
        log_error("config port index %u auth index %" PRId64 " is invalid\n", n, index);
        return false;
    }
    port->auth_index = static_cast<int8_t>(index);
    config->auths[index].need_start = true;
    return true;
}

// "auto", or a comma-separated list of whole keywords ("socks5,http"), as in the INI form; any
// other text prints a line and leaves the port accepting no client.
uint8_t listen_table(const text_t &t) {
    if (text_is(t, "auto")) return X_LISTEN_AUTO;
    static const struct {
        const char *name;
        uint8_t bit;
    } words[] = {{"http", X_LISTEN_HTTP}, {"socks5", X_LISTEN_SOCKS5}, {"xraw", X_LISTEN_XRAW}};
    uint8_t bits = 0;
    size_t at = 0;
    do {
        const char *comma = static_cast<const char *>(memchr(t.data + at, ',', t.len - at));
        size_t end = comma != nullptr ? static_cast<size_t>(comma - t.data) : t.len;
        uint8_t bit = 0;
        for (const auto &w : words)
            if (text_is(text_t{t.data + at, end - at}, w.name)) bit = w.bit;
        if (bit == 0) {
            log_error("not supported protocol %.*s\n", t.ilen(), t.data);
            return 0;
        }
        bits |= bit;
        at = end + 1;
    } while (at <= t.len);
    return bits;
}

bool load_port(x_config_server_t *config, x_config_port_t *port, obj_t e, uint32_t n) {
    text_t addr, protocol, ipv6, if_name;
    num_read start = get_field<uint16_t>(e, "port_start", &port->port_start);
    if (start == num_read::bad) return false;
    num_read end = get_field<uint16_t>(e, "port_end", &port->port_end);
    if (end == num_read::bad) return false;
    if (!get_text(e, "addr", &addr) || start == num_read::missing || end == num_read::missing ||
        !get_text(e, "listen_protocol", &protocol)) {
        log_error("config port index %u get addr or port start or port end or listen protocol "
                  "config failed\n",
                  n);
        return false;
    }
    if (port->port_start > port->port_end) {
        log_error("config port index %u port start[%u] > port end[%u] is error\n", n,
                  static_cast<unsigned>(port->port_start), static_cast<unsigned>(port->port_end));
        return false;
    }
    if (!load_port_auth(config, port, e, n)) return false;
    port->port_id = n;
    port->addr = is_ip_addr(addr.data, addr.len);
    // Without the key the port listens on "::", as in the INI form.
    const char *v6 = get_set_text(e, "ipv6_addr", &ipv6) ? ipv6.data : "::";
    port->ipv6_addr.sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, v6, &port->ipv6_addr.sin6_addr) != 1) {
        log_error("port ipv6_addr %s inet_pton failed\n", v6);
        return false;
    }
    if (get_set_text(e, "if_name", &if_name) && !save_text(&port->name, if_name)) {
        log_error("config port index %u save if name [%.*s] failed\n", n, if_name.ilen(),
                  if_name.data);
        return false;
    }
    port->listentbl = listen_table(protocol);
    port->allow_udp = opt_bool(e, "allow_udp", false);
    // The global health port, when set, overrides the port's own.
    if (config->port_health != 0) {
        port->port_health = config->port_health;
    } else if (!opt_field<uint16_t>(e, "port_health", &port->port_health, 0)) {
        return false;
    }
    if (port->port_health != 0) {
        config->listen_count += 1;
        log_info("config port %u health port %u\n", n, static_cast<unsigned>(port->port_health));
    }
    const bjson_val_t *forward = get_object(e, "forward");
    if (forward != nullptr && !load_forward(&port->forward, forward)) {
        log_error("config port index %u load forward failed\n", n);
        return false;
    }
    config->listen_count += static_cast<uint32_t>(port->port_end - port->port_start) + 1;
    return true;
}

bool load_ports(x_config_server_t *config, obj_t root) {
    const bjson_val_t *list = get_array(root, "port");
    uint32_t n = bjson_array_len(list);
    if (n == 0) {
        log_error("config need port config\n");
        return false;
    }
    config->ports = static_cast<x_config_port_t *>(calloc(n, sizeof(x_config_port_t)));
    if (config->ports == nullptr) {
        log_error("config ports malloc failed\n");
        return false;
    }
    config->port_num = n;
    for (uint32_t i = 0; i < n; ++i)
        if (!load_port(config, &config->ports[i], bjson_array_get(list, i), i)) return false;
    return true;
}

bool load_document(x_config_server_t *config, obj_t root) {
    const bjson_val_t *server = get_object(root, "server");
    if (server == nullptr) {
        log_error("config need server config\n");
        return false;
    }
    return load_server(config, server) && load_auths(config, root) && load_ports(config, root);
}

} // namespace

bool x_server_load_json_config(x_config_server_t *config, const char *path) {
    size_t size = 0;
    errno = 0;
    // A regular file under 2 GiB, read whole: a FIFO or a device cannot stall the start-up.
    char *text = ini_read_whole(path, &size);
    if (text == nullptr) {
        if (errno == ENOMEM) {
            perror("内存分配失败");
        } else {
            if (errno == 0) errno = EINVAL; // not a regular file, or too large
            perror("无法打开文件");
        }
        return false;
    }
    bjson_val_t *root = nullptr;
    bool ok = bjson_decode_from_str(&root, text, strlen(text));
    if (!ok) {
        log_error("config bjson decode from str failed\n");
    } else {
        ok = load_document(config, root);
    }
    bjson_free(root);
    free(text);
    return ok;
}
