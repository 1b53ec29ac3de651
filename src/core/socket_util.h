// Stateless socket helpers shared by the listeners, the protocol handlers and the configuration:
// address formatting and parsing, the options of accepted sockets, device binding, the TCP
// segment size, the private-address test, and egress addresses put on a network card as alias
// interfaces. Every function is safe on any thread; the only state is each thread's own
// formatting buffer used by addr2str.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

// Dotted-quad text of the IPv4 address at addr (inet_ntoa: the text lives in the C library's
// per-thread buffer and is overwritten by the next call on that thread).
char *inet_ntoaddr(const void *addr);
// "a.b.c.d:port" (port in host order) of sin; "" for null or when formatting fails. The text lives
// in a buffer owned by the calling thread and stays valid until that thread's next call.
const char *addr2str(const struct sockaddr_in *sin);
// Writes the dotted-quad text of the IPv4 address at addr into buff: 0 on success, -1 when buff or
// addr is null, bufflen is below 20, or formatting fails.
int inet_ntoaddr_s(const void *addr, char *buff, size_t bufflen);

// Local (getsockname) and peer (getpeername) IPv4 address and port of fd, both in network byte
// order, stored where the pointers are non-null. Nothing is stored when the call fails.
void get_local_addr(int fd, in_addr_t *ip, uint16_t *port);
void get_peer_addr(int fd, in_addr_t *ip, uint16_t *port);
// TCP_MAXSEG of fd, or 0 when it cannot be read.
int get_tcp_mss(int fd);

// The IPv4 address written in the first host_len characters of host, in network byte order, or 0
// when the text is not one. Lenient: fewer than four parts are right-aligned ("1.2.3" reads as
// 0.1.2.3), a trailing dot closes its part ("10.0.0." reads as 10.0.0.0), empty parts count as 0.
// A part above 255, more than three dots or any character other than digits and dots gives 0.
// The address 0.0.0.0 cannot be told from failure.
in_addr_t is_ip_addr(const char *host, size_t host_len);
// True when the NUL-terminated text is an IPv4 address in 10.0.0.0/8, 172.16.0.0/12 or
// 192.168.0.0/16 (loopback and link-local are not internal).
bool is_internal_ip(const char *str);
// The proxy host's own networks, which authenticated clients may not reach without
// allow_local_ip: 127.0.0.0/8, 0.0.0.0/8 and 169.254.0.0/16, and in IPv6 ::1, :: and fe80::/10.
// An IPv4-mapped IPv6 address counts as the IPv4 address it maps. False for other families.
bool is_local_addr(const struct sockaddr_storage *addr);
// Private IPv4 ranges of is_internal_ip, for an address (IPv4-mapped IPv6 included).
bool is_internal_addr(const struct sockaddr_storage *addr);
// Reads an address literal: dotted IPv4 (strict, four parts) or IPv6, with or without brackets.
// False for anything else, a name included.
[[nodiscard]] bool parse_addr_literal(const char *text, size_t len, struct sockaddr_storage *out);

// Options of every accepted client socket: non-blocking, SO_REUSEADDR and SO_REUSEPORT. Logs the
// step that failed and returns false.
[[nodiscard]] bool set_socket_default_opt(int fd);
// The same for a socket made non-blocking at birth (accept4 or socket with SOCK_NONBLOCK): the
// two reuse options only, which saves the two fcntl calls on every connection.
[[nodiscard]] bool set_socket_reuse_opt(int fd);
// SO_BINDTODEVICE with the first interface_name_len characters of interface_name.
[[nodiscard]] bool set_socket_bindtodevice(int fd, const char *interface_name,
                                           size_t interface_name_len);

// Longest alias interface name, without its terminating NUL.
constexpr size_t NETCARD_ALIAS_NAME_MAX = 15;
// Longest device name that still leaves room for the colon and one hex digit.
constexpr size_t NETCARD_ALIAS_DEVICE_MAX = NETCARD_ALIAS_NAME_MAX - 2;
// The alias interface name that carries virtual_ip (network byte order) on the device named by the
// first name_len characters of name: "<device>:<low 24 bits of the address in host order,
// lower-case hex>", cut to 15 characters. out must hold NETCARD_ALIAS_NAME_MAX + 1 bytes; returns
// the length. Two addresses can share one name (same low 24 bits, or a device name long enough to
// cut the hex digits): callers that manage several addresses must check for that.
size_t netcard_virtual_ip_name(const char *name, size_t name_len, in_addr_t virtual_ip,
                               char out[NETCARD_ALIAS_NAME_MAX + 1]);
// Puts virtual_ip on the alias interface of the device (SIOCSIFADDR), as a /32 of its own so that
// taking one pool address down never takes others with it. Needs the capability to administer
// the network. Logs and returns false on failure (the alias is then down again), and when the
// device name gives no alias name (see netcard_virtual_ip_name).
[[nodiscard]] bool set_netcard_virtual_ip(const char *name, size_t name_len, in_addr_t virtual_ip);
// Takes the alias interface of virtual_ip down, which removes the address. An alias that is missing
// or carries another address is left alone and gives false; true only when virtual_ip was removed.
[[nodiscard]] bool clean_netcard_virtual_ip(const char *name, size_t name_len,
                                            in_addr_t virtual_ip);

// Results of socket_bind_egress: which step failed.
enum egress_bind_t { EGRESS_BOUND = 0, EGRESS_BIND_ADDR_FAILED, EGRESS_BIND_DEVICE_FAILED };
// Binds an outgoing socket to its egress before it connects: an IPv6 socket to the address of v6
// (any port), an IPv4 socket to ipv4 (network order; 0 binds nothing and skips the device), then
// the socket to the first device_len characters of device when device_len is non-zero. The
// local port is left to the connect, which picks it per destination.
[[nodiscard]] egress_bind_t socket_bind_egress(int fd, bool ipv6, const struct sockaddr_in6 *v6,
                                               in_addr_t ipv4, const char *device,
                                               size_t device_len);
