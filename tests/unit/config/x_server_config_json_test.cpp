#include "config/x_server_config.h"

#include "config/ini.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Loaded {
    x_config_server_t config = {};
    bool ok = false;
    std::string out;
};

void load_file(const std::string &path, Loaded *l) {
    testing::internal::CaptureStdout();
    l->ok = x_server_load_config(&l->config, path.c_str());
    l->out = testing::internal::GetCapturedStdout();
}

// Loads the JSON text from a temporary ".json" file.
void load_json(const std::string &text, Loaded *l) {
    char path[] = "/tmp/xcfg_json_XXXXXX.json";
    int fd = mkstemps(path, 5);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    load_file(path, l);
    unlink(path);
}

std::string str(const ngx_str_t &s) {
    return s.data == nullptr ? std::string() : std::string(reinterpret_cast<char *>(s.data), s.len);
}

// A C string view of a path (the INI form counts the NUL of the white list path).
std::string path_of(const ngx_str_t &s) {
    return s.data == nullptr ? std::string() : std::string(reinterpret_cast<char *>(s.data));
}

// ---- the example pairs ----

void same_forward(const x_forward_t &a, const x_forward_t &b) {
    EXPECT_EQ(str(a.username), str(b.username));
    EXPECT_EQ(str(a.password), str(b.password));
    EXPECT_EQ(str(a.host), str(b.host));
    EXPECT_EQ(str(a.base64_auth), str(b.base64_auth));
    EXPECT_EQ(str(a.s5_auth), str(b.s5_auth));
    EXPECT_EQ(a.port, b.port);
    EXPECT_EQ(a.has_username, b.has_username);
    EXPECT_EQ(a.proto, b.proto);
}

void same_servers(const x_config_remote_server_t *a, const x_config_remote_server_t *b,
                  uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_EQ(str(a[i].server_host), str(b[i].server_host));
        EXPECT_EQ(a[i].server_port, b[i].server_port);
    }
}

void same_log(const x_config_auth_log_t &a, const x_config_auth_log_t &b) {
    EXPECT_EQ(a.interval, b.interval);
    EXPECT_EQ(str(a.log_path), str(b.log_path));
    EXPECT_EQ(a.log_size, b.log_size);
    EXPECT_EQ(a.log_num, b.log_num);
}

void same_report(const x_config_auth_log_report_t &a, const x_config_auth_log_report_t &b) {
    ASSERT_EQ(a.server_num, b.server_num);
    same_servers(a.servers, b.servers, a.server_num);
    EXPECT_EQ(str(a.server_path), str(b.server_path));
    EXPECT_EQ(a.interval, b.interval);
    EXPECT_EQ(str(a.log_path), str(b.log_path));
    EXPECT_EQ(a.log_num, b.log_num);
}

void same_auth(const x_config_auth_t &a, const x_config_auth_t &b) {
    ASSERT_EQ(a.type, b.type);
    EXPECT_EQ(a.need_start, b.need_start);
    if (a.type == X_AUTH_TYPE_LOCAL) {
        const x_config_auth_local_t &x = a.config.local, &y = b.config.local;
        ASSERT_EQ(x.user_num, y.user_num);
        for (uint32_t i = 0; i < x.user_num; ++i) {
            EXPECT_EQ(str(x.users[i].username), str(y.users[i].username));
            EXPECT_EQ(str(x.users[i].password), str(y.users[i].password));
            EXPECT_EQ(x.users[i].rate_limit, y.users[i].rate_limit);
        }
        EXPECT_EQ(x.whitelist_rate_limit, y.whitelist_rate_limit);
        EXPECT_EQ(str(x.whitelist_file), str(y.whitelist_file));
        EXPECT_EQ(x.merge_rate_limit, y.merge_rate_limit);
    }
    if (a.type == X_AUTH_TYPE_REMOTE) {
        const x_config_auth_remote_t &x = a.config.remote, &y = b.config.remote;
        EXPECT_EQ(x.trans_type, y.trans_type);
        EXPECT_EQ(x.pool_size, y.pool_size);
        EXPECT_EQ(str(x.if_name), str(y.if_name));
        EXPECT_EQ(x.bind_addr, y.bind_addr);
        ASSERT_EQ(x.server_num, y.server_num);
        same_servers(x.servers, y.servers, x.server_num);
        EXPECT_EQ(str(x.server_path), str(y.server_path));
        EXPECT_EQ(x.use_virtual_ip, y.use_virtual_ip);
        EXPECT_EQ(x.no_merge, y.no_merge);
        EXPECT_EQ(x.no_whitelist, y.no_whitelist);
        EXPECT_EQ(str(x.tag), str(y.tag));
        EXPECT_EQ(x.error_timeout, y.error_timeout);
        EXPECT_EQ(x.merge_rate_limit, y.merge_rate_limit);
        EXPECT_EQ(x.is_priority, y.is_priority);
        EXPECT_EQ(x.cache_timeout, y.cache_timeout);
    }
    if (a.type == X_AUTH_TYPE_TOVASK) {
        EXPECT_EQ(str(a.config.tovask.sign_salt), str(b.config.tovask.sign_salt));
    }
    if (a.type == X_AUTH_TYPE_FORWARD) {
        const x_config_auth_forward_t &x = a.config.forward, &y = b.config.forward;
        EXPECT_EQ(str(x.ip2location), str(y.ip2location));
        EXPECT_EQ(x.resource, y.resource);
        EXPECT_EQ(str(x.resource_file), str(y.resource_file));
        EXPECT_EQ(str(x.deny_country), str(y.deny_country));
        EXPECT_EQ(str(x.sign_salt), str(y.sign_salt));
        ASSERT_EQ(x.user_num, y.user_num);
        for (uint32_t i = 0; i < x.user_num; ++i) {
            EXPECT_EQ(str(x.users[i].username), str(y.users[i].username));
            EXPECT_EQ(str(x.users[i].password), str(y.users[i].password));
            EXPECT_EQ(x.users[i].rate_limit, y.users[i].rate_limit);
            EXPECT_EQ(x.users[i].conn_limit, y.users[i].conn_limit);
            same_forward(x.users[i].forward, y.users[i].forward);
        }
    }
    same_log(a.access_log, b.access_log);
    same_log(a.flow_log, b.flow_log);
    same_log(a.stats_log, b.stats_log);
    same_report(a.flow_report, b.flow_report);
    same_report(a.stats_report, b.stats_report);
}

