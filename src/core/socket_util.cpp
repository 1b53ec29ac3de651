#include "core/socket_util.h"

#include "core/epoll.h"
#include "core/log.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// "255.255.255.255:65535" and its NUL.
constexpr size_t ADDR2STR_LEN = 22;

using sockname_fn = int (*)(int, struct sockaddr *, socklen_t *);

void get_addr(sockname_fn fn, int fd, in_addr_t *ip, uint16_t *port) {
    struct sockaddr_in sin {};
    socklen_t len = sizeof sin;
    if (fn(fd, reinterpret_cast<struct sockaddr *>(&sin), &len) != 0) return;
    if (ip) *ip = sin.sin_addr.s_addr;
    if (port) *port = sin.sin_port;
}

// Fills a zeroed ifr with the alias name of virtual_ip; false (after a message) when the device
// name leaves no valid alias name.
bool fill_alias_request(struct ifreq *ifr, const char *name, size_t name_len,
                        in_addr_t virtual_ip) {
    memset(ifr, 0, sizeof *ifr);
    static_assert(sizeof ifr->ifr_name == NETCARD_ALIAS_NAME_MAX + 1);
    if (netcard_virtual_ip_name(name, name_len, virtual_ip, ifr->ifr_name) > 0) return true;
    log_error("netcard alias name of device [%.*s] invalid\n",
              static_cast<int>(name ? name_len : 0), name ? name : "");
    return false;
}

// A control socket and the request naming the alias of virtual_ip; -1 (after a message) when
// either cannot be had.
int open_alias_request(struct ifreq *ifr, const char *name, size_t name_len, in_addr_t virtual_ip) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        log_error("create socket fail\n");
        return -1;
    }
    if (!fill_alias_request(ifr, name, name_len, virtual_ip)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Takes the alias named in ifr down, which removes its address.
bool take_alias_down(int fd, struct ifreq *ifr) {
    if (ioctl(fd, SIOCGIFFLAGS, ifr) != 0) return false;
    ifr->ifr_flags = static_cast<short>(ifr->ifr_flags & ~IFF_UP);
    return ioctl(fd, SIOCSIFFLAGS, ifr) == 0;
}

void set_request_addr(struct sockaddr *dst, in_addr_t ip) {
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = 0;
    sin.sin_addr.s_addr = ip;
    memcpy(dst, &sin, sizeof sin);
}

} // namespace

char *inet_ntoaddr(const void *addr) {
    struct in_addr in;
    memcpy(&in, addr, sizeof in);
    return inet_ntoa(in);
}

const char *addr2str(const struct sockaddr_in *sin) {
    thread_local char buf[ADDR2STR_LEN];
    buf[0] = '\0';
    if (!sin) return buf;
    char ip[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &sin->sin_addr, ip, sizeof ip)) return buf;
    int n = snprintf(buf, sizeof buf, "%s:%hu", ip, ntohs(sin->sin_port));
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf) buf[0] = '\0';
    return buf;
}

int inet_ntoaddr_s(const void *addr, char *buff, size_t bufflen) {
    if (!addr || !buff || bufflen < 20) return -1;
    return inet_ntop(AF_INET, addr, buff, static_cast<socklen_t>(bufflen)) ? 0 : -1;
}

void get_local_addr(int fd, in_addr_t *ip, uint16_t *port) {
    get_addr(getsockname, fd, ip, port);
}

void get_peer_addr(int fd, in_addr_t *ip, uint16_t *port) {
    get_addr(getpeername, fd, ip, port);
}

int get_tcp_mss(int fd) {
    int mss = 0;
    socklen_t len = sizeof mss;
    if (getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &mss, &len) != 0) return 0;
    return mss;
}

in_addr_t is_ip_addr(const char *host, size_t host_len) {
    if (!host) return 0;
    uint32_t result = 0;
    uint32_t part = 0;
    int dots = 0;
    for (size_t i = 0; i < host_len; i++) {
        char c = host[i];
        if (c >= '0' && c <= '9') {
            part = part * 10 + static_cast<uint32_t>(c - '0');
            // A part above 255 is no address; letting it spill into the next byte would turn
            // "10.0.0.256" into 10.0.1.0.
            if (part > 255) return 0;
        } else if (c == '.') {
            if (++dots > 3) return 0;
            result = (result + part) << 8;
            part = 0;
        } else {
            return 0;
        }
    }
    if (host_len > 0 && host[host_len - 1] != '.') result += part;
    return htonl(result);
}

namespace {

// 10.0.0.0/8, 172.16.0.0/12 or 192.168.0.0/16, for an address in host order.
bool is_private_v4(uint32_t a) {
    return (a >> 24) == 10 || (a >> 20) == ((172u << 4) | 1) || (a >> 16) == ((192u << 8) | 168);
}

// The IPv4 address (host order) an IPv4 or IPv4-mapped IPv6 address stands for; false for
// another IPv6 address or family.
bool v4_of(const struct sockaddr_storage *addr, uint32_t *out) {
    if (addr->ss_family == AF_INET) {
        *out = ntohl(reinterpret_cast<const sockaddr_in *>(addr)->sin_addr.s_addr);
        return true;
    }
    if (addr->ss_family != AF_INET6) return false;
    const in6_addr &a6 = reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_addr;
    if (!IN6_IS_ADDR_V4MAPPED(&a6)) return false;
    uint32_t v;
    memcpy(&v, &a6.s6_addr[12], 4);
    *out = ntohl(v);
    return true;
}

} // namespace

