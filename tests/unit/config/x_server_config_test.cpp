#include "config/x_server_config.h"

#include "config/ip_pool.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

// Writes text to a fresh temporary file whose name ends in suffix; removed at scope exit.
struct TempFile {
    std::string path;
    TempFile(const std::string &text, const char *suffix = ".ini") {
        char tmpl[64];
        snprintf(tmpl, sizeof tmpl, "/tmp/xcfg_test_XXXXXX%s", suffix);
        int fd = mkstemps(tmpl, static_cast<int>(strlen(suffix)));
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        path = tmpl;
    }
    ~TempFile() { unlink(path.c_str()); }
};

// A directory for log paths, shared by the tests.
const std::string &log_dir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/xcfg_logs_XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
}

struct Loaded {
    x_config_server_t config = {};
    bool ok = false;
    std::string out; // the diagnostic lines printed by the load
};

// Loads the text as a configuration file, keeping what the load printed. The record is freed
// twice, the second time to show that is harmless.
void load_text(const std::string &text, const std::function<void(Loaded &)> &check,
               const char *suffix = ".ini") {
    TempFile f(text, suffix);
    Loaded l;
    testing::internal::CaptureStdout();
    l.ok = x_server_load_config(&l.config, f.path.c_str());
    l.out = testing::internal::GetCapturedStdout();
    check(l);
    x_server_free_config(&l.config);
    EXPECT_EQ(l.config.ports, nullptr);
    EXPECT_EQ(l.config.port_num, 0u);
    x_server_free_config(&l.config);
}

const char *kBase = "[kni]\nthread_num=1\n[quoxel]\nros_id=7\n";
const char *kPort = "[port0]\naddr=127.0.0.1\nport_start=1080\nport_end=1081\n"
                    "listen_protocol=auto\nallow_udp=1\nauth=-1\n";

std::string str(const ngx_str_t &s) {
    return s.data == nullptr ? std::string() : std::string(reinterpret_cast<char *>(s.data), s.len);
}

struct ConfigCase {
    const char *name;
    std::string text;
    std::function<void(Loaded &)> check;
};

class ConfigLoad : public testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigLoad, Loads) {
    load_text(GetParam().text, GetParam().check);
}

bool has(const Loaded &l, const char *line) {
    return l.out.find(line) != std::string::npos;
}

#define EXPECT_LINE(l, text) EXPECT_TRUE(has(l, text)) << "output:\n" << (l).out
#define EXPECT_FAILS_WITH(l, text)                                                                 \
    do {                                                                                           \
        EXPECT_FALSE((l).ok);                                                                      \
        EXPECT_LINE(l, text);                                                                      \
    } while (0)

const char *kRemoteVip = "[auth0]\ntype=remote\nserver_ip=127.0.0.1\nserver_port=9\n"
                         "use_virtual_ip=1\n";

std::string base_with(const std::string &quoxel_keys) {
    return std::string("[kni]\nthread_num=1\n[quoxel]\nros_id=7\n") + quoxel_keys;
}

