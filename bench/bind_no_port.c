/* Preload shim for measurements only: an IPv4/IPv6 stream socket bound to port 0 gets
 * IP_BIND_ADDRESS_NO_PORT first, so the kernel picks its port at connect() time from the full
 * four-tuple instead of searching for a port free for every destination at bind() time.
 * bench/run.sh uses it to show what that one option changes in quoxel (column quoxel-noport). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#ifndef IP_BIND_ADDRESS_NO_PORT
#define IP_BIND_ADDRESS_NO_PORT 24
#endif

int bind(int fd, const struct sockaddr *addr, socklen_t len) {
    static int (*real_bind)(int, const struct sockaddr *, socklen_t);
    if (!real_bind) real_bind = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "bind");
    int type = 0;
    socklen_t tlen = sizeof type;
    int port0 = (addr->sa_family == AF_INET && ((const struct sockaddr_in *)addr)->sin_port == 0) ||
                (addr->sa_family == AF_INET6 && ((const struct sockaddr_in6 *)addr)->sin6_port == 0);
    if (port0 && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tlen) == 0 && type == SOCK_STREAM) {
        int one = 1;
        (void)setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    }
    return real_bind(fd, addr, len);
}