bool is_internal_ip(const char *str) {
    struct in_addr in;
    if (!str || inet_pton(AF_INET, str, &in) != 1) return false;
    return is_private_v4(ntohl(in.s_addr));
}

bool is_local_addr(const struct sockaddr_storage *addr) {
    uint32_t a;
    if (v4_of(addr, &a)) return (a >> 24) == 127 || (a >> 24) == 0 || (a >> 16) == 0xA9FE;
    if (addr->ss_family != AF_INET6) return false;
    const in6_addr &a6 = reinterpret_cast<const sockaddr_in6 *>(addr)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&a6) || IN6_IS_ADDR_UNSPECIFIED(&a6) || IN6_IS_ADDR_LINKLOCAL(&a6);
}

bool is_internal_addr(const struct sockaddr_storage *addr) {
    uint32_t a;
    return v4_of(addr, &a) && is_private_v4(a);
}

bool parse_addr_literal(const char *text, size_t len, struct sockaddr_storage *out) {
    char buf[INET6_ADDRSTRLEN + 1];
    if (text == nullptr) return false;
    if (len >= 2 && text[0] == '[' && text[len - 1] == ']') {
        text++;
        len -= 2;
    }
    if (len == 0 || len >= sizeof buf) return false;
    memcpy(buf, text, len);
    buf[len] = '\0';
    *out = sockaddr_storage{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(out);
    if (inet_pton(AF_INET, buf, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        return true;
    }
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(out);
    if (inet_pton(AF_INET6, buf, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        return true;
    }
    return false;
}

bool set_socket_default_opt(int fd) {
    if (pf_socket_set_non_block(fd) != 0) {
        log_error("set tcp socket non block failed\n");
        return false;
    }
    return set_socket_reuse_opt(fd);
}

bool set_socket_reuse_opt(int fd) {
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        log_error("set tcp socket reuse addr failed\n");
        return false;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
        log_error("set tcp socket reuse port failed\n");
        return false;
    }
    return true;
}

bool set_socket_bindtodevice(int fd, const char *interface_name, size_t interface_name_len) {
    if (!interface_name && interface_name_len > 0) return false;
    return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface_name,
                      static_cast<socklen_t>(interface_name_len)) == 0;
}

size_t netcard_virtual_ip_name(const char *name, size_t name_len, in_addr_t virtual_ip,
                               char out[NETCARD_ALIAS_NAME_MAX + 1]) {
    out[0] = '\0';
    // Without the colon and a hex digit the name would be the device itself (or an empty label),
    // and taking it down would take the whole device down.
    if (!name || name_len == 0 || name_len > NETCARD_ALIAS_DEVICE_MAX) return 0;
    snprintf(out, NETCARD_ALIAS_NAME_MAX + 1, "%.*s:%x", static_cast<int>(name_len), name,
             ntohl(virtual_ip) & 0xffffffu);
    return strlen(out);
}

bool set_netcard_virtual_ip(const char *name, size_t name_len, in_addr_t virtual_ip) {
    struct ifreq ifr;
    int fd = open_alias_request(&ifr, name, name_len, virtual_ip);
    if (fd < 0) return false;
    set_request_addr(&ifr.ifr_addr, virtual_ip);
    if (ioctl(fd, SIOCSIFADDR, &ifr) != 0) {
        log_error("ioctl set ip error\n");
        close(fd);
        return false;
    }
    // The kernel gives the address its classful mask, which makes every later pool address of
    // that class a secondary of this one: taking this one down would take them all down, and the
    // mask would route the whole class through the device. Each address stands alone instead.
    set_request_addr(&ifr.ifr_netmask, INADDR_BROADCAST);
    if (ioctl(fd, SIOCSIFNETMASK, &ifr) != 0) {
        log_error("ioctl set netmask error\n");
        (void)take_alias_down(fd, &ifr);
        close(fd);
        return false;
    }
    close(fd);
    return true;
}

bool clean_netcard_virtual_ip(const char *name, size_t name_len, in_addr_t virtual_ip) {
    struct ifreq ifr;
    int fd = open_alias_request(&ifr, name, name_len, virtual_ip);
    if (fd < 0) return false;
    bool ok = false;
    // The alias name can be shared by another address (same low 24 bits): only an alias that
    // carries virtual_ip is ours to take down.
    if (ioctl(fd, SIOCGIFADDR, &ifr) == 0) {
        struct sockaddr_in sin;
        memcpy(&sin, &ifr.ifr_addr, sizeof sin);
        ok = sin.sin_family == AF_INET && sin.sin_addr.s_addr == virtual_ip &&
             take_alias_down(fd, &ifr);
    }
    close(fd);
    return ok;
}

egress_bind_t socket_bind_egress(int fd, bool ipv6, const struct sockaddr_in6 *v6, in_addr_t ipv4,
                                 const char *device, size_t device_len) {
    // The port is chosen at connect time, per destination: a bind that picked it would search
    // every socket of the address (TIME_WAIT included) and cap all outgoing connections at one
    // port range. Kernels without the option fall back to the search.
    int on = 1;
    (void)setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    if (ipv6) {
        struct sockaddr_in6 sin6 = *v6;
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = 0;
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&sin6), sizeof sin6) != 0)
            return EGRESS_BIND_ADDR_FAILED;
    } else {
        if (ipv4 == 0) return EGRESS_BOUND;
        struct sockaddr_in sin {};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = ipv4;
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0)
            return EGRESS_BIND_ADDR_FAILED;
    }
    if (device_len > 0 && !set_socket_bindtodevice(fd, device, device_len))
        return EGRESS_BIND_DEVICE_FAILED;
    return EGRESS_BOUND;
}