const ConfigCase kConfigCases[] = {
    {"defaults", std::string(kBase) + kPort,
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         const x_config_server_t &c = l.config;
         EXPECT_EQ(c.ros_id, 7u);
         EXPECT_EQ(c.src_timeout, 5000u);
         EXPECT_EQ(c.dst_timeout, 5000u);
         EXPECT_EQ(c.reply_timeout, 60000u);
         EXPECT_EQ(c.tovask_retry_interval, 500u);
         EXPECT_EQ(c.ip_timout, 60000u);
         EXPECT_EQ(c.threads[0].thread_core, -1);
         EXPECT_EQ(c.threads[0].port_agent_data, 0);
         ASSERT_EQ(c.port_num, 1u);
         const x_config_port_t &p = c.ports[0];
         EXPECT_EQ(p.addr, inet_addr("127.0.0.1"));
         EXPECT_EQ(p.ipv6_addr.sin6_family, AF_INET6);
         EXPECT_EQ(p.listentbl, X_LISTEN_AUTO);
         EXPECT_TRUE(p.allow_udp);
         EXPECT_EQ(p.auth_index, -1);
         EXPECT_EQ(p.forward.proto, X_FORWARD_NONE);
         EXPECT_EQ(c.listen_count, 2u);
         EXPECT_LINE(l, "INFO  : use single thread\n");
         EXPECT_LINE(l, "INFO  : port 0 run with NO AUTH mode\n");
     }},
    {"thread_num_zero_keeps_one_thread_entry",
     std::string("[kni]\nthread_num=0\n[quoxel]\nros_id=1\n") + kPort,
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         EXPECT_EQ(l.config.thread_num, 0u);
         EXPECT_EQ(x_config_thread_count(&l.config), 1u);
         ASSERT_NE(l.config.threads, nullptr);
         EXPECT_EQ(l.config.threads[0].thread_core, -1);
         EXPECT_LINE(l, "use single thread\n");
         EXPECT_LINE(l, "config thread 0 thread_core:-1 port_agent_data 0\n");
     }},
    {"thread_pool_capped_cores_and_agent_ports",
     std::string("[kni]\nthread_num=40\nthread_core_start=2\n[quoxel]\nros_id=1\n"
                 "port_agent_data=9000\n") +
         kPort,
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         ASSERT_EQ(l.config.thread_num, 16u);
         EXPECT_LINE(l, "use thread pool (16)\n");
         EXPECT_EQ(l.config.threads[3].thread_core, 5);
         EXPECT_EQ(l.config.threads[15].port_agent_data, 9015);
         EXPECT_LINE(l, "config thread 2 thread_core:4 port_agent_data 9002\n");
     }},
    {"thread_num_auto", std::string("[kni]\nthread_num=auto\n[quoxel]\nros_id=1\n") + kPort,
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         long online = sysconf(_SC_NPROCESSORS_ONLN);
         EXPECT_EQ(l.config.thread_num, static_cast<uint32_t>(online > 16 ? 16 : online));
     }},
    {"numbers_narrowed",
     base_with("qps_limit=4294967297\nip_limit=3\nno_bind=1\nforward_retry=1\n"
               "allow_internal_ip=5\nipv6_model=2\nip_restrict_mode=0\nip_restrict_file=/x\n") +
         kPort,
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         EXPECT_EQ(l.config.global_limit, 1u);
         EXPECT_EQ(l.config.ip_limit, 3u);
         EXPECT_TRUE(l.config.allow_internal_ip);
         EXPECT_TRUE(l.config.ipv6_model);
         EXPECT_EQ(l.config.ip_restrict_file.len, 0u); // mode off: not read
     }},
    {"list_paths",
     base_with("black_list_file=/etc/hostname\nwhite_list_file=/etc/hostname\n") + kPort,
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         EXPECT_EQ(l.config.black_list_file.len, strlen("/etc/hostname"));
         EXPECT_EQ(l.config.white_list_file.len, strlen("/etc/hostname") + 1);
     }},
    {"nat_list", base_with("nat_list=10.0.0.1:1.2.3.4,junk,10.0.0.2:5.6.7.8\n") + kPort,
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         ASSERT_EQ(dictSize(l.config.nat_cache), 2u);
         void *v = dictFetchValue(l.config.nat_cache,
                                  reinterpret_cast<void *>(uintptr_t{inet_addr("10.0.0.2")}));
         EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(v)), inet_addr("5.6.7.8"));
         EXPECT_LINE(l, "config add nat cache [10.0.0.1:1.2.3.4] [0100000a][04030201]\n");
     }},
    {"local_users",
     std::string(kBase) +
         "[auth0]\ntype=local\nrate_limit=100\nuser1=alice:pw:x\nuser2=nocolon\n"
         "user3=:nameless\nuser4=bob:\nrate_limit4=0\nuser6=never:read\n" +
         "[port0]\naddr=127.0.0.1\nport_start=1\nport_end=1\nlisten_protocol=auto\n"
         "allow_udp=0\nauth=0\n",
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         const x_config_auth_t &a = l.config.auths[0];
         EXPECT_EQ(a.type, X_AUTH_TYPE_LOCAL);
         EXPECT_TRUE(a.need_start);
         const x_config_auth_local_t &local = a.config.local;
         ASSERT_EQ(local.user_num, 2u); // no entry for a value without a name and a colon
         EXPECT_EQ(str(local.users[0].username), "alice");
         EXPECT_EQ(str(local.users[0].password), "pw:x");
         EXPECT_EQ(local.users[0].rate_limit, 100u);
         EXPECT_EQ(str(local.users[1].username), "bob");
         EXPECT_EQ(str(local.users[1].password), "");
         EXPECT_EQ(local.users[1].rate_limit, 0u);
         EXPECT_LINE(l, "INFO  : auth [0] mode: local\n");
         EXPECT_LINE(l, "INFO  : local auth user: nocolon\n");
     }},
    {"remote_backend_and_reports",
     std::string(kBase) +
         "[auth0]\ntype=remote\nserver_ip=a.example,10.0.0.2\nserver_port=80,x\n"
         "server_path=/auth\ntag=\nbind_addr=10.1.1.1\n"
         "[auth0_flowreport]\nserver_path=/flow\nlog_path=/tmp\nlog_num=3\n"
         "[auth0_reportlog]\nlog_path=" +
         log_dir() + "\nlog_size=10\nlog_num=2\n" + kPort,
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         const x_config_auth_t &a = l.config.auths[0];
         EXPECT_FALSE(a.need_start);
         const x_config_auth_remote_t &r = a.config.remote;
         ASSERT_EQ(r.server_num, 2u);
         EXPECT_EQ(str(r.servers[0].server_host), "a.example");
         EXPECT_EQ(r.servers[0].server_port, 80);
         EXPECT_EQ(r.servers[1].server_port, 0);
         EXPECT_EQ(r.pool_size, 2u);
         EXPECT_EQ(r.error_timeout, 10000u);
         EXPECT_EQ(r.bind_addr, inet_addr("10.1.1.1"));
         EXPECT_EQ(r.tag.data, nullptr);
         EXPECT_EQ(str(r.server_path), "/auth");
         ASSERT_EQ(a.flow_report.server_num, 1u); // two empty lists: one empty server
         EXPECT_EQ(a.flow_report.servers[0].server_host.len, 0u);
         EXPECT_EQ(a.flow_report.interval, 3u);
         EXPECT_EQ(a.access_log.log_size, 10u);
         EXPECT_EQ(a.flow_log.log_path.data, nullptr);
     }},
    {"forward_backend_users",
     std::string(kBase) +
         "[auth0]\ntype=forward\nuser1=u1:p1\nforward1=socks5://up:pw@10.0.0.9:1085\n"
         "conn_limit1=4\nuser2=u2:p2\nforward2=http://10.0.0.8\n" +
         kPort,
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         const x_config_auth_forward_t &f = l.config.auths[0].config.forward;
         ASSERT_EQ(f.user_num, 2u);
         EXPECT_EQ(f.users[0].conn_limit, 4u);
         EXPECT_EQ(f.users[0].forward.port, 1085);
         EXPECT_EQ(std::string(reinterpret_cast<char *>(f.users[0].forward.s5_auth.data),
                               f.users[0].forward.s5_auth.len),
                   std::string("\x01\x02up\x02pw", 7));
         EXPECT_EQ(f.users[1].forward.proto, X_FORWARD_HTTP);
         EXPECT_EQ(f.users[1].forward.s5_auth.data, nullptr);
     }},
    {"forward_resource_two_ignores_users",
     std::string(kBase) + "[auth0]\ntype=forward\nresource=2\nuser1=nocolon\n" + kPort,
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         EXPECT_EQ(l.config.auths[0].config.forward.user_num, 0u);
     }},
    {"port_options",
     base_with("port_health=9999\n") + "[auth0]\ntype=tovask\n" +
         "[port0]\naddr=0.0.0.0\nport_start=10\nport_end=12\nport_health=5\n"
         "listen_protocol=socks5,http\nallow_udp=0\nauth=255\nname=eth0\nipv6_addr=::1\n"
         "forward=\"socks5://u:p@h:70000\"\n"
         "[port1]\naddr=0.0.0.0\nport_start=20\nport_end=20\nlisten_protocol=socks5, http\n"
         "allow_udp=0\nauth=0\nforward=ftp://x\n"
         "[port2]\naddr=0.0.0.0\nport_start=30\nport_end=30\nlisten_protocol=" +
         std::string(200, 'x') + ",http\nallow_udp=0\nauth=-1\nforward=10.0.0.1:80\n",
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         const x_config_port_t *p = l.config.ports;
         ASSERT_EQ(l.config.port_num, 3u);
         EXPECT_EQ(p[0].port_health, 9999); // the global value wins
         EXPECT_EQ(p[0].listentbl, X_LISTEN_HTTP | X_LISTEN_SOCKS5);
         EXPECT_EQ(p[0].auth_index, -1);
         EXPECT_EQ(str(p[0].name), "eth0");
         EXPECT_EQ(p[0].forward.proto, X_FORWARD_SOCKS5);
         EXPECT_EQ(p[0].forward.port, 4464);
         EXPECT_EQ(str(p[0].forward.base64_auth), "Proxy-Authorization: Basic dTpw\r\n");
         EXPECT_EQ(p[1].listentbl, X_LISTEN_SOCKS5); // " http" is no protocol name
         EXPECT_EQ(p[1].forward.proto, X_FORWARD_NONE);
         EXPECT_TRUE(l.config.auths[0].need_start);
         EXPECT_EQ(p[2].listentbl, 0); // only the first 128 characters are looked at
         EXPECT_EQ(p[2].forward.proto, X_FORWARD_NONE);
         EXPECT_EQ(l.config.listen_count, 3u + 1 + 1 + 1 + 1 + 1);
         EXPECT_LINE(l, "INFO  : config port 0 health port 9999\n");
         EXPECT_LINE(l, "ERROR : port 1 forward [ftp://x] format error, ignored\n");
     }},
    // Egress pools: loaded for ports of a remote backend with virtual addresses, and an
    // address can belong to one port only.
    {"egress_pool_per_port",
     std::string(kBase) + kRemoteVip +
         "[port0]\naddr=127.0.0.1\nname=qxnone0\nport_start=1\nport_end=1\n"
         "listen_protocol=auto\nallow_udp=0\nauth=0\nmax_level1_user=2\n"
         "level1_virtual_ip_list=10.9.0.1,10.9.0.2\n"
         "[port1]\naddr=127.0.0.1\nname=qxnone0\nport_start=2\nport_end=2\n"
         "listen_protocol=auto\nallow_udp=0\nauth=0\nmax_level1_user=1\n"
         "level1_virtual_ip_list=10.9.0.3\n",
     [](Loaded &l) {
         ASSERT_TRUE(l.ok) << l.out;
         EXPECT_EQ(l.config.ports[0].has_level, 1);
         EXPECT_EQ(l.config.ports[0].max_level_user[0], 2u);
         EXPECT_NE(l.config.ports[1].queue_level_ip[0], nullptr);
     }},
    {"egress_address_in_two_ports",
     std::string(kBase) + kRemoteVip +
         "[port0]\naddr=127.0.0.1\nname=qxnone0\nport_start=1\nport_end=1\n"
         "listen_protocol=auto\nallow_udp=0\nauth=0\nmax_level1_user=1\n"
         "level1_virtual_ip_list=10.9.0.1\n"
         "[port1]\naddr=127.0.0.1\nname=qxnone1\nport_start=2\nport_end=2\n"
         "listen_protocol=auto\nallow_udp=0\nauth=0\nmax_level1_user=1\n"
         "level1_virtual_ip_list=10.9.0.1\n",
     [](Loaded &l) { EXPECT_FAILS_WITH(l, "ERROR : conf error, add ip:10.9.0.1 failed"); }},
    // Failures: each prints its line and the load returns false.
    {"unknown_auth_mode", std::string(kBase) + "[auth0]\ntype=ldap\n" + kPort,
     [](Loaded &l) { EXPECT_FAILS_WITH(l, "ERROR : unknown auth mode: ldap\n"); }},
    {"auth_index_out_of_range",
     std::string(kBase) + "[auth0]\ntype=tovask\n" +
         "[port0]\naddr=0.0.0.0\nport_start=1\nport_end=1\nlisten_protocol=auto\n"
         "allow_udp=0\nauth=1\n",
     [](Loaded &l) { EXPECT_FAILS_WITH(l, "ERROR : auth 1 not exists\n"); }},
    {"remote_count_mismatch",
     std::string(kBase) + "[auth0]\ntype=remote\nserver_ip=a,b,c\nserver_port=1,2\n" + kPort,
     [](Loaded &l) {
         EXPECT_FAILS_WITH(l, "ERROR : config auth index 0 load remote config failed\n");
     }},
    {"report_count_mismatch",
     std::string(kBase) + "[auth0]\ntype=tovask\n[auth0_statsreport]\nserver_ip=a,b\n" +
         "server_path=/s\nlog_path=/tmp\nlog_num=1\n" + kPort,
     [](Loaded &l) {
         EXPECT_FAILS_WITH(l,
                           "ERROR : report conf has some error, host and port count not equal\n");
         EXPECT_LINE(l, "ERROR : config auth index 0 load stats report config failed\n");
     }},
    {"log_dir_missing",
     std::string(kBase) + "[auth0]\ntype=tovask\n[auth0_flowlog]\nlog_path=/nonexistent/d\n" +
         "log_size=1\nlog_num=1\n" + kPort,
     [](Loaded &l) {
         EXPECT_FAILS_WITH(l, "ERROR : config auth log path file [/nonexistent/d] not found\n");
         EXPECT_LINE(l, "ERROR : config auth index 0 load flow config failed\n");
     }},
    {"forward_user_without_colon",
     std::string(kBase) + "[auth0]\ntype=forward\nuser1=nocolon\nforward1=http://h\n" + kPort,
     [](Loaded &l) {
         EXPECT_FAILS_WITH(l, "ERROR : config forward auth user [nocolon] format error\n");
         EXPECT_LINE(l, "ERROR : config auth index 0 load forward config failed\n");
     }},
    {"forward_user_without_forward",
     std::string(kBase) + "[auth0]\ntype=forward\nuser1=a:b\n" + kPort,
     [](Loaded &l) { EXPECT_FAILS_WITH(l, "config forward auth user [a:b] forward is null\n"); }},
    {"forward_user_bad_url",
     std::string(kBase) + "[auth0]\ntype=forward\nuser1=a:b\nforward1=ftp://h\n" + kPort,
     [](Loaded &l) {
         EXPECT_FAILS_WITH(l, "config forward auth user [a:b] forward [ftp://h] format error\n");
     }},
    {"no_ports", std::string(kBase),
     [](Loaded &l) { EXPECT_FAILS_WITH(l, "ERROR : config need port config\n"); }},
    {"port_range_reversed",
     std::string(kBase) + "[port0]\naddr=0.0.0.0\nport_start=9\nport_end=8\n"
                          "listen_protocol=auto\nallow_udp=0\nauth=-1\n",
     [](Loaded &l) {
         EXPECT_FAILS_WITH(l, "ERROR : port:0 port_start:9 or port_end:8 is error\n");
     }},
    {"port_without_addr", std::string(kBase) + "[port0]\nport_start=9\nport_end=9\n",
     [](Loaded &l) { EXPECT_FALSE(l.ok); }},
    {"bad_ipv6",
     std::string(kBase) + "[port0]\naddr=0.0.0.0\nipv6_addr=zz\nport_start=1\nport_end=1\n",
     [](Loaded &l) { EXPECT_FAILS_WITH(l, "ERROR : port ipv6_addr zz inet_pton failed\n"); }},
    {"missing_black_list", base_with("black_list_file=/nonexistent/b\n") + kPort,
     [](Loaded &l) {
         EXPECT_FAILS_WITH(l,
                           "ERROR : black file [/nonexistent/b] not found or filepath too long\n");
     }},
    {"missing_ads_list", base_with("ads_list_file=/nonexistent/a\n") + kPort,
     [](Loaded &l) {
         EXPECT_FAILS_WITH(l, "ERROR : config ads file [/nonexistent/a] not found\n");
         EXPECT_LINE(l, "ERROR : config ads list file [/nonexistent/a] load failed\n");
     }},
    {"missing_nat_file", base_with("nat_file=/nonexistent/n\n") + kPort,
     [](Loaded &l) {
         EXPECT_FAILS_WITH(l, "ERROR : config nat file [/nonexistent/n] not found\n");
     }},
    {"nat_list_duplicate", base_with("nat_list=10.0.0.1:1.2.3.4,10.0.0.1:5.6.7.8\n") + kPort,
     [](Loaded &l) { EXPECT_FAILS_WITH(l, "ERROR : config add nat cache [10.0.0.1:5.6.7.8]\n"); }},
};