void same_port(const x_config_port_t &a, const x_config_port_t &b) {
    EXPECT_EQ(a.port_id, b.port_id);
    EXPECT_EQ(a.addr, b.addr);
    EXPECT_EQ(memcmp(&a.ipv6_addr, &b.ipv6_addr, sizeof a.ipv6_addr), 0);
    EXPECT_EQ(str(a.name), str(b.name));
    EXPECT_EQ(a.port_start, b.port_start);
    EXPECT_EQ(a.port_end, b.port_end);
    EXPECT_EQ(a.port_health, b.port_health);
    EXPECT_EQ(a.listentbl, b.listentbl);
    EXPECT_EQ(a.allow_udp, b.allow_udp);
    same_forward(a.forward, b.forward);
    EXPECT_EQ(a.auth_index, b.auth_index);
    EXPECT_EQ(a.has_level, b.has_level);
}

// Every field of the two records. A thread count of "auto" in the INI form depends on the
// machine, so only the entries both tables have are compared then.
void same_config(const x_config_server_t &a, const x_config_server_t &b, bool auto_threads) {
    if (!auto_threads) {
        EXPECT_EQ(a.thread_num, b.thread_num);
    }
    uint32_t threads = std::min(x_config_thread_count(&a), x_config_thread_count(&b));
    for (uint32_t i = 0; i < threads; ++i) {
        EXPECT_EQ(a.threads[i].port_agent_data, b.threads[i].port_agent_data) << i;
        EXPECT_EQ(a.threads[i].port_health, b.threads[i].port_health) << i;
        EXPECT_EQ(a.threads[i].thread_core, b.threads[i].thread_core) << i;
    }
    EXPECT_EQ(a.ros_id, b.ros_id);
    EXPECT_EQ(a.nat_cache == nullptr ? 0 : dictSize(a.nat_cache),
              b.nat_cache == nullptr ? 0 : dictSize(b.nat_cache));
    EXPECT_EQ(path_of(a.white_list_file), path_of(b.white_list_file));
    EXPECT_EQ(str(a.black_list_file), str(b.black_list_file));
    EXPECT_EQ(str(a.ads_list_file), str(b.ads_list_file));
    EXPECT_EQ(a.no_bind, b.no_bind);
    EXPECT_EQ(a.forward_retry, b.forward_retry);
    EXPECT_EQ(a.port_health, b.port_health);
    EXPECT_EQ(a.src_timeout, b.src_timeout);
    EXPECT_EQ(a.dst_timeout, b.dst_timeout);
    EXPECT_EQ(a.reply_timeout, b.reply_timeout);
    EXPECT_EQ(a.tovask_retry_interval, b.tovask_retry_interval);
    EXPECT_EQ(a.relay_buffer, b.relay_buffer);
    EXPECT_EQ(a.allow_internal_ip, b.allow_internal_ip);
    EXPECT_EQ(a.global_limit, b.global_limit);
    EXPECT_EQ(a.ip_limit, b.ip_limit);
    EXPECT_EQ(a.ip_timout, b.ip_timout);
    EXPECT_EQ(a.ip_restrict_mode, b.ip_restrict_mode);
    EXPECT_EQ(str(a.ip_restrict_file), str(b.ip_restrict_file));
    EXPECT_EQ(a.ipv6_model, b.ipv6_model);
    EXPECT_EQ(a.relay_buffer, b.relay_buffer);
    EXPECT_EQ(str(a.hosts_file), str(b.hosts_file));
    EXPECT_EQ(a.allow_local_ip, b.allow_local_ip);
    ASSERT_EQ(a.proxy_protocol_from.num, b.proxy_protocol_from.num);
    EXPECT_EQ(memcmp(a.proxy_protocol_from.items, b.proxy_protocol_from.items,
                     a.proxy_protocol_from.num * sizeof(x_cidr_t)),
              0);
    ASSERT_EQ(a.auth_num, b.auth_num);
    for (uint32_t i = 0; i < a.auth_num; ++i)
        same_auth(a.auths[i], b.auths[i]);
    EXPECT_EQ(a.listen_count, b.listen_count);
    ASSERT_EQ(a.port_num, b.port_num);
    for (uint32_t i = 0; i < a.port_num; ++i)
        same_port(a.ports[i], b.ports[i]);
}

