#include "config/x_server_config.h"

#include "config/ini.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A configuration loaded from a file with the output it printed; freed at scope exit.
struct Loaded {
    x_config_server_t config = {};
    bool ok = false;
    std::string out;
    explicit Loaded(const std::string &path) {
        testing::internal::CaptureStdout();
        ok = x_server_load_config(&config, path.c_str());
        out = testing::internal::GetCapturedStdout();
    }
    ~Loaded() { x_server_free_config(&config); }
};

// A C string view of a path (the INI form counts the NUL of the white list path).
std::string path_of(const ngx_str_t &s) {
    return s.data == nullptr ? std::string() : std::string(reinterpret_cast<char *>(s.data));
}

std::string val(const ngx_str_t &s) {
    return s.data == nullptr ? std::string() : std::string(reinterpret_cast<char *>(s.data), s.len);
}
template <typename V> const V &val(const V &v) {
    return v;
}

// Expects the listed fields equal in both records (strings by their text).
template <typename T, typename... F> void same(const T &a, const T &b, F T::*...f) {
    int field = 0;
    ([&] { EXPECT_EQ(val(a.*f), val(b.*f)) << "field " << field++; }(), ...);
}

void same_forward(const x_forward_t &a, const x_forward_t &b) {
    using F = x_forward_t;
    same(a, b, &F::username, &F::password, &F::host, &F::base64_auth, &F::s5_auth, &F::port,
         &F::has_username, &F::proto);
}

void same_servers(const x_config_remote_server_t *a, const x_config_remote_server_t *b,
                  uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        same(a[i], b[i], &x_config_remote_server_t::server_host,
             &x_config_remote_server_t::server_port);
}

void same_auth(const x_config_auth_t &a, const x_config_auth_t &b) {
    ASSERT_EQ(a.type, b.type);
    EXPECT_EQ(a.need_start, b.need_start);
    if (a.type == X_AUTH_TYPE_LOCAL) {
        using L = x_config_auth_local_t;
        const L &x = a.config.local, &y = b.config.local;
        ASSERT_EQ(x.user_num, y.user_num);
        for (uint32_t i = 0; i < x.user_num; ++i)
            same(x.users[i], y.users[i], &x_config_auth_local_user_t::username,
                 &x_config_auth_local_user_t::password, &x_config_auth_local_user_t::rate_limit);
        same(x, y, &L::whitelist_rate_limit, &L::whitelist_file, &L::merge_rate_limit);
    }
    if (a.type == X_AUTH_TYPE_REMOTE) {
        using R = x_config_auth_remote_t;
        const R &x = a.config.remote, &y = b.config.remote;
        ASSERT_EQ(x.server_num, y.server_num);
        same_servers(x.servers, y.servers, x.server_num);
        same(x, y, &R::trans_type, &R::pool_size, &R::if_name, &R::bind_addr, &R::server_path,
             &R::use_virtual_ip, &R::no_merge, &R::no_whitelist, &R::tag, &R::error_timeout,
             &R::merge_rate_limit, &R::is_priority, &R::cache_timeout);
    }
    if (a.type == X_AUTH_TYPE_TOVASK) {
        EXPECT_EQ(val(a.config.tovask.sign_salt), val(b.config.tovask.sign_salt));
    }
    if (a.type == X_AUTH_TYPE_FORWARD) {
        using W = x_config_auth_forward_t;
        using U = x_config_auth_forward_user_t;
        const W &x = a.config.forward, &y = b.config.forward;
        same(x, y, &W::ip2location, &W::resource, &W::resource_file, &W::deny_country,
             &W::sign_salt);
        ASSERT_EQ(x.user_num, y.user_num);
        for (uint32_t i = 0; i < x.user_num; ++i) {
            same(x.users[i], y.users[i], &U::username, &U::password, &U::rate_limit,
                 &U::conn_limit);
            same_forward(x.users[i].forward, y.users[i].forward);
        }
    }
    for (auto log :
         {&x_config_auth_t::access_log, &x_config_auth_t::flow_log, &x_config_auth_t::stats_log})
        same(a.*log, b.*log, &x_config_auth_log_t::interval, &x_config_auth_log_t::log_path,
             &x_config_auth_log_t::log_size, &x_config_auth_log_t::log_num);
    for (auto report : {&x_config_auth_t::flow_report, &x_config_auth_t::stats_report}) {
        using P = x_config_auth_log_report_t;
        const P &x = a.*report, &y = b.*report;
        ASSERT_EQ(x.server_num, y.server_num);
        same_servers(x.servers, y.servers, x.server_num);
        same(x, y, &P::server_path, &P::interval, &P::log_path, &P::log_num);
    }
}

