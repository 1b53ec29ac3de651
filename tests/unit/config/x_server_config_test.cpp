#include "config/x_server_config.h"

#include "temp_file.h"

#include <arpa/inet.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace {

using config_test::TempFile;

std::string str(const ngx_str_t &s) {
    return s.data == nullptr ? std::string() : std::string(reinterpret_cast<char *>(s.data), s.len);
}

// Loads the text (JSON when it starts with a brace), checks result and output, frees twice.
void load_text(const std::string &text, bool ok, const std::string &line,
               const std::function<void(const x_config_server_t &)> &check = nullptr) {
    TempFile f(text, text[0] == '{' ? ".json" : "");
    x_config_server_t config = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(x_server_load_config(&config, f.path.c_str()), ok) << text;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(line), std::string::npos) << line << "\noutput:\n" << out;
    if (ok && check) check(config);
    x_server_free_config(&config);
    EXPECT_EQ(config.ports, nullptr);
    x_server_free_config(&config);
}

const std::string kBase = "[kni]\nthread_num=1\n[quoxel]\nros_id=7\n";
const std::string kPort = "[port0]\naddr=127.0.0.1\nport_start=1080\nport_end=1081\n"
                          "listen_protocol=auto\nallow_udp=1\nauth=-1\n";

// A file of the base sections, the given text and one port.
std::string ini(const std::string &text) {
    return kBase + text + kPort;
}

const char *kPortOk = R"({"addr":"127.0.0.1","port_start":1080,"port_end":1081,)"
                      R"("listen_protocol":"auto"})";

// A JSON document from a server object, an auth array and one port element.
std::string doc(const std::string &server, const std::string &auth, const std::string &port) {
    return R"({"server":{)" + server + R"(},"auth":[)" + auth + R"(],"port":[)" + port + "]}";
}

struct LoadCase {
    const char *name;
    std::string text;
    bool ok;
    std::string line; // a line the output must contain
    std::function<void(const x_config_server_t &)> check = nullptr;
};