TEST(ConfigJson, ExamplePairsLoadTheSameRecord) {
    mkdir("/tmp/quoxel-flow", 0755); // the remote example's report directory
    // The examples name their list files relative to the source tree.
    ASSERT_EQ(chdir(QUOXEL_EXAMPLES_DIR "/.."), 0);
    for (const char *name : {"quickstart", "local", "remote", "tovask", "forward", "kestrum"}) {
        std::string base = std::string(QUOXEL_EXAMPLES_DIR) + "/" + name;
        Loaded ini, json;
        load_file(base + ".ini", &ini);
        load_file(base + ".json", &json);
        ASSERT_TRUE(ini.ok) << name << ini.out;
        ASSERT_TRUE(json.ok) << name << json.out;
        ini_t *raw = ini_load((base + ".ini").c_str());
        ASSERT_NE(raw, nullptr);
        bool auto_threads = strcmp(ini_get_string(raw, "kni", "thread_num"), "auto") == 0;
        ini_free(raw);
        SCOPED_TRACE(name);
        same_config(ini.config, json.config, auto_threads);
        x_server_free_config(&ini.config);
        x_server_free_config(&json.config);
    }
}

// ---- the JSON form's own rules and range checks ----

const char *kPortOk = R"({"addr":"127.0.0.1","port_start":1080,"port_end":1081,)"
                      R"("listen_protocol":"auto"})";

// A document from a server object, an auth array and one port element.
std::string doc(const std::string &server, const std::string &auth, const std::string &port) {
    return R"({"server":{)" + server + R"(},"auth":[)" + auth + R"(],"port":[)" + port + "]}";
}

std::string port_with(const std::string &extra) {
    return std::string(kPortOk).insert(1, extra + ",");
}

std::string twenty_threads() {
    std::string list;
    for (int i = 0; i < 19; ++i)
        list += "{},";
    return list + R"({"thread_core":3})";
}

const char *kLocal0 = R"({"index":0,"type":"local"})";

struct JsonCase {
    const char *name;
    std::string text;
    bool ok;
    const char *line; // printed by the load, or null
    std::function<void(const x_config_server_t &)> check;
};