// Every field; for "auto" threads in the INI form, only the entries both tables have.
void same_config(const x_config_server_t &a, const x_config_server_t &b, bool auto_threads) {
    using C = x_config_server_t;
    if (!auto_threads) {
        EXPECT_EQ(a.thread_num, b.thread_num);
    }
    uint32_t threads = std::min(x_config_thread_count(&a), x_config_thread_count(&b));
    for (uint32_t i = 0; i < threads; ++i) {
        SCOPED_TRACE(i);
        same(a.threads[i], b.threads[i], &x_config_thread_t::port_agent_data,
             &x_config_thread_t::port_health, &x_config_thread_t::thread_core);
    }
    EXPECT_EQ(a.nat_cache == nullptr ? 0 : dictSize(a.nat_cache),
              b.nat_cache == nullptr ? 0 : dictSize(b.nat_cache));
    EXPECT_EQ(path_of(a.white_list_file), path_of(b.white_list_file));
    same(a, b, &C::ros_id, &C::black_list_file, &C::ads_list_file, &C::no_bind, &C::forward_retry,
         &C::port_health, &C::src_timeout, &C::dst_timeout, &C::reply_timeout,
         &C::tovask_retry_interval, &C::relay_buffer, &C::allow_internal_ip, &C::global_limit,
         &C::ip_limit, &C::ip_timout, &C::ip_restrict_mode, &C::ip_restrict_file, &C::ipv6_model,
         &C::hosts_file, &C::allow_local_ip, &C::listen_count);
    ASSERT_EQ(a.proxy_protocol_from.num, b.proxy_protocol_from.num);
    EXPECT_EQ(memcmp(a.proxy_protocol_from.items, b.proxy_protocol_from.items,
                     a.proxy_protocol_from.num * sizeof(x_cidr_t)),
              0);
    ASSERT_EQ(a.auth_num, b.auth_num);
    for (uint32_t i = 0; i < a.auth_num; ++i)
        same_auth(a.auths[i], b.auths[i]);
    ASSERT_EQ(a.port_num, b.port_num);
    using P = x_config_port_t;
    for (uint32_t i = 0; i < a.port_num; ++i) {
        const P &x = a.ports[i], &y = b.ports[i];
        EXPECT_EQ(memcmp(&x.ipv6_addr, &y.ipv6_addr, sizeof x.ipv6_addr), 0);
        same(x, y, &P::port_id, &P::addr, &P::name, &P::port_start, &P::port_end, &P::port_health,
             &P::listentbl, &P::allow_udp, &P::auth_index, &P::has_level);
        same_forward(x.forward, y.forward);
    }
}

TEST(ConfigJson, ExamplePairsLoadTheSameRecord) {
    mkdir("/tmp/quoxel-flow", 0755); // the remote example's report directory
    // The examples name their list files relative to the source tree.
    ASSERT_EQ(chdir(QUOXEL_EXAMPLES_DIR "/.."), 0);
    for (const char *name : {"quickstart", "local", "remote", "tovask", "forward", "kestrum"}) {
        std::string base = std::string(QUOXEL_EXAMPLES_DIR) + "/" + name;
        Loaded ini(base + ".ini"), json(base + ".json");
        ASSERT_TRUE(ini.ok) << name << ini.out;
        ASSERT_TRUE(json.ok) << name << json.out;
        ini_t *raw = ini_load((base + ".ini").c_str());
        ASSERT_NE(raw, nullptr);
        bool auto_threads = strcmp(ini_get_string(raw, "kni", "thread_num"), "auto") == 0;
        ini_free(raw);
        SCOPED_TRACE(name);
        same_config(ini.config, json.config, auto_threads);
    }
}

} // namespace