TEST(ConfigLoad, Loads) {
    const LoadCase cases[] = {
        {"thread_num_zero_keeps_one_thread_entry",
         "[kni]\nthread_num=0\n[quoxel]\nros_id=1\n" + kPort, true,
         "config thread 0 thread_core:-1 port_agent_data 0\n",
         [](const x_config_server_t &c) {
             EXPECT_EQ(c.thread_num, 0u);
             EXPECT_EQ(x_config_thread_count(&c), 1u);
             EXPECT_EQ(c.threads[0].thread_core, -1);
         }},
        {"thread_pool_capped_cores_and_agent_ports",
         "[kni]\nthread_num=40\nthread_core_start=2\n[quoxel]\nros_id=1\nport_agent_data=9000\n" +
             kPort,
         true, "config thread 2 thread_core:4 port_agent_data 9002\n",
         [](const x_config_server_t &c) { EXPECT_EQ(c.thread_num, 16u); }},
        // No entry for a value without a colon or with an empty name.
        {"local_users",
         ini("[auth0]\ntype=local\nrate_limit=100\nuser1=alice:pw:x\nuser2=nocolon\n"
             "user3=:nameless\nuser4=bob:\nrate_limit4=0\n"),
         true, "INFO  : local auth user: alice\n", // the name only, never the password
         [](const x_config_server_t &c) {
             const x_config_auth_local_t &local = c.auths[0].config.local;
             ASSERT_EQ(local.user_num, 2u);
             EXPECT_EQ(str(local.users[0].password), "pw:x");
             EXPECT_EQ(local.users[0].rate_limit, 100u);
             EXPECT_EQ(str(local.users[1].username), "bob");
             EXPECT_EQ(local.users[1].rate_limit, 0u);
         }},
        {"remote_backend_and_reports",
         ini("[auth0]\ntype=remote\nserver_ip=a.example,10.0.0.2\nserver_port=80,x\n"
             "[auth0_flowreport]\nserver_path=/flow\nlog_path=/tmp\nlog_num=3\n"),
         true, "auth [0] mode: remote",
         [](const x_config_server_t &c) {
             const x_config_auth_t &a = c.auths[0];
             ASSERT_EQ(a.config.remote.server_num, 2u);
             EXPECT_EQ(a.config.remote.servers[1].server_port, 0);
             EXPECT_EQ(a.flow_report.server_num, 1u); // two empty lists: one empty server
         }},
        {"forward_backend_users",
         ini("[auth0]\ntype=forward\nuser1=u1:p1\nforward1=socks5://up:pw@10.0.0.9:1085\n"
             "user2=u2:p2\nforward2=http://10.0.0.8\n"),
         true, "auth [0] mode: forward",
         [](const x_config_server_t &c) {
             const x_config_auth_forward_t &f = c.auths[0].config.forward;
             ASSERT_EQ(f.user_num, 2u);
             EXPECT_EQ(str(f.users[0].forward.s5_auth), std::string("\x01\x02up\x02pw", 7));
             EXPECT_EQ(f.users[1].forward.s5_auth.data, nullptr);
         }},
        // Port text uses its first 15 characters, listen_protocol its first 128; a forward that
        // fails to parse leaves the port without one.
        {"port_options",
         kBase +
             "port_health=9999\n[auth0]\ntype=tovask\nsign_salt=Qx7mK2pR9vL4nW8sT3yZ6b\n"
             "[port0]\naddr=0.0.0.0\nport_start=10\nport_end=12\nlisten_protocol=socks5,http\n"
             "allow_udp=0\nauth=255\nforward=\"socks5://u:p@h:70000\"\n"
             "[port1]\naddr=0.0.0.0\nport_start=20\nport_end=20\nlisten_protocol=socks5, http\n"
             "allow_udp=0\nauth=0\nforward=ftp://x\n"
             "[port2]\naddr=0.0.0.0\nport_start=30\nport_end=30\nlisten_protocol=" +
             std::string(200, 'x') + ",http\nallow_udp=0\nauth=-1\nforward=10.0.0.1:80\n",
         true, "ERROR : port 1 forward [ftp://x] format error, ignored\n",
         [](const x_config_server_t &c) {
             const x_config_port_t *p = c.ports;
             EXPECT_EQ(p[0].port_health, 9999);
             EXPECT_EQ(p[0].auth_index, -1);
             EXPECT_EQ(p[0].forward.port, 4464);
             EXPECT_EQ(str(p[0].forward.base64_auth), "Proxy-Authorization: Basic dTpw\r\n");
             EXPECT_EQ(p[1].listentbl, X_LISTEN_SOCKS5);
             EXPECT_EQ(p[1].forward.proto, X_FORWARD_NONE);
             EXPECT_EQ(p[1].forward.host.data, nullptr);
             EXPECT_EQ(p[2].listentbl, 0);
             EXPECT_EQ(c.listen_count, 8u);
         }},
        {"remote_count_mismatch", ini("[auth0]\ntype=remote\nserver_ip=a,b,c\nserver_port=1,2\n"),
         false, "ERROR : config auth index 0 load remote config failed\n"},
        {"report_count_mismatch",
         ini("[auth0]\ntype=tovask\nsign_salt=Qx7mK2pR9vL4nW8sT3yZ6b\n"
             "[auth0_statsreport]\nserver_ip=a,b\nserver_path=/s\n"),
         false, "ERROR : report conf has some error, host and port count not equal\n"},
        {"log_dir_missing",
         ini("[auth0]\ntype=tovask\nsign_salt=Qx7mK2pR9vL4nW8sT3yZ6b\n"
             "[auth0_flowlog]\nlog_path=/nonexistent/d\n"),
         false, "ERROR : config auth log path file [/nonexistent/d] not found\n"},
        // The salt is required by the kestrum scheme and the token backend and must be 22
        // printable characters; deny_country defaults to CN, "none" denies nothing.
        {"forward_sign_salt_and_deny_country",
         ini("[auth0]\ntype=forward\nresource=1\nsign_salt=Qx7mK2pR9vL4nW8sT3yZ6b\n"
             "[auth1]\ntype=forward\nresource=2\ndeny_country=CN,RU\n"
             "[auth2]\ntype=forward\ndeny_country=none\n"),
         true, "auth [2] mode: forward",
         [](const x_config_server_t &c) {
             EXPECT_EQ(str(c.auths[0].config.forward.sign_salt), "Qx7mK2pR9vL4nW8sT3yZ6b");
             EXPECT_EQ(str(c.auths[0].config.forward.deny_country), "CN");
             EXPECT_EQ(str(c.auths[1].config.forward.deny_country), "CN,RU");
             EXPECT_EQ(c.auths[2].config.forward.deny_country.len, 0u);
         }},
        {"kestrum_without_salt", ini("[auth0]\ntype=forward\nresource=1\n"), false,
         "ERROR : config auth0 sign_salt is required\n"},
        {"tovask_salt_too_short", ini("[auth0]\ntype=tovask\nsign_salt=Qx7mK2pR9vL4nW8sT3yZ6\n"),
         false, "ERROR : config auth0 sign_salt must be exactly 22 printable ASCII characters\n"},
        {"forward_user_without_colon", ini("[auth0]\ntype=forward\nuser1=nocolon\n"), false,
         "ERROR : config forward auth user [nocolon] format error\n"},
        {"forward_user_bad_url", ini("[auth0]\ntype=forward\nuser1=a:b\nforward1=ftp://h\n"), false,
         "config forward auth user [a:***] forward [ftp://h] format error\n"},
        {"port_forward_password_masked",
         kBase + "[port0]\naddr=127.0.0.1\nport_start=1\nport_end=1\nlisten_protocol=auto\n"
                 "allow_udp=0\nauth=-1\nforward=ftp://u:Secr3t@h\n",
         true, "ERROR : port 0 forward [ftp://u:***@h] format error, ignored\n"},
        {"proxy_protocol_from_malformed", ini("proxy_protocol_from = 10.0.0.0/8, 10.1/16\n"), false,
         "config proxy_protocol_from entry [10.1/16] is not an IPv4 address or CIDR range\n"},
        {"proxy_protocol_from_prefix_too_long", ini("proxy_protocol_from = 1.2.3.4/33\n"), false,
         "config proxy_protocol_from entry [1.2.3.4/33] is not"},
        {"proxy_protocol_from_empty_entry", ini("proxy_protocol_from = 1.2.3.4,,5.6.7.8\n"), false,
         "config proxy_protocol_from entry [] is not"},
        // Host bits below the prefix are cleared; 0.0.0.0/0 believes anyone, none nobody.
        {"proxy_protocol_from_ranges", ini("proxy_protocol_from = 10.1.2.3/8 , 0.0.0.0/0\n"), true,
         "NO AUTH",
         [](const x_config_server_t &c) {
             EXPECT_TRUE(x_cidr_list_match(&c.proxy_protocol_from, inet_addr("10.255.0.1")));
             EXPECT_TRUE(x_cidr_list_match(&c.proxy_protocol_from, inet_addr("8.8.8.8")));
         }},
        {"proxy_protocol_from_nobody", ini("proxy_protocol_from = none\n"), true, "NO AUTH",
         [](const x_config_server_t &c) { EXPECT_EQ(c.proxy_protocol_from.num, 0u); }},
        // Without the keys: no local networks; PROXY headers only from the host and private nets.
        {"security_defaults", kBase + kPort, true, "port 0 run with NO AUTH mode",
         [](const x_config_server_t &c) {
             EXPECT_FALSE(c.allow_local_ip);
             EXPECT_EQ(c.relay_buffer, 131072u);
             for (const char *a : {"127.0.0.2", "10.9.9.9", "172.31.0.1", "192.168.7.7"})
                 EXPECT_TRUE(x_cidr_list_match(&c.proxy_protocol_from, inet_addr(a))) << a;
             for (const char *a : {"8.8.8.8", "172.32.0.1", "169.254.0.1"})
                 EXPECT_FALSE(x_cidr_list_match(&c.proxy_protocol_from, inet_addr(a))) << a;
         }},
        {"relay_buffer below one segment", doc(R"("relay_buffer":1499)", "", kPortOk), false,
         "config relay_buffer 1499 out of range [1500, 4194304]"},
        {"repeated index",
         doc("", R"({"index":0,"type":"local"},{"index":0,"type":"local"})", kPortOk), false,
         "config auth index 0 repeat"},
        {"duplicate NAT key skipped",
         doc(R"("nat_list":[{"inline":"10.0.0.1","public":"1.1.1.1"},)"
             R"({"inline":"10.0.0.1","public":"2.2.2.2"}])",
             "", kPortOk),
         true, "",
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
        {"negative timeout", doc(R"("src_timeout":-1)", "", kPortOk), false,
         "config key [src_timeout] value -1 out of range"},
        {"log interval defaults to 3",
         doc("",
             R"({"index":0,"type":"tovask","sign_salt":"Qx7mK2pR9vL4nW8sT3yZ6b",)"
             R"("access_log":{"log_path":"/tmp","log_size":1,"log_num":2}})",
             kPortOk),
         true, "",
         [](const x_config_server_t &c) { EXPECT_EQ(c.auths[0].access_log.interval, 3u); }},
        {"empty port array", doc("", "", ""), false, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        load_text(c.text, c.ok, c.line, c.check);
    }
}

// User information over 255 bytes fails the parse and leaves nothing half-filled; a port over
// 16 bits keeps its low bits as written.
TEST(ForwardUrl, Parses) {
    const std::string long_user = "socks5://" + std::string(250, 'u') + ":pppp@h:1";
    const std::string too_long = "socks5://" + std::string(250, 'u') + ":ppppp@h:1";
    const struct {
        const char *url;
        bool ok;
        uint8_t proto;
        const char *host; // null: no host stored
        uint16_t port;
        const char *pass; // null: no credentials
    } cases[] = {
        {"socks5://u:p@10.0.0.1:1080", true, X_FORWARD_SOCKS5, "10.0.0.1", 1080, "p"},
        {"http://10.0.0.1", true, X_FORWARD_HTTP, "10.0.0.1", 80, nullptr},
        {"http://u@h:1", false, 0, nullptr, 0, nullptr},
        {"http://u:p@x@h:1", true, X_FORWARD_HTTP, "x@h", 1, "p"},
        {"ftp://h:21", false, 0, nullptr, 0, nullptr},
        {"tovask", true, X_FORWARD_TOVASK, nullptr, 0, nullptr},
        {"10.0.0.1:1080", true, X_FORWARD_NONE, nullptr, 0, nullptr},
        {"socks5://h:70000", true, X_FORWARD_SOCKS5, "h", 4464, nullptr},
        {"socks5://h:000000000000001080", true, X_FORWARD_SOCKS5, "h", 1, nullptr},
        {long_user.c_str(), true, X_FORWARD_SOCKS5, "h", 1, "pppp"},
        {too_long.c_str(), false, 0, nullptr, 0, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url);
        x_forward_t f = {};
        testing::internal::CaptureStdout();
        EXPECT_EQ(x_server_parse_forward_url(&f, c.url), c.ok);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(f.proto, c.proto);
        EXPECT_EQ(str(f.host), c.host ? c.host : "");
        EXPECT_EQ(f.port, c.port);
        EXPECT_EQ(f.has_username, c.pass != nullptr ? 1 : 0);
        EXPECT_EQ(str(f.password), c.pass ? c.pass : "");
        x_forward_member_free(&f);
    }
}

} // namespace
