// Hostile bytes as an upstream's answer and a SOCKS5 UDP datagram: pure readers stay inside the
// input; socket readers take exactly one answer and leave the rest in the socket, whatever the cut.
#include "proto/socks5_udp.h"
#include "proto/x_forward.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void check_pure(const uint8_t *data, size_t size) {
    x_forward_s5_reply_t reply;
    if (x_forward_s5_parse_reply(data, size, &reply) &&
        x_forward_s5_reply_len(data, size) != static_cast<int>(size))
        abort();
    size_t end = 0;
    unsigned status = 0;
    if (x_forward_http_resp_end(data, size, &end, &status) == X_FORWARD_DONE &&
        (end == 0 || end > size || data[end - 1] != '\n' || status > 999))
        abort();
    s5_udp_header_t h;
    if (s5_udp_parse_header(data, size, &h) == S5_UDP_HEADER_OK) {
        if (h.len > size || h.addr + h.addr_len > data + size) abort();
        char text[256];
        int n = s5_udp_header_target(&h, text);
        x_acl_match_t self{{static_cast<size_t>(n), reinterpret_cast<uint8_t *>(text)}, h.port};
        if (n >= 0) (void)s5_udp_same_destination(&h, &self);
    }
}

// Writes the input into a socket pair in two pieces and reads it with `read` until it stops
// asking; what the reader held plus what stayed in the socket must be the input again.
template <typename Read> void check_socket(const uint8_t *data, size_t size, Read read) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) return;
    buf_t buf{};
    if (!buf_alloc(&buf, X_FORWARD_BUF_SIZE)) abort();
    size_t cut = size ? data[0] % (size + 1) : 0;
    int rc = X_FORWARD_AGAIN;
    if (write(sv[1], data, cut) == static_cast<ssize_t>(cut)) rc = read(&buf, sv[0]);
    if (write(sv[1], data + cut, size - cut) != static_cast<ssize_t>(size - cut)) abort();
    shutdown(sv[1], SHUT_WR);
    while (rc == X_FORWARD_AGAIN)
        rc = read(&buf, sv[0]);
    std::string held(reinterpret_cast<char *>(buf.pos), buf_size(&buf));
    char rest[8192];
    ssize_t n;
    while ((n = recv(sv[0], rest, sizeof rest, 0)) > 0)
        held.append(rest, static_cast<size_t>(n));
    if (held != std::string(reinterpret_cast<const char *>(data), size)) abort();
    buf_free(&buf);
    close(sv[0]);
    close(sv[1]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4000) return 0;
    check_pure(data, size);
    check_socket(data, size, [](buf_t *b, int fd) { return x_forward_recv_s5_reply(b, fd); });
    check_socket(data, size, [](buf_t *b, int fd) {
        unsigned status;
        return x_forward_recv_http_resp(b, fd, &status);
    });
    return 0;
}
