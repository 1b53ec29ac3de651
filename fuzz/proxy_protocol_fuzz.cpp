// Hostile bytes, in a heap block of exactly their size, into the PROXY header readers: an accepted
// v1 line gives the same addresses when written back canonically; an accepted v2 header announces
// 12..240 bytes, and its address block is read only when that many are present.
#include "proto/x_haproxy.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) abort();
}

bool same(const sockaddr_in &a, const sockaddr_in &b) {
    return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr &&
           a.sin_port == b.sin_port;
}

void fuzz_v1(const uint8_t *data, size_t size) {
    size_t limit = size < HAPROXY_V1_MAX ? size : HAPROXY_V1_MAX;
    auto *crlf = static_cast<const uint8_t *>(memmem(data, limit, "\r\n", 2));
    if (crlf == nullptr) return;
    size_t len = static_cast<size_t>(crlf - data) + 2;
    sockaddr_in src{}, dst{};
    haproxy_v1_result_t r = haproxy_parse_v1(data, len, &src, &dst);
    check(haproxy_v1_error(r) != nullptr);
    if (r != HAPROXY_V1_OK) return;
    check(len >= HAPROXY_V1_MIN && len <= HAPROXY_V1_MAX);
    char a[INET_ADDRSTRLEN], b[INET_ADDRSTRLEN], line[80];
    check(inet_ntop(AF_INET, &src.sin_addr, a, sizeof a) != nullptr);
    check(inet_ntop(AF_INET, &dst.sin_addr, b, sizeof b) != nullptr);
    int n = snprintf(line, sizeof line, "PROXY TCP4 %s %s %u %u\r\n", a, b, ntohs(src.sin_port),
                     ntohs(dst.sin_port));
    check(n > 0 && static_cast<size_t>(n) <= len);
    sockaddr_in src2{}, dst2{};
    check(haproxy_parse_v1(reinterpret_cast<const uint8_t *>(line), static_cast<size_t>(n), &src2,
                           &dst2) == HAPROXY_V1_OK);
    check(same(src, src2) && same(dst, dst2));
}

void fuzz_v2(const uint8_t *data, size_t size) {
    if (size < HAPROXY_V2_HEAD) return;
    uint16_t len = 0;
    if (haproxy_check_v2(data, &len) != nullptr) return;
    check(len >= HAPROXY_V2_ADDR_MIN && len <= HAPROXY_V2_LEN_MAX);
    if (size < HAPROXY_V2_HEAD + len) return;
    sockaddr_in src{}, dst{};
    haproxy_parse_v2_addrs(data + HAPROXY_V2_HEAD, &src, &dst);
    check(src.sin_family == AF_INET && dst.sin_family == AF_INET);
    check(memcmp(&src.sin_addr, data + 16, 4) == 0 && memcmp(&dst.sin_port, data + 26, 2) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    fuzz_v1(copy.data(), size);
    fuzz_v2(copy.data(), size);
    return 0;
}