const JsonCase kJsonCases[] = {
    {"defaults", doc("", "", kPortOk), true, "port 0 run with NO AUTH mode",
     [](const x_config_server_t &c) {
         EXPECT_EQ(c.thread_num, 1u);
         EXPECT_EQ(c.threads[0].thread_core, -1);
         EXPECT_EQ(c.nat_cache, nullptr);
         EXPECT_EQ(c.listen_count, 2u);
         EXPECT_EQ(c.relay_buffer, 131072u);
         const x_config_port_t &p = c.ports[0];
         EXPECT_EQ(p.ipv6_addr.sin6_family, AF_INET6); // "::", as in the INI form
         EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&p.ipv6_addr.sin6_addr));
         EXPECT_EQ(p.auth_index, -1);
         EXPECT_EQ(p.listentbl, X_LISTEN_AUTO);
     }},
    {"relay_buffer below one segment", doc(R"("relay_buffer":1499)", "", kPortOk), false,
     "config relay_buffer 1499 out of range [1500, 4194304]", nullptr},
    {"twenty threads run sixteen", doc(R"("thread":[)" + twenty_threads() + "]", "", kPortOk), true,
     "config use thread pool (20)",
     [](const x_config_server_t &c) { EXPECT_EQ(c.thread_num, 16u); }},
    {"booleans are true or false only", doc("", "", port_with(R"("allow_udp":1)")), true, nullptr,
     [](const x_config_server_t &c) { EXPECT_FALSE(c.ports[0].allow_udp); }},
    {"remote no_merge defaults to true",
     doc("", R"({"index":0,"type":"remote","server":[{"server_host":"h","server_port":9}]})",
         port_with(R"("auth_index":0)")),
     true, nullptr,
     [](const x_config_server_t &c) {
         EXPECT_TRUE(c.auths[0].config.remote.no_merge);
         EXPECT_TRUE(c.auths[0].need_start);
     }},
    {"indexes fill the table in index order",
     doc("",
         R"({"index":1,"type":"tovask","sign_salt":"Qx7mK2pR9vL4nW8sT3yZ6b"},{"index":0,"type":"local"})",
         port_with(R"("auth_index":1)")),
     true, nullptr,
     [](const x_config_server_t &c) {
         EXPECT_EQ(c.auths[0].type, X_AUTH_TYPE_LOCAL);
         EXPECT_EQ(c.auths[1].type, X_AUTH_TYPE_TOVASK);
         EXPECT_EQ(c.auths[1].index, 1);
     }},
    {"repeated index", doc("", std::string(kLocal0) + "," + kLocal0, kPortOk), false,
     "config auth index 0 repeat", nullptr},
    {"duplicate NAT key skipped",
     doc(R"("nat_list":[{"inline":"10.0.0.1","public":"1.1.1.1"},)"
         R"({"inline":"10.0.0.1","public":"2.2.2.2"}])",
         "", kPortOk),
     true, nullptr,
     [](const x_config_server_t &c) {
         void *key = reinterpret_cast<void *>(static_cast<uintptr_t>(inet_addr("10.0.0.1")));
         EXPECT_EQ(dictSize(c.nat_cache), 1u);
         EXPECT_EQ(reinterpret_cast<uintptr_t>(dictFetchValue(c.nat_cache, key)),
                   inet_addr("1.1.1.1"));
     }},
    {"unknown protocol loads and refuses clients",
     doc("", "", R"({"addr":"1.2.3.4","port_start":1,"port_end":1,"listen_protocol":"sock"})"),
     true, "not supported protocol sock",
     [](const x_config_server_t &c) { EXPECT_EQ(c.ports[0].listentbl, 0); }},
    {"protocol list of whole keywords",
     doc("", "",
         R"({"addr":"1.2.3.4","port_start":1,)"
         R"("port_end":1,"listen_protocol":"socks5,http"})"),
     true, nullptr, [](const x_config_server_t &c) { EXPECT_EQ(c.ports[0].listentbl, 3); }},
    {"empty protocol is no keyword",
     doc("", "", R"({"addr":"x","port_start":1,"port_end":1,"listen_protocol":""})"), true,
     "not supported protocol",
     [](const x_config_server_t &c) {
         EXPECT_EQ(c.ports[0].listentbl, 0);
         EXPECT_EQ(c.ports[0].addr, 0u); // not an address: all addresses
     }},
    {"negative timeout", doc(R"("src_timeout":-1)", "", kPortOk), false,
     "config key [src_timeout] value -1 out of range", nullptr},
    {"log interval defaults to 3",
     doc("",
         R"({"index":0,"type":"tovask","sign_salt":"Qx7mK2pR9vL4nW8sT3yZ6b","access_log":{"log_path":"/tmp","log_size":1,)"
         R"("log_num":2}})",
         kPortOk),
     true, nullptr,
     [](const x_config_server_t &c) { EXPECT_EQ(c.auths[0].access_log.interval, 3u); }},
    {"forward without port sets only proto",
     doc("", "", port_with(R"("forward":{"proto":2,"host":"h"})")), true, nullptr,
     [](const x_config_server_t &c) {
         EXPECT_EQ(c.ports[0].forward.proto, X_FORWARD_SOCKS5);
         EXPECT_EQ(c.ports[0].forward.host.data, nullptr);
     }},
    {"no server object", R"({"port":[]})", false, nullptr, nullptr},
    {"empty port array", doc("", "", ""), false, nullptr, nullptr},
};

TEST(ConfigJson, Cases) {
    for (const auto &c : kJsonCases) {
        SCOPED_TRACE(c.name);
        Loaded l;
        load_json(c.text, &l);
        EXPECT_EQ(l.ok, c.ok) << l.out;
        if (c.line != nullptr) {
            EXPECT_NE(l.out.find(c.line), std::string::npos) << l.out;
        }
        if (l.ok && c.check) c.check(l.config);
        x_server_free_config(&l.config);
    }
}

} // namespace