INSTANTIATE_TEST_SUITE_P(Cases, ConfigLoad, testing::ValuesIn(kConfigCases),
                         [](const auto &info) { return std::string(info.param.name); });

// NAT files: written to a file of their own, named by the configuration.
TEST(ConfigNatFile, RecordsAndFaults) {
    struct {
        const char *records;
        const char *list;
        bool ok;
        const char *line; // a line the output must contain
        unsigned entries;
    } cases[] = {
        {"10.0.0.1:1.1.1.1\r\n\n  10.0.0.2:2.2.2.2\n", "", true,
         "config add nat cache [10.0.0.2:2.2.2.2] [0200000a][02020202]", 2},
        {"10.0.0.1:1.1.1.1\nnot a record\n10.0.0.2:2.2.2.2\n", "", false,
         "has error conf [not a record\n10.0.0.2:2.2.2.2]", 0},
        {"10.0.0.1:1.1.1.1\n10.0.0.1\n", "", true, "config add nat cache [10.0.0.1:1.1.1.1]", 1},
        {"10.0.0.1:host.example\n", "", false, "has error conf [10.0.0.1:host.example]", 0},
        // An address text over 31 characters fails with the same line instead of overrunning.
        {"10.0.0.1:0000000000000000000000000000000000000000000010.1.1.1\n", "", false,
         "has error conf [10.0.0.1:0000000000000000000000000000000]", 0},
        {"10.0.0.1:1.1.1.1\n10.0.0.1:2.2.2.2\n", "", false,
         "ERROR : config add nat cache [10.0.0.1:2.2.2.2]", 0},
        {"10.0.0.1:1.1.1.1\n", "nat_list=10.0.0.1:3.3.3.3\n", false,
         "ERROR : config add nat cache [10.0.0.1:3.3.3.3]", 0},
    };
    for (const auto &c : cases) {
        TempFile nat(c.records, ".txt");
        load_text(base_with("nat_file=" + nat.path + "\n" + c.list) + kPort, [&](Loaded &l) {
            EXPECT_EQ(l.ok, c.ok) << c.records << l.out;
            EXPECT_LINE(l, c.line);
            if (c.ok) {
                EXPECT_EQ(dictSize(l.config.nat_cache), c.entries);
            }
        });
    }
}

