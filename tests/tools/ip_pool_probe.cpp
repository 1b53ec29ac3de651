// ip_pool_probe <ini file> <section> <device>: loads the section's egress pools for a port on the
// device ("= loaded", or "= load failed" and exit 1), then answers each stdin line with "= ...":
// "get <level>" (an address, 0 for none), "put <level> <ip>", "set <ip>", "clean <ip>" (ok/fail).
#include "config/ini.h"
#include "config/ip_pool.h"
#include "config/x_server_config.h"
#include "core/socket_util.h"
#include "dict/dict.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

namespace {

void reply(const char *text) {
    printf("= %s\n", text);
    fflush(stdout);
}

void reply_ok(bool ok) {
    reply(ok ? "ok" : "fail");
}

void run(x_config_port_t *port) {
    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        char cmd[16], ip_text[64];
        int level = 0;
        in_addr_t ip = 0;
        if (sscanf(line, "get %d", &level) == 1) {
            ip = x_get_virtual_ip_by_level(port, level);
            char buf[INET_ADDRSTRLEN] = "0";
            if (ip) inet_ntop(AF_INET, &ip, buf, sizeof buf);
            reply(buf);
        } else if (sscanf(line, "put %d %63s", &level, ip_text) == 2) {
            reply_ok(x_recycling_virtual_ip_by_level(port, level, inet_addr(ip_text)));
        } else if (sscanf(line, "%15s %63s", cmd, ip_text) == 2 &&
                   (strcmp(cmd, "set") == 0 || strcmp(cmd, "clean") == 0)) {
            auto op = cmd[0] == 's' ? set_netcard_virtual_ip : clean_netcard_virtual_ip;
            reply_ok(
                op(reinterpret_cast<char *>(port->name.data), port->name.len, inet_addr(ip_text)));
        } else {
            reply("unknown command");
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s <ini file> <section> <device>\n", argv[0]);
        return 2;
    }
    ini_t *ini = ini_load(argv[1]);
    x_config_port_t port{};
    port.name.data = reinterpret_cast<uint8_t *>(argv[3]);
    port.name.len = strlen(argv[3]);
    dict *set = ini ? x_ip_pool_conf_set_create() : nullptr;
    bool loaded = set && x_parse_ip_pool_conf(ini, argv[2], &port, set);
    if (set) dictRelease(set);
    ini_free(ini);
    if (!loaded) {
        reply("load failed");
        x_ip_pool_free(&port);
        return 1;
    }
    reply("loaded");
    run(&port);
    x_ip_pool_free(&port);
    return 0;
}