TEST(ConfigFormat, ChosenByTheExactJsonSuffix) {
    struct {
        const char *suffix;
        bool json;
    } cases[] = {{".json", true}, {".JSON", false}, {".json.bak", false}, {"", false}};
    for (const auto &c : cases) {
        // INI text that also loads: only the JSON reader refuses it.
        load_text(
            std::string(kBase) + kPort,
            [&](Loaded &l) {
                EXPECT_EQ(l.ok, !c.json) << c.suffix << l.out;
                EXPECT_EQ(has(l, "not supported by this build"), c.json) << l.out;
            },
            c.suffix);
    }
}

TEST(ConfigLoadFailure, UnreadableFile) {
    x_config_server_t config = {};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(x_server_load_config(&config, "/nonexistent/q.ini"));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("ERROR : config ini load failed\n"),
              std::string::npos);
    x_server_free_config(&config);
}

struct UrlCase {
    const char *url;
    bool ok;
    uint8_t proto;
    const char *host; // null: no host stored
    uint16_t port;
    const char *user; // null: no credentials
    const char *pass;
};

TEST(ForwardUrl, Parses) {
    std::string long_user = "socks5://" + std::string(250, 'u') + ":pppp@h:1";
    std::string too_long = "socks5://" + std::string(250, 'u') + ":ppppp@h:1"; // 256 bytes
    const UrlCase cases[] = {
        {"socks5://u:p@10.0.0.1:1080", true, X_FORWARD_SOCKS5, "10.0.0.1", 1080, "u", "p"},
        {"http://10.0.0.1", true, X_FORWARD_HTTP, "10.0.0.1", 80, nullptr, nullptr},
        {"https://h:8443", true, X_FORWARD_HTTP, "h", 8443, nullptr, nullptr},
        {"socks5://h", true, X_FORWARD_SOCKS5, "h", 80, nullptr, nullptr},
        {"tovask://h:1", true, X_FORWARD_TOVASK, "h", 1, nullptr, nullptr},
        {"http://u@h:1", false, 0, nullptr, 0, nullptr, nullptr},
        {"http://u:p@x@h:1", true, X_FORWARD_HTTP, "x@h", 1, "u", "p"},
        {"http://:@h", true, X_FORWARD_HTTP, "h", 80, "", ""},
        {"ftp://h:21", false, 0, nullptr, 0, nullptr, nullptr},
        {"HTTP://h:21", false, 0, nullptr, 0, nullptr, nullptr},
        {"tovask", true, X_FORWARD_TOVASK, nullptr, 0, nullptr, nullptr},
        {"https", true, X_FORWARD_HTTP, nullptr, 0, nullptr, nullptr},
        {"10.0.0.1:1080", true, X_FORWARD_NONE, nullptr, 0, nullptr, nullptr},
        {"socks5://h:70000", true, X_FORWARD_SOCKS5, "h", 4464, nullptr, nullptr},
        {"socks5://h:abc", true, X_FORWARD_SOCKS5, "h", 0, nullptr, nullptr},
        {"socks5://h:000000000000001080", true, X_FORWARD_SOCKS5, "h", 1, nullptr, nullptr},
        {"http://h/path:81", true, X_FORWARD_HTTP, "h/path", 81, nullptr, nullptr},
        {"http://[::1]:81", true, X_FORWARD_HTTP, "[", 0, nullptr, nullptr},
        {long_user.c_str(), true, X_FORWARD_SOCKS5, "h", 1, nullptr, "pppp"},
        {too_long.c_str(), false, 0, nullptr, 0, nullptr, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        x_forward_t f = {};
        testing::internal::CaptureStdout();
        bool ok = x_server_parse_forward_url(&f, c.url);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(f.proto, c.proto);
        EXPECT_EQ(f.host.data != nullptr, c.host != nullptr);
        if (c.host != nullptr) {
            EXPECT_EQ(str(f.host), c.host);
        }
        EXPECT_EQ(f.port, c.port);
        EXPECT_EQ(f.has_username, c.pass != nullptr ? 1 : 0);
        if (c.user != nullptr) {
            EXPECT_EQ(str(f.username), c.user);
        }
        if (c.pass != nullptr) {
            EXPECT_EQ(str(f.password), c.pass);
        }
        if (!ok) { // nothing half-filled is left
            EXPECT_EQ(f.username.data, nullptr);
        }
        x_forward_member_free(&f);
    }
}

TEST(ForwardAuth, BuildsBothCredentialLines) {
    struct {
        std::string user;
        std::string pass;
        bool ok;
        const char *base64; // of user:pass
    } cases[] = {
        {"u", "p", true, "dTpw"},
        {"user", "pass", true, "dXNlcjpwYXNz"},
        {"ab", "", true, "YWI6"},
        {std::string(255, 'a'), std::string(255, 'b'), true, nullptr},
        // A length byte cannot say 256: refused rather than sent truncated.
        {std::string(256, 'a'), "p", false, nullptr},
        {"u", std::string(256, 'b'), false, nullptr},
    };
    for (const auto &c : cases) {
        x_forward_t f = {};
        ASSERT_TRUE(ngx_str_init(&f.username, c.user.data(), c.user.size()));
        ASSERT_TRUE(ngx_str_init(&f.password, c.pass.data(), c.pass.size()));
        testing::internal::CaptureStdout();
        bool ok = x_forward_create_auth(&f);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, c.ok) << c.user.size();
        if (ok) {
            std::string s5 = str(f.s5_auth);
            ASSERT_EQ(s5.size(), c.user.size() + c.pass.size() + 3);
            EXPECT_EQ(s5[0], 1);
            EXPECT_EQ(static_cast<uint8_t>(s5[1]), c.user.size());
            EXPECT_EQ(s5.substr(2, c.user.size()), c.user);
            EXPECT_EQ(static_cast<uint8_t>(s5[2 + c.user.size()]), c.pass.size());
            EXPECT_EQ(s5.substr(3 + c.user.size()), c.pass);
            std::string line = str(f.base64_auth);
            EXPECT_EQ(line.rfind("Proxy-Authorization: Basic ", 0), 0u);
            EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
            EXPECT_EQ(line.size(), 29 + (c.user.size() + c.pass.size() + 3) / 3 * 4);
            if (c.base64 != nullptr) {
                EXPECT_EQ(line.substr(27, line.size() - 29), c.base64);
            }
        } else {
            EXPECT_NE(out.find("longer than 255 bytes"), std::string::npos);
            EXPECT_EQ(f.s5_auth.data, nullptr);
        }
        x_forward_member_free(&f);
    }
}

} // namespace

TEST(ConfigLists, AdsListAndLocalWhitelistKeys) {
    TempFile ads("ads.test\n.track.test\n", ".txt");
    std::string text = base_with("ads_list_file=" + ads.path + "\n") +
                       "[auth0]\ntype=local\nuser1=a:b\nwhitelist_file=/etc/hosts\n"
                       "whitelist_rate_limit=4096\n" +
                       kPort;
    load_text(text, [](Loaded &l) {
        ASSERT_TRUE(l.ok) << l.out;
        for (auto [host, listed] : {std::pair{"ads.test", true}, std::pair{"x.track.test", true},
                                    std::pair{"x.ads.test", false}}) {
            x_acl_match_t m{};
            m.target_host = {strlen(host), reinterpret_cast<uint8_t *>(const_cast<char *>(host))};
            EXPECT_EQ(x_acl_match_in_cache(&l.config.ads_cache, &m), listed) << host;
        }
        const x_config_auth_local_t &local = l.config.auths[0].config.local;
        EXPECT_EQ(str(local.whitelist_file), "/etc/hosts");
        EXPECT_EQ(local.whitelist_rate_limit, 4096u);
    });
}

TEST(ForwardAuth, CredentialsOverTheLengthFieldAreRefused) {
    x_forward_t f{};
    std::string long_name(256, 'u');
    ASSERT_TRUE(ngx_str_init(&f.username, long_name.data(), long_name.size()));
    ASSERT_TRUE(ngx_str_init(&f.password, "pw", 2));
    EXPECT_FALSE(x_forward_create_auth(&f));
    EXPECT_EQ(f.s5_auth.data, nullptr);
    EXPECT_EQ(f.base64_auth.data, nullptr);
    x_forward_member_free(&f);
}
